#include "filereplace.h"

#include <QFile>

#include <cerrno>
#include <cstdio>

bool replaceFile(const QString &source, const QString &target, QString *error, bool *busy)
{
    // Nobody's open file stops a rename here.
    *busy = false;
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData())
        == 0)
        return true;
    *error = qt_error_string(errno);
    return false;
}

// rename(2) moves a folder as it does a file, and the target is free.
bool renameFolder(const QString &source, const QString &target, QString *error)
{
    bool busy = false;
    return replaceFile(source, target, error, &busy);
}
