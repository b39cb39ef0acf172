#include "crypto.h"
#include "updater.h"

#include <QDebug>

// Stand-in until the SFTP source lands: the check reports that the source is
// missing and the fetch fails with the same text, so the updater stays usable.

QStringList Updater::secureEnumArgs(QVector<EnvSettingKey> keys)
{
    QStringList result;
    for (EnvSettingKey key : keys) {
        QString text = Crypto::decodeEnumIdName(QStringLiteral("EnvSettingKey"), EnvSettingKeyEnumClass::idName(key));
        text.replace(QStringLiteral("$d$"), QStringLiteral("."));
        text.replace(QStringLiteral("$s$"), QStringLiteral("/"));
        result.append(text);
    }
    return result;
}

void Updater::sftpDownloadCheckVersion()
{
    if (sftpDownloadNewVersion())
        emit newVersionIsAvailable();
}

bool Updater::sftpDownloadNewVersion()
{
    sftpErrors(QStringList(QStringLiteral("SFTP source is not available in this build")));
    return false;
}

QStringList Updater::sftpDownloadSetupFile()
{
    return QStringList(QStringLiteral("SFTP source is not available in this build"));
}

void Updater::sftpErrors(QStringList const &errors)
{
    m_errors.append(errors);
    qCritical() << errors;
}
