#include "server/kpassword.h"

#include "server/ksignature.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace KPassword
{
QByteArray pbkdf2Sha256(const QByteArray& password, const QByteArray& salt, int iterations, int length)
{
    QByteArray out(length, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(password.constData(), password.size(),
                                     reinterpret_cast<const unsigned char*>(salt.constData()), salt.size(),
                                     iterations, EVP_sha256(), length,
                                     reinterpret_cast<unsigned char*>(out.data()));
    return ok == 1 ? out : QByteArray();
}

KPasswordHash makeHash(const QString& password, int iterations)
{
    KPasswordHash made;
    made.salt = randomBytes(SaltBytes);
    made.iterations = iterations;
    made.hash = pbkdf2Sha256(password.toUtf8(), made.salt, iterations, HashBytes);
    return made;
}

bool verify(const QString& password, const KPasswordHash& stored)
{
    if (stored.iterations <= 0 || stored.hash.isEmpty())
        return false;
    const QByteArray derived = pbkdf2Sha256(password.toUtf8(), stored.salt, stored.iterations,
                                            stored.hash.size());
    return KSignature::constantTimeEquals(derived, stored.hash);
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), count) != 1)
        throw std::runtime_error("no random bytes available");
    return bytes;
}
}
