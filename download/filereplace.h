#ifndef FILEREPLACE_H
#define FILEREPLACE_H

#include <QString>

// What downloads and bundles ask of the file system that each system answers
// its own way. One file per platform.

// Renames the file at source to target in one step, replacing whatever
// stands at target, a symbolic link included, without ever following it.
// Both lie in the same folder. Returns false and sets *error to the
// operating system's reason if the rename failed; source then still exists.
// *busy then tells whether another program may have held one of the files
// open for the moment (on Windows a virus scanner or the search indexer
// looks into every new file), so that the same rename may well succeed a
// little later. Windows cannot tell that from a file it refuses for good
// (read-only, or forbidden), so such a rename is tried again in vain.
bool replaceFile(const QString &source, const QString &target, QString *error, bool *busy);

// Gives the folder at source the name target, which must not exist, in one
// step; both lie on one file system. Returns false and sets *error and
// *busy as replaceFile() does; nothing has moved then. On Windows a folder
// that Explorer, the indexer or a scanner has open cannot be renamed while
// it does.
bool renameFolder(const QString &source, const QString &target, QString *error, bool *busy);

// Swaps the folders at a and b in one step, so that neither name is ever
// free; both lie on one file system. Returns false with *unsupported set
// where the system or the file system has no such step (Windows; on Linux
// exFAT, NTFS, FAT mounted as msdos, kernels before 3.15), and otherwise
// with *error set to the operating system's reason; nothing has moved then.
bool exchangeFolders(const QString &a, const QString &b, QString *error, bool *unsupported);

// Whether path itself is a link of any kind, which a clean-up never goes
// through: a symbolic link, and on Windows any reparse point (a junction, a
// mount point) as well.
bool isLink(const QString &path);

// Has the entries of the folder at path on the disk, so that files renamed
// into it or out of it stay so through a power cut. Returns false with
// *error set to the operating system's reason where the disk did not take
// them; a file system that has no such flush for a folder is no failure.
bool syncFolder(const QString &path, QString *error);

// Writes content to a new file at path, where nothing may lie yet, and has
// it on the disk before it returns: a write or a flush that fails fails the
// call, with *error set to the operating system's reason. Part of the file
// may then be left at path.
bool writeNewFile(const QString &path, const QByteArray &content, QString *error);

// Whether the folder at path is the root of a file system: where a USB
// stick or another volume is mounted, a drive's root (E:\), or the root
// folder. No such folder can be renamed.
bool isFileSystemRoot(const QString &path);

#endif // FILEREPLACE_H
