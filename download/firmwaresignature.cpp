#include "firmwaresignature.h"

#include "signaturecrypto.h"

#include <QList>
#include <QRegularExpression>

#include <algorithm>

namespace {

// minisign's layouts: a public key is the algorithm ("Ed"), an 8-byte key id
// and the 32-byte Ed25519 key; a signature line is the algorithm ("ED":
// over the BLAKE2b-512 hash; "Ed": minisign's legacy form, over the file
// itself), the key id and the 64-byte signature.
constexpr int KeyIdSize = 8;
constexpr int PublicKeySize = 32;
constexpr int SignatureSize = 64;
// minisign's own limit on a trusted comment.
constexpr int TrustedCommentLimit = 8192;

const QByteArray UntrustedPrefix = "untrusted comment: ";
const QByteArray TrustedPrefix = "trusted comment: ";

// Strict base64: a text that decodes only by skipping what is not base64 is
// no key and no signature.
QByteArray decodeBase64(const QByteArray &text)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

// A comment as a reason shows it: one line, no control characters, and not
// more than a screen's width of it.
QString shown(const QByteArray &comment)
{
    const int limit = 120;
    const QString whole = QString::fromUtf8(comment);
    QString text;
    for (const QChar c : whole.left(limit))
        text += c.isPrint() ? QString(c)
                            : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    return whole.size() > limit ? text + QStringLiteral("...") : text;
}

QString keyIdText(const QByteArray &id)
{
    // minisign shows the id as a little-endian number.
    QByteArray reversed(id.size(), '\0');
    std::reverse_copy(id.begin(), id.end(), reversed.begin());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

} // namespace

FirmwareSignature::FirmwareSignature(const QStringList &publicKeys)
{
    for (const QString &text : publicKeys) {
        const QByteArray key = decodeBase64(text.trimmed().toLatin1());
        if (key.size() == 2 + KeyIdSize + PublicKeySize && key.startsWith("Ed"))
            keys.append({key.mid(2, KeyIdSize), key.mid(2 + KeyIdSize)});
    }
}

QByteArray FirmwareSignature::hash(const QByteArray &image)
{
    return SignatureCrypto::blake2b512(image);
}

QStringList FirmwareSignature::keyIds() const
{
    QStringList ids;
    for (const Key &key : keys)
        ids << keyIdText(key.id);
    return ids;
}

FirmwareSignature::Verdict FirmwareSignature::verify(const QByteArray &signatureFile,
                                                     const QByteArray &image,
                                                     const QString &fileName, int version,
                                                     const QString &model) const
{
    Verdict verdict;
    const auto refuse = [&verdict](Outcome outcome, const QString &detail) {
        verdict.outcome = outcome;
        verdict.detail = detail;
        return verdict;
    };
    if (signatureFile.size() > FileLimit)
        return refuse(Malformed,
                      QStringLiteral("it holds %1 bytes, more than a signature's %2")
                          .arg(signatureFile.size())
                          .arg(FileLimit));
    QList<QByteArray> lines = signatureFile.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (lines.size() == 5 && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != 4 || !lines.at(0).startsWith(UntrustedPrefix)
        || !lines.at(2).startsWith(TrustedPrefix))
        return refuse(Malformed,
                      QStringLiteral("it is not minisign's four lines: an untrusted comment, "
                                     "the signature, a trusted comment and the global "
                                     "signature"));
    const QByteArray signatureLine = decodeBase64(lines.at(1));
    const QByteArray comment = lines.at(2).mid(TrustedPrefix.size());
    const QByteArray globalSignature = decodeBase64(lines.at(3));
    if (signatureLine.size() != 2 + KeyIdSize + SignatureSize
        || globalSignature.size() != SignatureSize || comment.size() > TrustedCommentLimit)
        return refuse(Malformed,
                      QStringLiteral("its signature lines are not base64 of minisign's sizes"));
    const QByteArray algorithm = signatureLine.left(2);
    if (algorithm == "Ed")
        return refuse(Malformed,
                      QStringLiteral("it is minisign's legacy kind (Ed), which signs the file "
                                     "unhashed; only hashed signatures (ED, minisign's "
                                     "default) are taken"));
    if (algorithm != "ED")
        return refuse(
            Malformed,
            QStringLiteral("its algorithm \"%1\" is not minisign's ED").arg(shown(algorithm)));
    const QByteArray id = signatureLine.mid(2, KeyIdSize);
    const QByteArray signature = signatureLine.mid(2 + KeyIdSize);

    const Key *key = nullptr;
    for (const Key &candidate : keys) {
        if (candidate.id == id)
            key = &candidate;
    }
    if (!key)
        return refuse(UnknownKey,
                      QStringLiteral("it was made with key %1, and this build holds only %2")
                          .arg(keyIdText(id), keyIds().join(QStringLiteral(", "))));
    if (!SignatureCrypto::available())
        return refuse(Invalid,
                      QStringLiteral("this build cannot verify signatures (it has no "
                                     "libsodium)"));

    const QByteArray imageHash = hash(image);
    if (!SignatureCrypto::verifyEd25519(signature, imageHash, key->publicKey))
        return refuse(Invalid,
                      QStringLiteral("the image is not the one key %1 signed").arg(keyIdText(id)));
    if (!SignatureCrypto::verifyEd25519(globalSignature, signature + comment, key->publicKey))
        return refuse(
            Invalid,
            QStringLiteral("its trusted comment is not the one key %1 signed").arg(keyIdText(id)));

    // The comment's words are name:value pairs; the three that name the
    // image's place must each stand once, and say what is expected.
    const QString expected
        = QStringLiteral("file:%1 version:%2 model:%3").arg(fileName).arg(version).arg(model);
    const QStringList words = QString::fromUtf8(comment).split(
        QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (const QString &wanted : expected.split(QLatin1Char(' '))) {
        const QString name = wanted.section(QLatin1Char(':'), 0, 0) + QLatin1Char(':');
        QStringList said;
        for (const QString &word : words) {
            if (word.startsWith(name))
                said << word;
        }
        if (said != QStringList(wanted))
            return refuse(OtherPlace,
                          QStringLiteral("its trusted comment \"%1\" does not say "
                                         "\"%2\"")
                              .arg(shown(comment), expected));
    }
    verdict.outcome = Verified;
    verdict.hash = imageHash;
    verdict.keyId = keyIdText(id);
    return verdict;
}
