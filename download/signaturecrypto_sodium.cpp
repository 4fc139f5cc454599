#include "signaturecrypto.h"

#include <sodium.h>

namespace {

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

} // namespace

bool SignatureCrypto::available()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool SignatureCrypto::verifyEd25519(const QByteArray &signature, const QByteArray &message,
                                    const QByteArray &publicKey)
{
    // libsodium reads fixed sizes from both: anything shorter is no key and
    // no signature.
    if (!available() || signature.size() != crypto_sign_BYTES
        || publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    return crypto_sign_verify_detached(bytes(signature), bytes(message), size_t(message.size()),
                                       bytes(publicKey))
        == 0;
}

QByteArray SignatureCrypto::blake2b512(const QByteArray &data)
{
    if (!available())
        return {};
    QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
                       bytes(data), size_t(data.size()), nullptr, 0);
    return hash;
}
