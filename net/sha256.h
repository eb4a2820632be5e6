#pragma once

#include <QByteArray>

#include <memory>

struct SHA256state_st;

// A running SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA instructions
// where it has them: Qt 5's QCryptographicHash is portable C and hashed a gigabyte more than ten
// times slower, which would have added seconds to an update.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void addData(const QByteArray &bytes);
    // The 32-byte digest of everything added since the last reset.
    QByteArray result();

private:
    std::unique_ptr<SHA256state_st> context;
};
