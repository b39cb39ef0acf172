#include "deployment.h"
#include "updater.h"
#include "webpage_p.h"

#include <QPointer>

#include <initializer_list>

namespace
{

// Lexical comparison, the first difference deciding.
bool greater(std::initializer_list<qint32> offered, std::initializer_list<qint32> current)
{
    auto c = current.begin();
    for (auto o = offered.begin(); o != offered.end(); ++o, ++c) {
        if (*o != *c)
            return *o > *c;
    }
    return false;
}

} // namespace

void Updater::checkForUpdates(bool ignoreCurrentVersion)
{
    emit progressInfo(m_progressBarId, 0, tr("Checking for updates..."));
    m_newVersion.clear();
    if (ignoreCurrentVersion) {
        m_currentVersion.setVersion(0, 0, 0, 0);
    } else {
        const AppVersion running = Environment::instance()->getAppVersion();
        m_currentVersion.setVersion(running.m_major, running.m_minor, running.m_patch, running.m_rc);
    }

    if (!m_fileServers.isEmpty()) {
        m_fileServer = m_fileServers.takeFirst();
        emitProgressBarInfo();
        m_versionChecked = false;
        m_errors.clear();

        // A web source runs an event loop, in which the host may delete the
        // updater.
        const QPointer<Updater> alive(this);
        do {
            checkSetupFile();
            if (!alive)
                return;
        } while (nextFileServer());

        emit progressInfo(m_progressBarId, 100, tr("Checking for updates..."));
        if (!m_versionChecked) {
            if (!m_errors.isEmpty())
                showErrors(false, m_errors);
        } else if (!isNewVersion()) {
            emit progressStatusInfo(ProgressInitValues(
                tr("You are using the latest version."), QStringLiteral("font: bold; color: green"), QString()));
        }
    }

    emit removeProgressBar(m_progressBarId);
    emit checkForUpdatesEnded();
}

void Updater::downloadLastReleaseVersion(bool keepAppMode)
{
    m_releaseMode = true;
    m_keepAppMode = keepAppMode;
    setAvailableServers(Environment::MODE_SERVER_UPDATES);
    checkForUpdates(true);
}

bool Updater::isNewVersion()
{
    AppVersion const &o = m_newVersion;
    AppVersion const &c = m_currentVersion;
    if (m_releaseMode) {
        if (o.m_rc != 0)
            return false;
        return greater({o.m_major, o.m_minor, o.m_patch}, {c.m_major, c.m_minor, c.m_patch});
    }
    if (o.m_rc <= 0)
        return false;
    return greater({o.m_major, o.m_minor, o.m_patch, o.m_rc}, {c.m_major, c.m_minor, c.m_patch, c.m_rc});
}

void Updater::analyseFileVersion(QString const &fileName)
{
    const AppVersion version = Environment::instance()->getVersionFromFileName(fileName);
    m_newVersion.setVersion(version.m_major, version.m_minor, version.m_patch, version.m_rc);
}

void Updater::checkSetupFile()
{
    setNotReady();
    m_infoMode = true;
    m_setupRegExp = webpage::linkPattern(m_setupFilePrefix);

    // The SFTP and web sources store what they read in the temporary folder;
    // without a folder of our own they must not write anywhere else.
    const bool downloads = m_fileServer >= FILE_SERVER_SFTP && m_fileServer <= FILE_SERVER_HTTP_TEST_URL;
    // A cleaner of temporary files may have taken the folder since the
    // updater was made; the updater then takes a new one of its own.
    if (downloads && !tempDirIsOwn())
        removeTempDir(true);
    const QString tempError = downloads ? tempDirError() : QString();
    if (!tempError.isEmpty()) {
        m_errors.append(tempError);
        setReady();
        return;
    }

    const QPointer<Updater> alive(this);
    switch (m_fileServer) {
    case FILE_SERVER_SFTP: sftpDownloadCheckVersion(); break;
    case FILE_SERVER_HTTP_URL:
        m_setupLocation = Environment::instance()->getSetting(UPDATES_HTTP_URL, QVariant::String).toString();
        httpDownload(m_setupLocation);
        break;
    case FILE_SERVER_HTTP_PAGE:
        m_setupLocation = QString::fromUtf8(deployment::updatesPageUrl);
        httpDownload(m_setupLocation);
        break;
    case FILE_SERVER_HTTP_TEST_URL:
        m_setupLocation = Environment::instance()->getSetting(UPDATES_HTTP_URL_TEST, QVariant::String).toString();
        httpDownload(m_setupLocation);
        break;
    case FILE_SERVER_LOCAL_DIR: localDir(); break;
    case FILE_SERVER_SAMBA: sambaFileVersion(); break;
    default: break;
    }
    if (alive)
        setReady();
}

void Updater::prepareInstallationQuestion()
{
    emit removeProgressBar(m_downloadProgressBarId);
    m_downloadProgressBarId = -1;

    QString question
        = tr("New version is available") + QStringLiteral(": ") + m_newVersion.toString() + QLatin1Char('\n');
    if (m_currentVersion.m_major != 0 || m_currentVersion.m_minor != 0)
        question += tr("Your version") + QStringLiteral(": ") + m_currentVersion.toString() + QLatin1Char('\n');
    question += QLatin1Char('\n') + tr("Do you want to download?");
    emit installQuestion(question);
}
