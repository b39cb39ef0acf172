#include "commonfunc.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace
{

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

} // namespace

QString CommonFunc::calculateMd5Sum(QString const &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();

    // OpenSSL's MD5 (assembly on x86) rather than QCryptographicHash's portable
    // C: on a setup program of hundreds of megabytes the digest, not the disk,
    // is what the user waits for, and Qt's is slower than md5sum.
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        return QString();

    // A block that stays in the CPU cache between the read and the digest;
    // larger ones only add cache misses.
    constexpr qint64 blockSize = 64 * 1024;
    std::unique_ptr<char[]> block(new char[blockSize]);
    for (;;) {
        const qint64 n = file.read(block.get(), blockSize);
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), block.get(), size_t(n)) != 1)
            return QString();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<char const *>(digest), int(length)).toHex());
}
