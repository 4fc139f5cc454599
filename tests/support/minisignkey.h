#ifndef MINISIGNKEY_H
#define MINISIGNKEY_H

#include <QString>
#include <QStringList>

// A signing key pair made with Debian's minisign, as a maker makes one, and
// signatures made with it by minisign itself, so that the tool's verifier is
// tried against another program's output.
class MinisignKey
{
public:
    // Makes a key pair without a password in folder, under name.
    bool generate(const QString &folder, const QString &name);
    // Takes the pair made before as stem.key and stem.pub.
    bool load(const QString &stem);
    // The public key's key line (RW...), as FW_SIGNING_KEYS takes it.
    QString publicKey() const { return keyLine; }
    QString secretKeyPath() const { return secretPath; }
    QString publicKeyPath() const { return publicPath; }
    // publish-firmware.py's options for signing with this key, which it
    // checks against the key's public half.
    QStringList publisherSigning() const
    {
        return {"--minisign-key", secretPath, "--public-key", publicPath};
    }
    // Writes signature, minisign's .minisig of file, with trustedComment;
    // legacy: minisign's unhashed kind (Ed).
    bool sign(const QString &file, const QString &signature, const QString &trustedComment,
              bool legacy = false) const;
    // The comment a maker's publication carries for version of the image.
    static QString comment(int version);

private:
    QString secretPath;
    QString publicPath;
    QString keyLine;
};

#endif // MINISIGNKEY_H
