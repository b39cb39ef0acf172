#include "commonfunc.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace
{

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

// Feeds the file once through every digest asked for; each result is the
// lower-case hex text, all of them empty when the file cannot be read.
// Returns the number of bytes read, -1 on failure.
qint64 digestFile(QString const &filePath, std::vector<EVP_MD const *> const &kinds, std::vector<QString> *results)
{
    results->assign(kinds.size(), QString());
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;

    // OpenSSL's digests (assembly on x86) rather than QCryptographicHash's
    // portable C: on a setup program of hundreds of megabytes the digest, not
    // the disk, is what the user waits for, and Qt's is slower than md5sum.
    std::vector<DigestContext> contexts;
    for (EVP_MD const *kind : kinds) {
        contexts.emplace_back(EVP_MD_CTX_new());
        if (!contexts.back() || EVP_DigestInit_ex(contexts.back().get(), kind, nullptr) != 1)
            return -1;
    }

    // A block that stays in the CPU cache between the read and the digests;
    // larger ones only add cache misses.
    constexpr qint64 blockSize = 64 * 1024;
    std::unique_ptr<char[]> block(new char[blockSize]);
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(block.get(), blockSize);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += n;
        for (DigestContext const &context : contexts) {
            if (EVP_DigestUpdate(context.get(), block.get(), size_t(n)) != 1)
                return -1;
        }
    }
    std::vector<QString> texts;
    for (DigestContext const &context : contexts) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
            return -1;
        texts.push_back(QString::fromLatin1(QByteArray(reinterpret_cast<char const *>(digest), int(length)).toHex()));
    }
    *results = texts;
    return total;
}

} // namespace

QString CommonFunc::calculateMd5Sum(QString const &filePath)
{
    std::vector<QString> results;
    digestFile(filePath, {EVP_md5()}, &results);
    return results.front();
}

QString CommonFunc::calculateSha256Sum(QString const &filePath)
{
    std::vector<QString> results;
    digestFile(filePath, {EVP_sha256()}, &results);
    return results.front();
}

CommonFunc::FileDigests CommonFunc::calculateDigests(QString const &filePath)
{
    FileDigests digests;
    std::vector<QString> results;
    const qint64 size = digestFile(filePath, {EVP_md5(), EVP_sha256()}, &results);
    if (size < 0)
        return digests;
    digests.size = size;
    digests.md5 = results.at(0);
    digests.sha256 = results.at(1);
    return digests;
}
