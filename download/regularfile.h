#ifndef REGULARFILE_H
#define REGULARFILE_H

#include <QByteArray>
#include <QString>

// A file read whole that someone else put where it lies (a firmware bundle
// on a USB stick), and why it was not.
struct RegularFile
{
    enum Outcome { Read, Missing, NotRegular, Unreadable, TooLarge };

    Outcome outcome = Missing;
    QByteArray content;
    // Unreadable: the operating system's words; NotRegular: what lies there
    // instead ("a FIFO", "a character device").
    QString detail;
    // TooLarge: the size at which it was refused.
    qint64 size = 0;

    static RegularFile refused(Outcome outcome, const QString &detail, qint64 size = 0)
    {
        RegularFile file;
        file.outcome = outcome;
        file.detail = detail;
        file.size = size;
        return file;
    }
    // The file whose first total bytes stand in buffer, read with room for
    // one byte more than limit, so that a file that grew since its size was
    // looked at shows: refused as TooLarge, or Read.
    static RegularFile whole(QByteArray buffer, qint64 total, qint64 limit)
    {
        if (total > limit)
            return refused(TooLarge, QString(), total);
        RegularFile file;
        file.outcome = Read;
        buffer.truncate(total);
        file.content = buffer;
        return file;
    }
};

// Reads the whole file at path, through symbolic links, if it is a regular
// file of at most limit bytes; anything else is refused without waiting and
// without reading more than limit + 1 bytes. A FIFO, a socket, a folder or a
// device node (a serial port, /dev/zero) is told by its type and never
// opened for reading: on Linux the type is that of the very file then
// opened, and on Windows the type of what was opened is asked again. One
// file per platform.
RegularFile readRegularFile(const QString &path, qint64 limit);

#endif // REGULARFILE_H
