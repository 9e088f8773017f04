#include "app/kmd5.h"

#include <openssl/evp.h>

KMd5::KMd5()
    : context(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(context, EVP_md5(), nullptr);
}

KMd5::KMd5(const KMd5& other)
    : context(EVP_MD_CTX_new())
{
    EVP_MD_CTX_copy_ex(context, other.context);
}

KMd5& KMd5::operator=(const KMd5& other)
{
    if (this != &other)
        EVP_MD_CTX_copy_ex(context, other.context);
    return *this;
}

KMd5::~KMd5()
{
    EVP_MD_CTX_free(context);
}

void KMd5::add(const char* data, qint64 size)
{
    EVP_DigestUpdate(context, data, static_cast<size_t>(size));
}

QString KMd5::hex() const
{
    KMd5 copy(*this);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(copy.context, digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

QString KMd5::of(const QByteArray& data)
{
    KMd5 md5;
    md5.add(data);
    return md5.hex();
}
