#include "crypto.h"

#include <QCryptographicHash>

#include <openssl/evp.h>

#include <memory>

namespace
{

constexpr int blockSize = 16;

// Fixed salt of the enumeration-name form: the same text must always give the
// same stored form, so the key table can be generated at build time.
const char enumKeySalt[] = "env/EnvSettingKey/v1";

const EVP_CIPHER *cipherFor(QAESEncryption::Aes aes, QAESEncryption::Mode mode)
{
    switch (aes) {
    case QAESEncryption::AES_128:
        switch (mode) {
        case QAESEncryption::ECB: return EVP_aes_128_ecb();
        case QAESEncryption::CBC: return EVP_aes_128_cbc();
        case QAESEncryption::CFB: return EVP_aes_128_cfb128();
        case QAESEncryption::OFB: return EVP_aes_128_ofb();
        }
        break;
    case QAESEncryption::AES_192:
        switch (mode) {
        case QAESEncryption::ECB: return EVP_aes_192_ecb();
        case QAESEncryption::CBC: return EVP_aes_192_cbc();
        case QAESEncryption::CFB: return EVP_aes_192_cfb128();
        case QAESEncryption::OFB: return EVP_aes_192_ofb();
        }
        break;
    case QAESEncryption::AES_256:
        switch (mode) {
        case QAESEncryption::ECB: return EVP_aes_256_ecb();
        case QAESEncryption::CBC: return EVP_aes_256_cbc();
        case QAESEncryption::CFB: return EVP_aes_256_cfb128();
        case QAESEncryption::OFB: return EVP_aes_256_ofb();
        }
        break;
    }
    return nullptr;
}

QByteArray deriveKey(QByteArray const &keyText, int length)
{
    return QCryptographicHash::hash(keyText, QCryptographicHash::Sha256).left(length);
}

QByteArray deriveIv(QByteArray const &keyText)
{
    return QCryptographicHash::hash(keyText + QByteArrayLiteral("/iv"), QCryptographicHash::Md5);
}

QByteArray pad(QByteArray data, QAESEncryption::Padding padding)
{
    const int fill = blockSize - data.size() % blockSize;
    switch (padding) {
    case QAESEncryption::ZERO:
        if (data.size() % blockSize)
            data.append(QByteArray(fill, '\0'));
        break;
    case QAESEncryption::PKCS7: data.append(QByteArray(fill, char(fill))); break;
    case QAESEncryption::ISO:
        data.append(char(0x80));
        data.append(QByteArray(fill - 1, '\0'));
        break;
    }
    return data;
}

QByteArray unpad(QByteArray data, QAESEncryption::Padding padding)
{
    switch (padding) {
    case QAESEncryption::ZERO:
        while (!data.isEmpty() && data.endsWith('\0'))
            data.chop(1);
        break;
    case QAESEncryption::PKCS7: {
        const int fill = data.isEmpty() ? 0 : static_cast<unsigned char>(data.back());
        if (fill < 1 || fill > blockSize || fill > data.size())
            return QByteArray();
        data.chop(fill);
        break;
    }
    case QAESEncryption::ISO: {
        int i = data.size() - 1;
        while (i >= 0 && data.at(i) == '\0')
            --i;
        if (i < 0 || static_cast<unsigned char>(data.at(i)) != 0x80)
            return QByteArray();
        data.truncate(i);
        break;
    }
    }
    return data;
}

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

QByteArray runCipher(
    const EVP_CIPHER *cipher, QByteArray const &key, QByteArray const &iv, QByteArray const &in, bool encrypt)
{
    if (!cipher)
        return QByteArray();
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return QByteArray();
    const auto *keyBytes = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *ivBytes
        = EVP_CIPHER_iv_length(cipher) > 0 ? reinterpret_cast<const unsigned char *>(iv.constData()) : nullptr;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, keyBytes, ivBytes, encrypt ? 1 : 0) != 1)
        return QByteArray();
    // Padding is ours, so the block modes see whole blocks only.
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

    QByteArray out(in.size() + blockSize, Qt::Uninitialized);
    int written = 0;
    int finalWritten = 0;
    auto *outBytes = reinterpret_cast<unsigned char *>(out.data());
    if (EVP_CipherUpdate(
            ctx.get(), outBytes, &written, reinterpret_cast<const unsigned char *>(in.constData()), in.size())
        != 1)
        return QByteArray();
    if (EVP_CipherFinal_ex(ctx.get(), outBytes + written, &finalWritten) != 1)
        return QByteArray();
    out.truncate(written + finalWritten);
    return out;
}

int keyLength(QAESEncryption::Aes aes)
{
    switch (aes) {
    case QAESEncryption::AES_128: return 16;
    case QAESEncryption::AES_192: return 24;
    case QAESEncryption::AES_256: return 32;
    }
    return 32;
}

bool isHex(QString const &text)
{
    if (text.size() % 2)
        return false;
    for (QChar c : text) {
        const char l = c.toLatin1();
        if (!((l >= '0' && l <= '9') || (l >= 'a' && l <= 'f') || (l >= 'A' && l <= 'F')))
            return false;
    }
    return true;
}

} // namespace

Crypto::Crypto(QAESEncryption::Aes aes, QAESEncryption::Mode mode, QAESEncryption::Padding padding)
    : m_aes(aes)
    , m_mode(mode)
    , m_padding(padding)
{
}

QByteArray Crypto::encode(QString const &text, QString const &key, int maxLength) const
{
    const QByteArray plain = text.toUtf8();
    if (maxLength >= 0 && plain.size() > maxLength)
        return QByteArray();
    const QByteArray keyText = key.toUtf8();
    return runCipher(
        cipherFor(m_aes, m_mode), deriveKey(keyText, keyLength(m_aes)), deriveIv(keyText), pad(plain, m_padding), true);
}

QByteArray Crypto::decode(QString const &cipherText, QString const &key, bool removePadding) const
{
    const QByteArray raw = isHex(cipherText) ? QByteArray::fromHex(cipherText.toLatin1()) : cipherText.toLatin1();
    if (raw.isEmpty() || raw.size() % blockSize)
        return QByteArray();
    const QByteArray keyText = key.toUtf8();
    const QByteArray plain
        = runCipher(cipherFor(m_aes, m_mode), deriveKey(keyText, keyLength(m_aes)), deriveIv(keyText), raw, false);
    return removePadding ? unpad(plain, m_padding) : plain;
}

QString Crypto::encodeEnumIdName(QString const &enumName, QString const &text)
{
    const Crypto cipher(QAESEncryption::AES_256, QAESEncryption::ECB, QAESEncryption::ISO);
    return QString::fromLatin1(cipher.encode(text, enumName + QLatin1String(enumKeySalt), -1).toHex());
}

QString Crypto::decodeEnumIdName(QString const &enumName, QString const &encoded)
{
    if (encoded.isEmpty() || !isHex(encoded))
        return QString();
    const Crypto cipher(QAESEncryption::AES_256, QAESEncryption::ECB, QAESEncryption::ISO);
    // Sized conversion: the text may hold NUL characters of its own.
    const QByteArray plain = cipher.decode(encoded, enumName + QLatin1String(enumKeySalt), true);
    return QString::fromUtf8(plain.constData(), plain.size());
}
