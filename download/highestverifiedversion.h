#ifndef HIGHESTVERIFIEDVERSION_H
#define HIGHESTVERIFIEDVERSION_H

#include <QString>

class QJsonArray;

// The highest firmware version whose maker's signature this PC has verified,
// per user, for one firmware server and model. A signature binds an image to
// its version, but nothing binds the version file to the newest release: who
// sits on the way to the server, or hands over a bundle, could offer an older
// image that the maker really signed. Remembering how far this PC has come
// lets a build that holds the maker's keys refuse to go back.
//
// Kept in the per-user data folder that the window and the command line
// share, one file for every server and model, replaced whole under a lock,
// so that runs side by side never lose each other's versions.
class HighestVerifiedVersion
{
public:
    // The most the record may hold: thousands of servers and models.
    static constexpr qint64 FileLimit = 64 * 1024;

    HighestVerifiedVersion(const QString &server, const QString &model);

    // The record's file; empty where the system names no per-user data
    // folder.
    QString path() const { return filePath; }
    // The highest version recorded, 0 where none is; false, with the reason,
    // where the record cannot be read or is damaged.
    bool read(int *version, QString *reason) const;
    // Records version unless the record holds a higher one already; false,
    // with the reason, where it could not be written.
    bool raise(int version, QString *reason) const;

private:
    bool readRecord(int *version, QJsonArray *entries, QString *reason) const;

    QString server;
    QString model;
    QString filePath;
};

#endif // HIGHESTVERIFIEDVERSION_H
