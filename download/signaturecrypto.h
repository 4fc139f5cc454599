#ifndef SIGNATURECRYPTO_H
#define SIGNATURECRYPTO_H

#include <QByteArray>

// The two primitives that minisign's signatures rest on. A program links one
// of two twins (download/CMakeLists.txt): libsodium's
// (signaturecrypto_sodium.cpp), where it verifies signatures, or one without
// it (signaturecrypto_none.cpp), where it never asks for one, so that a
// build without the maker's keys ships no libsodium at all.
namespace SignatureCrypto {

// Whether this program can verify signatures; false with the twin without
// libsodium, or where libsodium failed to start.
bool available();

// Whether signature (64 bytes) is publicKey's (32 bytes) Ed25519 signature
// of message; false wherever available() is.
bool verifyEd25519(const QByteArray &signature, const QByteArray &message,
                   const QByteArray &publicKey);

// data's BLAKE2b-512 (64 bytes), unkeyed; empty where available() is false.
QByteArray blake2b512(const QByteArray &data);

} // namespace SignatureCrypto

#endif // SIGNATURECRYPTO_H
