#include "environment.h"

#include "crypto.h"

#include <QDebug>

namespace
{

const QString enumName = QStringLiteral("EnvSettingKey");

constexpr int maxPlainLength = 1024;

// The cipher key is the name of the password's own key, "ORLA_EXPORT_SETS":
// setting and getting must agree on it, so both take it from the name table.
QString cipherKeyText()
{
    return EnvSettingKeyEnumClass::idName(ORLA_EXPORT_SETS);
}

Crypto passwordCipher()
{
    return Crypto(QAESEncryption::AES_256, QAESEncryption::ECB, QAESEncryption::ISO);
}

} // namespace

void Environment::setOrlaExportPassword(QString const &password)
{
    const QString encodedName = Crypto::encodeEnumIdName(enumName, password);
    const QByteArray enciphered = passwordCipher().encode(encodedName, cipherKeyText(), maxPlainLength);
    if (enciphered.isEmpty()) {
        // The cipher refuses plain texts beyond its bound (a password of some
        // 500 bytes). Storing its empty answer would silently make the export
        // password empty; keep the one in force instead.
        qWarning() << "Cannot encode export password, length:" << password.size();
        return;
    }
    setSetting(ORLA_EXPORT_SETS, QString::fromLatin1(enciphered.toHex()));
}

QString Environment::getOrlaExportPassword(bool encodedForm)
{
    if (!m_settings.contains(ORLA_EXPORT_SETS)) {
        const QString defaultEntry = EnvSettingKeyEnumClass::idName(SECURE_ARG_1601);
        return encodedForm ? defaultEntry : Crypto::decodeEnumIdName(enumName, defaultEntry);
    }

    QByteArray plain
        = passwordCipher().decode(getSetting(ORLA_EXPORT_SETS, QVariant::String).toString(), cipherKeyText(), true);
    const int zero = plain.indexOf('\0');
    if (zero >= 0)
        plain.truncate(zero);
    const QString encodedName = QString::fromLatin1(plain);
    return encodedForm ? encodedName : Crypto::decodeEnumIdName(enumName, encodedName);
}
