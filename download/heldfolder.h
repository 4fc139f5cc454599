#ifndef HELDFOLDER_H
#define HELDFOLDER_H

#include <QList>
#include <QString>
#include <QtGlobal>

// A folder held open, so that what is looked at and removed in it is in
// that very folder, whatever someone else renames, or swaps for a link, at
// its path meanwhile: a clean-up beside a bundle, where others may write (a
// shared folder, /tmp), must never be led into another folder. A folder
// reached from a held one is never reached through a link (on Windows, any
// reparse point), and on Windows a held folder cannot be renamed or removed
// while it is held. One file per platform.
class HeldFolder
{
public:
    // What an entry is, told by the entry itself, never by what a link at
    // its name leads to: Other is a link, a reparse point, a device, a FIFO.
    enum Kind { File, Folder, Other };
    struct Entry
    {
        QString name;
        Kind kind = Other;
    };

    // Holds the folder at path, through links on the way: the place the
    // user named.
    explicit HeldFolder(const QString &path);
    // Holds the folder name in parent, where it is a folder and no link.
    HeldFolder(const HeldFolder &parent, const QString &name);
    ~HeldFolder();
    HeldFolder(const HeldFolder &) = delete;
    HeldFolder &operator=(const HeldFolder &) = delete;

    bool isHeld() const;
    // What the folder holds, without . and ..; empty where it cannot be read.
    QList<Entry> entries() const;
    // Removes the entry name where it is a regular file; anything else there
    // is left as it is. Returns whether it was removed.
    bool removeFile(const QString &name);
    // Removes the entry name where it is an empty folder (on Windows one
    // that nobody holds, this program neither). Returns whether it was.
    bool removeFolder(const QString &name);

private:
    // A file descriptor on POSIX, a HANDLE on Windows; -1 where none.
    qintptr handle = -1;
    // Where the folder lay when it was opened: Windows names its entries by
    // their paths, which stay its own while it is held.
    QString path;
};

#endif // HELDFOLDER_H
