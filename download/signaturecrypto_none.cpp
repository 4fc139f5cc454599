#include "signaturecrypto.h"

// A program that never asks for a signature: nothing verifies, so nothing
// can pass for verified.

bool SignatureCrypto::available()
{
    return false;
}

bool SignatureCrypto::verifyEd25519(const QByteArray &, const QByteArray &, const QByteArray &)
{
    return false;
}

QByteArray SignatureCrypto::blake2b512(const QByteArray &)
{
    return {};
}
