#ifndef VERIFIEDFIRMWARE_H
#define VERIFIEDFIRMWARE_H

#include <QByteArray>
#include <QString>

// The firmware a check has verified, from the firmware server or from a
// bundle: the version file that announced it, the image's bytes as they were
// verified, and the maker's signature that vouched for them. The devices are
// sent these bytes and a bundle is saved from them, never from a file, which
// may change once it is stored. Filled by the check (UpdateFW) alone; empty
// until its check succeeds.
class VerifiedFirmware
{
public:
    // The digest (32 lowercase hex digits) of the image whose check succeeded,
    // empty until then: the controller sends nothing while it is.
    QString verifiedDigest() const { return verifiedHash; }
    // That image, the very bytes that were verified; what the controller
    // sends and a fetch saves, never the file, which may change once it is
    // stored.
    QByteArray verifiedImage() const { return verifiedBytes; }
    // That image's version number, meaningful once its check succeeded.
    int latestVersion() const { return fwVersion; }
    // The version file that announced it, byte for byte as it came.
    QByteArray versionFileContent() const { return versionFile; }
    // The image's file name on the server (K-DMX-47-12.ghx), meaningful once
    // the version file was read.
    QString imageFileName() const { return imageName() + QStringLiteral(".ghx"); }
    // Where the maker's signature of the image is published: beside it, under
    // its name with .minisig added.
    QString signatureFileName() const { return imageFileName() + QStringLiteral(".minisig"); }
    // The signature that vouched for the verified image, byte for byte as it
    // came; empty where the check asks for none (a build without the maker's
    // keys).
    QByteArray signatureFileContent() const { return signatureFile; }
    // What that signature covers, the image's BLAKE2b-512 (64 bytes); empty
    // without a signature. A fetch saves no image whose hash differs from
    // it, as none whose MD5 differs from the verified digest.
    QByteArray signedImageHash() const { return signedHash; }
    // The id of the maker's key that signed it (minisign's 16 hex digits).
    QString signatureKeyId() const { return signerKeyId; }

protected:
    // The name the server publishes the announced version's image under.
    QString imageName() const { return QString::asprintf("K-DMX-47-%d", fwVersion); }

    int fwVersion = 0;
    QString verifiedHash;
    QByteArray verifiedBytes;
    QByteArray versionFile;
    QByteArray signatureFile;
    QByteArray signedHash;
    QString signerKeyId;
};

#endif // VERIFIEDFIRMWARE_H
