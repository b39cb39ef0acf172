#include "commonfunc.h"
#include "downloadfolder_p.h"
#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace
{

// Keeps other processes from writing to, renaming or deleting the setup
// program between its last digest and its start. Only Windows can deny that
// to other processes; elsewhere the digest is taken again just before start.
class SetupFileLock
{
public:
    explicit SetupFileLock(QString const &path)
    {
#ifdef Q_OS_WIN
        m_handle = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), GENERIC_READ,
            FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
        Q_UNUSED(path)
#endif
    }
    ~SetupFileLock()
    {
#ifdef Q_OS_WIN
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
#endif
    }
    bool isLocked() const
    {
#ifdef Q_OS_WIN
        return m_handle != INVALID_HANDLE_VALUE;
#else
        return true;
#endif
    }

private:
    Q_DISABLE_COPY(SetupFileLock)
#ifdef Q_OS_WIN
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#endif
};

QString quotedWhenBlank(QString const &text)
{
    return text.contains(QLatin1Char(' ')) ? QLatin1Char('"') + text + QLatin1Char('"') : text;
}

// The MD5 text and, with a publisher's key, the signature. With a key, a
// refused file is removed, so that nothing unverified stays behind.
QString refuseUnverified(QString const &path, QString const &md5, AppVersion const &version, QString const &signature)
{
    const QString problem = updatetrust::setupFileProblem(path, md5, version, signature);
    if (!problem.isEmpty() && updatetrust::signaturesRequired() && QFileInfo(path).isFile())
        QFile::remove(path);
    return problem;
}

QString notNewerError(AppVersion const &offered)
{
    // Cleared by every check, and never set without one.
    if (offered.m_major < 0)
        return Updater::tr("No newer version has been found yet.");
    return Updater::tr("No newer version to install: %1").arg(offered.toString());
}

} // namespace

void Updater::removeTempDir(bool recreate)
{
    downloadfolder::Held &held = UpdaterState::of(this)->downloadFolder;
    if (recreate && tempDirIsOwn()) {
        downloadfolder::removeFiles(m_tempPath);
        return;
    }
    // Only a folder still held is emptied and removed; one lost meanwhile
    // (to a cleaner of temporary files, say) is left as it is.
    downloadfolder::release(held, !recreate);
    if (!recreate)
        return;
    const QString tempRoot = Environment::instance()->getTempPath(QString());
    if (downloadfolder::acquire(held, tempRoot, m_tempDirName)) {
        m_tempPath = held.path;
    } else {
        m_tempPath = downloadfolder::folderPath(tempRoot, m_tempDirName);
        qCritical() << "Cannot create temporary folder:" << m_tempPath;
    }
}

void Updater::updateApp()
{
    if (m_fileServer <= FILE_SERVER_HTTP_TEST_URL)
        m_downloadTime = updater_clock::now();

    // A cleaner of temporary files may have taken the folder since the
    // updater was made; the updater then takes a new one of its own.
    if (!tempDirIsOwn())
        removeTempDir(true);

    // A web source runs an event loop, in which the host may delete the
    // updater; so may a host that hears of the copied file.
    const QPointer<Updater> alive(this);
    QStringList errors;
    const QString tempError = tempDirError();
    if (!tempError.isEmpty()) {
        errors.append(tempError);
    } else if (!isNewVersion()) {
        // Only what the last check found newer than the running version is
        // fetched: a late answer to an earlier question must not install the
        // older program that a later check came across.
        errors.append(notNewerError(m_newVersion));
    } else {
        const QDir tempDir(m_tempPath);
        const QStringList leftovers = tempDir.entryList(QStringList(m_setupFilePrefix + QStringLiteral("*.exe")));
        for (QString const &name : leftovers) {
            const QString path = tempDir.absolutePath() + QLatin1Char('/') + name;
            if (QFile::exists(path))
                QFile::remove(path);
        }

        m_infoMode = false;

        switch (m_fileServer) {
        case FILE_SERVER_SFTP: errors = sftpDownloadSetupFile(); break;
        case FILE_SERVER_HTTP_URL:
        case FILE_SERVER_HTTP_PAGE:
        case FILE_SERVER_HTTP_TEST_URL: httpDownload(m_setupLocation); break;
        case FILE_SERVER_LOCAL_DIR:
        case FILE_SERVER_SAMBA: {
            m_downloadFilePath = tempDir.absolutePath() + QLatin1Char('/') + QFileInfo(m_setupLocation).fileName();
            downloadfolder::removeEntry(m_downloadFilePath);
            // Only a regular file is read: copying from a FIFO waits for ever.
            const bool copied = QFileInfo(m_setupLocation).isFile() && QFile::copy(m_setupLocation, m_downloadFilePath);
            unmountDrive();
            if (!copied) {
                qCritical() << QStringLiteral("Unable to copy from ") + m_setupLocation + QStringLiteral(" to ")
                        + m_downloadFilePath;
                errors.append(tr("Unable to copy from %1 to %2").arg(m_setupFileName, m_downloadFilePath));
            } else if (const QString problem = refuseUnverified(
                           m_downloadFilePath, m_setupMd5, m_newVersion, UpdaterState::of(this)->setupSignature);
                       !problem.isEmpty()) {
                errors.append(problem);
            } else {
#ifndef Q_OS_WIN
                // The folder's program need not carry an execute bit (a share
                // seldom does), nor does its copy; the verified copy must.
                QFile::setPermissions(m_downloadFilePath, QFile::permissions(m_downloadFilePath) | QFile::ExeOwner);
#endif
                emit setupFileDownloaded();
            }
            break;
        }
        default: break;
        }
        if (!alive)
            return;
    }
    // The share is released whatever the outcome, an early refusal too.
    unmountDrive();

    if (!errors.isEmpty()) {
        qCritical() << QStringLiteral("Failed to update application from ") + m_setupFileName;
        errors.append(tr("Failed to update application"));
        showErrors(true, errors);
    }
    emit removeProgressBar(m_downloadProgressBarId);
}

QString Updater::prepareRunSetupQuestion()
{
    QString question
        = tr("New version downloaded") + QStringLiteral(": ") + m_newVersion.toString() + QLatin1Char('\n');
    if (m_currentVersion.m_major != 0 || m_currentVersion.m_minor != 0)
        question += tr("Your version") + QStringLiteral(": ") + m_currentVersion.toString() + QLatin1Char('\n');
    question += QLatin1Char('\n') + tr("Do you want to install?");
    return question;
}

void Updater::runSetupFile()
{
    // Only a regular file that the updater itself put into its own folder is
    // ever started.
    const QFileInfo setupFile(m_downloadFilePath);
    const bool inOwnFolder = tempDirError().isEmpty() && !m_downloadFilePath.isEmpty()
        && QDir::cleanPath(setupFile.absolutePath()) == QDir::cleanPath(QDir(m_tempPath).absolutePath());
    if (!inOwnFolder || !setupFile.exists() || setupFile.isSymLink() || !setupFile.isFile()) {
        const QStringList errors(tr("Unable to find downloaded setup file"));
        qCritical() << errors << m_downloadFilePath;
        showErrors(true, errors);
        return;
    }

    if (const QString problem
        = refuseUnverified(m_downloadFilePath, m_setupMd5, m_newVersion, UpdaterState::of(this)->setupSignature);
        !problem.isEmpty()) {
        sendUpdateError(problem);
        return;
    }

    const AppVersion fileVersion = Environment::instance()->getVersionFromFileName(m_downloadFilePath);
    if (fileVersion.m_major != m_newVersion.m_major || fileVersion.m_minor != m_newVersion.m_minor
        || fileVersion.m_patch != m_newVersion.m_patch || fileVersion.m_rc != m_newVersion.m_rc) {
        const QString text = QLatin1Char('\'')
            + m_downloadFilePath.mid(m_downloadFilePath.lastIndexOf(QLatin1Char('/')) + 1) + QStringLiteral("' ")
            + tr("version") + QStringLiteral(": ") + fileVersion.toString() + QStringLiteral(", ") + tr("expected")
            + QStringLiteral(": ") + m_newVersion.toString();
        qCritical() << text;
        showErrors(true, QStringList{tr("Download error") + QLatin1Char(':'), text});
        return;
    }

    if (!isNewVersion()) {
        showErrors(true, QStringList(notNewerError(m_newVersion)));
        return;
    }

    const QString appDir = QDir::fromNativeSeparators(QCoreApplication::applicationDirPath());
    const QString commandLine = quotedWhenBlank(m_downloadFilePath) + QStringLiteral(" upd=true runAfterInst=true")
        + QStringLiteral(" instPath=") + quotedWhenBlank(appDir);
    qInfo() << "Starting setup:" << commandLine;

    // The items the program gets are those of the command line split at blanks
    // with the quotes removed; they are passed as items so that a quote inside
    // a path cannot split it differently.
    const QStringList arguments{
        QStringLiteral("upd=true"), QStringLiteral("runAfterInst=true"), QStringLiteral("instPath=") + appDir};

    bool started = false;
    QString problem;
    {
        // The digest is taken again right before the start, from the file as
        // it is now, so the program that starts is the one that was verified.
        const SetupFileLock lock(m_downloadFilePath);
        problem = lock.isLocked() ? updatetrust::setupFileProblem(
                      m_downloadFilePath, m_setupMd5, m_newVersion, UpdaterState::of(this)->setupSignature)
                                  : tr("MD5 sum error!");
        if (problem.isEmpty())
            started = QProcess::startDetached(m_downloadFilePath, arguments);
    }
    if (!problem.isEmpty()) {
        // Removed only once the lock no longer holds it.
        if (updatetrust::signaturesRequired())
            QFile::remove(m_downloadFilePath);
        sendUpdateError(problem);
        return;
    }

    if (started) {
        if (m_releaseMode && !m_keepAppMode)
            Environment::instance()->removeSetting(APP_MODE);
        emit closeApplication();
    } else {
        showErrors(true, QStringList(tr("You must update application manually.")));
    }
}
