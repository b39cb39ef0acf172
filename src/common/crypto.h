#ifndef ENV_COMMON_CRYPTO_H
#define ENV_COMMON_CRYPTO_H

#include "env_export.h"

#include <QByteArray>
#include <QString>

// The enumerations of the family's AES class; only their values travel.
class ENV_EXPORT QAESEncryption
{
public:
    enum Aes { AES_128 = 0, AES_192 = 1, AES_256 = 2 };
    enum Mode { ECB = 0, CBC = 1, CFB = 2, OFB = 3 };
    enum Padding { ZERO = 0, PKCS7 = 1, ISO = 2 };
};

// Text cipher of the family. AES through OpenSSL; the key text is stretched with
// SHA-256 to the key length. ISO/IEC 7816-4 padding always adds at least one
// byte, so a plain text of 16 bytes takes two blocks.
class ENV_EXPORT Crypto
{
public:
    Crypto(QAESEncryption::Aes aes, QAESEncryption::Mode mode, QAESEncryption::Padding padding);

    // Enciphers the UTF-8 form of text. maxLength bounds the plain text in bytes;
    // a longer text (or a cipher failure) gives an empty result.
    QByteArray encode(QString const &text, QString const &key, int maxLength) const;

    // Deciphers hex (or, when it is not hex, raw Latin-1) cipher text. With
    // removePadding the padding is stripped; otherwise the raw blocks come back.
    QByteArray decode(QString const &cipherText, QString const &key, bool removePadding) const;

    // Round-trip form for enumeration names: lower-case hex, keyed by the
    // enumeration's name. decodeEnumIdName gives an empty text for input that
    // is not such a form.
    static QString encodeEnumIdName(QString const &enumName, QString const &text);
    static QString decodeEnumIdName(QString const &enumName, QString const &encoded);

private:
    QAESEncryption::Aes m_aes;
    QAESEncryption::Mode m_mode;
    QAESEncryption::Padding m_padding;
};

#endif
