#include "releasesignature_p.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace releasesignature
{

namespace
{

constexpr int publicKeySize = 32;
constexpr int signatureSize = 64;

struct KeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct BioDeleter {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

// Strict base64: a text with anything else in it is not taken.
bool decode(QString const &text, int expectedSize, QByteArray *bytes)
{
    const auto result
        = QByteArray::fromBase64Encoding(text.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != expectedSize)
        return false;
    *bytes = result.decoded;
    return true;
}

Key readPrivateKey(QByteArray const &pem)
{
    Bio bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    if (!bio)
        return Key();
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return Key();
    return key;
}

QString publicKeyText(EVP_PKEY *key)
{
    unsigned char raw[publicKeySize];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != sizeof raw)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<char const *>(raw), int(length)).toBase64());
}

} // namespace

QByteArray message(AppVersion const &version, QString const &fileName, qint64 size, QString const &sha256)
{
    return "env-release-1\n"
        + QStringLiteral("%1.%2.%3.%4")
              .arg(version.m_major)
              .arg(version.m_minor)
              .arg(version.m_patch)
              .arg(version.m_rc)
              .toUtf8()
        + '\n' + fileName.toUtf8() + '\n' + QByteArray::number(size) + '\n' + sha256.toLower().toUtf8() + '\n';
}

Result verify(QString const &publicKey, QByteArray const &message, QString const &signature)
{
    QByteArray rawKey;
    if (!decode(publicKey, publicKeySize, &rawKey))
        return Result::BadPublicKey;
    if (signature.trimmed().isEmpty())
        return Result::Missing;
    QByteArray rawSignature;
    if (!decode(signature, signatureSize, &rawSignature))
        return Result::Malformed;

    Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<unsigned char const *>(rawKey.constData()), size_t(rawKey.size())));
    if (!key)
        return Result::BadPublicKey;
    Context context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return Result::Invalid;
    const int verified = EVP_DigestVerify(context.get(),
        reinterpret_cast<unsigned char const *>(rawSignature.constData()), size_t(rawSignature.size()),
        reinterpret_cast<unsigned char const *>(message.constData()), size_t(message.size()));
    return verified == 1 ? Result::Ok : Result::Invalid;
}

bool generateKey(QByteArray *privateKeyPem, QString *publicKey)
{
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key)
        return false;
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return false;
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    *privateKeyPem = QByteArray(data, int(length));
    *publicKey = publicKeyText(key.get());
    return !publicKey->isEmpty();
}

QString publicKeyOf(QByteArray const &privateKeyPem)
{
    const Key key = readPrivateKey(privateKeyPem);
    return key ? publicKeyText(key.get()) : QString();
}

QString sign(QByteArray const &privateKeyPem, QByteArray const &message)
{
    const Key key = readPrivateKey(privateKeyPem);
    if (!key)
        return QString();
    Context context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return QString();
    unsigned char signature[signatureSize];
    size_t length = sizeof signature;
    if (EVP_DigestSign(context.get(), signature, &length, reinterpret_cast<unsigned char const *>(message.constData()),
            size_t(message.size()))
        != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<char const *>(signature), int(length)).toBase64());
}

} // namespace releasesignature
