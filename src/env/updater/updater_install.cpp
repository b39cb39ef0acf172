#include "downloadfolder_p.h"
#include "setupprogram_p.h"
#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace
{

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
            const QString path = downloadfolder::pathOf(tempDir.absolutePath(), name);
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
            m_downloadFilePath = downloadfolder::pathOf(tempDir.absolutePath(), QFileInfo(m_setupLocation).fileName());
            downloadfolder::removeEntry(m_downloadFilePath);
            // Only a regular file is read: copying from a FIFO waits for ever.
            const bool copied = QFileInfo(m_setupLocation).isFile() && QFile::copy(m_setupLocation, m_downloadFilePath);
            unmountDrive();
            if (!copied) {
                qCritical() << QStringLiteral("Unable to copy from ") + m_setupLocation + QStringLiteral(" to ")
                        + m_downloadFilePath;
                errors.append(tr("Unable to copy from %1 to %2").arg(m_setupFileName, m_downloadFilePath));
            } else if (const updatetrust::Verdict verdict
                       = updatetrust::verifySetupFile(m_downloadFilePath, m_setupMd5, m_newVersion,
                           UpdaterState::of(this)->setupSignature, updatetrust::Refused::RemovedWhenSigned);
                       !verdict.ok()) {
                errors.append(verdict.text);
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
    const bool inOwnFolder = tempDirError().isEmpty() && setupprogram::isDirectlyIn(m_downloadFilePath, m_tempPath);
    if (!inOwnFolder || !setupFile.exists() || setupFile.isSymLink() || !setupFile.isFile()) {
        const QStringList errors(tr("Unable to find downloaded setup file"));
        qCritical() << errors << m_downloadFilePath;
        showErrors(true, errors);
        return;
    }

    const QString signature = UpdaterState::of(this)->setupSignature;
    if (const updatetrust::Verdict verdict = updatetrust::verifySetupFile(
            m_downloadFilePath, m_setupMd5, m_newVersion, signature, updatetrust::Refused::RemovedWhenSigned);
        !verdict.ok()) {
        sendUpdateError(verdict.text);
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
    qInfo() << "Starting setup:" << setupprogram::commandLine(m_downloadFilePath, appDir);
    const setupprogram::Start start
        = setupprogram::start(m_downloadFilePath, m_setupMd5, m_newVersion, signature, setupprogram::arguments(appDir));
    switch (start.status) {
    case setupprogram::Status::Refused: sendUpdateError(start.verdict.text); break;
    case setupprogram::Status::NotStarted:
        showErrors(true, QStringList(tr("You must update application manually.")));
        break;
    case setupprogram::Status::Started:
        if (m_releaseMode && !m_keepAppMode)
            Environment::instance()->removeSetting(APP_MODE);
        emit closeApplication();
        break;
    }
}
