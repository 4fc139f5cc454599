#ifndef VERSIONFILE_H
#define VERSIONFILE_H

#include <QByteArray>

// Reads the firmware server's version file: its whole content as fetched,
// line breaks included. On success gives the firmware number and the image's
// digest token; on failure leaves both untouched. The content need not be
// NUL-terminated (QByteArray::fromRawData); nothing past its size is read.
bool parseVersionFile(const QByteArray &content, int *version, QByteArray *digest);

#endif // VERSIONFILE_H
