#ifndef FILEREPLACE_H
#define FILEREPLACE_H

#include <QString>

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
// step; both lie in the same folder. Returns false and sets *error to the
// operating system's reason if the rename failed; nothing has moved then.
bool renameFolder(const QString &source, const QString &target, QString *error);

#endif // FILEREPLACE_H
