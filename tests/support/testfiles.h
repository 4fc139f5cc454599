#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

// Whole-file reads and writes for test set-up; a missing file reads as empty.
QByteArray readFile(const QString &path);
// Creates the folders on the way.
bool writeFile(const QString &path, const QByteArray &content);

#endif // TESTFILES_H
