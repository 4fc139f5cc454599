#ifndef FILEREPLACE_H
#define FILEREPLACE_H

#include <QString>

// Renames the file at source to target in one step, replacing whatever
// stands at target, a symbolic link included, without ever following it.
// Both lie in the same folder. Returns false and sets *error to the
// operating system's reason if the rename failed; source then still exists.
bool replaceFile(const QString &source, const QString &target, QString *error);

#endif // FILEREPLACE_H
