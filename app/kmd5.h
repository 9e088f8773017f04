#pragma once

#include <QByteArray>
#include <QString>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// A running MD5 (OpenSSL's, the fastest at hand) that can be copied, so an
// upload can keep the state before a part and fall back to it when the part
// breaks off.
class KMd5
{
public:
    KMd5();
    KMd5(const KMd5& other);
    KMd5& operator=(const KMd5& other);
    ~KMd5();

    void add(const char* data, qint64 size);
    void add(const QByteArray& data) { add(data.constData(), data.size()); }
    // Lower-case hex of the bytes added so far; the state stays usable.
    QString hex() const;

    static QString of(const QByteArray& data);

private:
    EVP_MD_CTX* context = nullptr;
};
