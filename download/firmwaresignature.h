#ifndef FIRMWARESIGNATURE_H
#define FIRMWARESIGNATURE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The maker's signature of a firmware image, in minisign's format: an
// Ed25519 signature of the image's BLAKE2b-512 hash, and a second one over
// that signature and the trusted comment, which binds the image to its place
// ("file:K-DMX-47-12.ghx version:12 model:TPX-KLN04"), so that an image
// signed for one version never passes for another. Verified with libsodium
// against the public keys given; minisign's legacy form, which signs the
// image itself, is refused.
class FirmwareSignature
{
public:
    enum Outcome {
        Verified,
        Malformed,
        UnknownKey,
        Invalid,
        OtherPlace,
    };

    struct Verdict
    {
        Outcome outcome = Malformed;
        // Why it is not Verified, for the check's reason.
        QString detail;
        // What the signature covers, once Verified: the image's BLAKE2b-512.
        QByteArray hash;
        // The id of the key that made it, as minisign shows it.
        QString keyId;
    };

    // Far beyond minisign's few hundred bytes, however long a trusted
    // comment may be; anything longer is not read.
    static constexpr int FileLimit = 16 * 1024;

    // keys: minisign public keys, each the key line of a minisign.pub.
    explicit FirmwareSignature(const QStringList &keys);

    // The keys the build holds (FW_SIGNING_KEYS); none when it takes
    // unsigned firmware.
    static QStringList buildKeys();
    // The image's BLAKE2b-512, as a signature covers it; empty where this
    // build cannot compute it.
    static QByteArray hash(const QByteArray &image);

    // The key ids, as minisign shows them (16 hex digits).
    QStringList keyIds() const;

    // Judges signatureFile (the .minisig's content) for image, which must be
    // published as fileName, of version, for model.
    Verdict verify(const QByteArray &signatureFile, const QByteArray &image,
                   const QString &fileName, int version, const QString &model) const;

private:
    struct Key
    {
        QByteArray id;
        QByteArray publicKey;
    };

    QList<Key> keys;
};

#endif // FIRMWARESIGNATURE_H
