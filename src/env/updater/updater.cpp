#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "urlfiledownloader_p.h"

#include <QDebug>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

namespace updater_clock
{

namespace
{
Clock &replacement()
{
    static Clock instance;
    return instance;
}
} // namespace

QTime now()
{
    if (replacement())
        return replacement()();
    return QTime::currentTime();
}

void setClock(Clock clock)
{
    replacement() = std::move(clock);
}

} // namespace updater_clock

namespace updater_limits
{

namespace
{
constexpr int DefaultTransferTimeout = 60000;
// Setup programs of the family are a few hundred MB at most.
constexpr qint64 DefaultMaxSetupFileSize = qint64(1024) * 1024 * 1024;

int s_transferTimeout = DefaultTransferTimeout;
qint64 s_maxSetupFileSize = DefaultMaxSetupFileSize;
} // namespace

int transferTimeout()
{
    return s_transferTimeout;
}

long transferTimeoutSeconds()
{
    return (s_transferTimeout + 999) / 1000;
}

void setTransferTimeout(int msecs)
{
    s_transferTimeout = msecs > 0 ? msecs : DefaultTransferTimeout;
}

qint64 maxSetupFileSize()
{
    return s_maxSetupFileSize;
}

void setMaxSetupFileSize(qint64 bytes)
{
    s_maxSetupFileSize = bytes > 0 ? bytes : DefaultMaxSetupFileSize;
}

} // namespace updater_limits

Updater::Updater(Environment::AppMode mode)
    : QObject(nullptr)
    , m_setupFilePrefix(QStringLiteral("VardoStudioSetup_"))
    , m_tempDirName(QStringLiteral("vsupd"))
    , m_noDrive(QLatin1Char('?'))
    , m_fileServer(-1)
    , m_fileServerCount(1)
    , m_infoMode(true)
    , m_releaseMode(mode == Environment::MODE_SERVER_UPDATES)
    , m_keepAppMode(false)
    , m_ready(true)
    , m_versionChecked(false)
    , m_progressBarId(-1)
    , m_downloadProgressBarId(-1)
    , m_mountedDrive(m_noDrive)
{
    m_currentVersion.m_name = QStringLiteral("ver");
    m_currentVersion.clear();
    m_newVersion.m_name = QStringLiteral("ver");
    m_newVersion.clear();
    new UpdaterState(this);

    // Takes the updater's own download folder, m_tempPath.
    removeTempDir(true);
    setAvailableServers(mode);
    connect(this, &Updater::newVersionIsAvailable, this, &Updater::prepareInstallationQuestion);
    setReady();
    qInfo() << "UPDATER START";
}

Updater::~Updater()
{
    // Deleted during a web transfer (from the event loop it runs): the
    // transfer is cancelled, and the call that runs it, still on the stack,
    // deletes the downloader once its loop has returned.
    const QList<UrlFileDownloader *> transfers
        = findChildren<UrlFileDownloader *>(QString(), Qt::FindDirectChildrenOnly);
    for (UrlFileDownloader *transfer : transfers) {
        transfer->setParent(nullptr);
        transfer->cancel();
    }
    removeTempDir(false);
    unmountDrive();
}

void Updater::setReady()
{
    QMutexLocker locker(&m_readyMutex);
    m_ready = true;
}

void Updater::setNotReady()
{
    QMutexLocker locker(&m_readyMutex);
    m_ready = false;
}

void Updater::setAvailableServers(Environment::AppMode mode)
{
    m_fileServers.clear();
    switch (mode) {
    case Environment::MODE_SERVER_UPDATES: m_fileServers.append(FILE_SERVER_SFTP); break;
    case Environment::MODE_LOCAL_UPDATES:
    case Environment::MODE_LOCAL_UPDATES_ALT: m_fileServers.append(FILE_SERVER_LOCAL_DIR); break;
    default: break;
    }
    m_fileServerCount = m_fileServers.size() + 1;
}

bool Updater::nextFileServer()
{
    for (;;) {
        {
            QMutexLocker locker(&m_readyMutex);
            if (m_ready)
                break;
        }
        QThread::yieldCurrentThread();
    }
    if (isNewVersion())
        return false;
    if (m_fileServers.isEmpty())
        return false;
    m_fileServer = m_fileServers.takeFirst();
    emitProgressBarInfo();
    return true;
}

int Updater::getFileServer() const
{
    return m_fileServer;
}

QString Updater::getNewVersionString()
{
    return m_newVersion.toString();
}

QString Updater::getCurrentVersionString()
{
    return m_currentVersion.toString();
}

void Updater::setProgressBarId(int id)
{
    m_progressBarId = id;
}

void Updater::emitProgressBarInfo()
{
    const int value = (m_fileServerCount - m_fileServers.size() - 1) * 100 / m_fileServerCount;
    emit progressInfo(m_progressBarId, value, tr("Checking for updates..."));
}

void Updater::prepareToUpdateApp(int downloadProgressBarId)
{
    m_downloadProgressBarId = downloadProgressBarId;
    QTimer::singleShot(2000, this, &Updater::updateApp);
}

void Updater::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // QTime::elapsed() is deprecated; measure against the clock instead. A
    // download that runs over midnight would otherwise go negative.
    qint64 elapsed = 0;
    if (m_downloadTime.isValid()) {
        elapsed = m_downloadTime.msecsTo(updater_clock::now());
        if (elapsed < 0)
            elapsed += 24 * 60 * 60 * 1000;
    }

    double speed = 0.0;
    QString unit = QStringLiteral("bytes/sec");
    if (elapsed > 0) {
        speed = static_cast<double>(bytesReceived) * 1000.0 / static_cast<double>(elapsed);
        if (speed >= 1048576.0) {
            speed /= 1048576.0;
            unit = QStringLiteral("MB/s");
        } else if (speed >= 1024.0) {
            speed /= 1024.0;
            unit = QStringLiteral("kB/s");
        }
    }

    const int value = bytesTotal > 0 ? static_cast<int>(bytesReceived * 100 / bytesTotal) : 0;

    QString text = tr("Downloading");
    if (m_setupFileName.startsWith(QLatin1String("Vardo")))
        text += QLatin1Char(' ') + m_setupFileName;
    const QString speedText = QStringLiteral("%1 %2").arg(speed, 3, 'f', 1).arg(unit);

    emit progressInfo(m_downloadProgressBarId, value, text + QStringLiteral(": ") + speedText);
}

void Updater::showNetworkError(QNetworkReply::NetworkError netError, QString const &error)
{
    emit errorsOccured(tr("Network error") + QStringLiteral(":\n") + QString::number(static_cast<int>(netError))
            + QStringLiteral(" - ") + error,
        tr("Version update"));
}

void Updater::sendUpdateError(QString const &err)
{
    emit errorsOccured(err, tr("Version update"));
}

void Updater::showErrors(bool error, QStringList const &errors)
{
    if (errors.isEmpty())
        return;
    if (error)
        sendUpdateError(errors.join(QLatin1Char('\n')));
    else
        emit progressStatusInfo(
            ProgressInitValues(ProgressInitValues::Warning, tr("Warning") + QStringLiteral(": ") + errors.first()));
}

// Whether this updater holds its download folder now: a folder of this
// user's that no one else can enter, with the updater's own lock file in it.
bool Updater::tempDirIsOwn() const
{
    const downloadfolder::Held &held = UpdaterState::of(this)->downloadFolder;
    return !m_tempPath.isEmpty() && held.path == m_tempPath && downloadfolder::holds(held);
}

// Empty when the updater holds its download folder; otherwise the text that
// tells the user why nothing can be downloaded.
QString Updater::tempDirError() const
{
    if (tempDirIsOwn())
        return QString();
    const QString wanted = QDir(Environment::instance()->getTempPath(QString())).filePath(m_tempDirName);
    return tr("Unable to create temporary folder: %1").arg(QDir::toNativeSeparators(wanted));
}
