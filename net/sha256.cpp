#include "net/sha256.h"

#include <openssl/evp.h>

Sha256::Sha256() : context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(context);
}

void Sha256::reset()
{
    failed = !context || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1;
}

void Sha256::addData(const QByteArray &bytes)
{
    failed = failed || EVP_DigestUpdate(context, bytes.constData(), bytes.size()) != 1;
}

QByteArray Sha256::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (failed ||
        EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(digest.data()), &size) != 1)
        return {};
    digest.resize(static_cast<int>(size));
    return digest;
}
