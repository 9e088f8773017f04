#pragma once

#include <QByteArray>
#include <QString>

// Salted PBKDF2-HMAC-SHA256 password hashes; the password itself is never
// stored.
struct KPasswordHash
{
    QByteArray salt;
    QByteArray hash;
    int iterations = 0;
};

namespace KPassword
{
// Iterations for new hashes: about 20 ms per login on a current core.
constexpr int DefaultIterations = 60000;
constexpr int SaltBytes = 16;
constexpr int HashBytes = 32;

QByteArray pbkdf2Sha256(const QByteArray& password, const QByteArray& salt, int iterations, int length);
KPasswordHash makeHash(const QString& password, int iterations = DefaultIterations);
bool verify(const QString& password, const KPasswordHash& stored);
// Cryptographically random bytes (OpenSSL RAND_bytes).
QByteArray randomBytes(int count);
}
