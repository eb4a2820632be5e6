#include "net/sha256.h"

// SHA-256's own functions, which OpenSSL 3 deprecates in favour of EVP_Digest*. Those fetch the
// digest through OpenSSL's providers, and a static link of the providers (the Windows program's)
// brings every algorithm of the library, 1.5 MB; these bring the digest's 20 KB alone.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

Sha256::Sha256() : context(new SHA256_CTX)
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    SHA256_Init(context.get());
}

void Sha256::addData(const QByteArray &bytes)
{
    SHA256_Update(context.get(), bytes.constData(), static_cast<size_t>(bytes.size()));
}

QByteArray Sha256::result()
{
    QByteArray digest(SHA256_DIGEST_LENGTH, Qt::Uninitialized);
    SHA256_Final(reinterpret_cast<unsigned char *>(digest.data()), context.get());
    return digest;
}
