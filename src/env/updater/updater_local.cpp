#include "companion_p.h"
#include "downloadfolder_p.h"
#include "share_p.h"
#include "updater.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"
#include "volumes_p.h"

#include <QDebug>
#include <QFileInfo>

void Updater::localDir()
{
    const QString path = Environment::instance()->getSetting(UPDATES_LOCAL_DIR, QVariant::String).toString();
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return;
    if (checkInstallationFiles(QDir(path)))
        emit newVersionIsAvailable();
}

bool Updater::checkInstallationFiles(QDir const &dir)
{
    m_versionChecked = true;

    const QStringList names = dir.entryList(QStringList(m_setupFilePrefix + QStringLiteral("*.exe")));
    if (names.isEmpty())
        return false;

    // The companion must carry exactly the setup program's name; a file system
    // that ignores letter case would find one that differs.
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (QString const &name : names) {
        // Only regular files are read: a folder or a FIFO named like a setup
        // program cannot be copied, and reading a FIFO waits for ever.
        if (!QFileInfo(dir.filePath(name)).isFile())
            continue;
        m_setupFileName = name;
        m_setupMd5.clear();

        const QString companion = name + QStringLiteral(".md5");
        if (files.contains(companion, Qt::CaseSensitive))
            m_setupMd5 = companion::digest(companion::read(dir.filePath(companion)));
        UpdaterState::of(this)->setupSignature = files.contains(name + QStringLiteral(".sig"), Qt::CaseSensitive)
            ? updatetrust::readSignatureFile(dir.filePath(name + QStringLiteral(".sig")))
            : QString();

        m_setupLocation = downloadfolder::pathOf(dir.absolutePath(), name);
        analyseFileVersion(name);
        if (isNewVersion())
            return true;
    }
    return false;
}

void Updater::sambaFileVersion()
{
    m_setupLocation.clear();
    m_setupFileName.clear();
    // A mapping left from an earlier check is released before a letter is
    // picked afresh, or it would be lost track of.
    unmountDrive();

    m_mountedDrive = getUnmountedVolume();
    if (m_mountedDrive != m_noDrive) {
        // The share may already be mapped under another letter.
        const QString folder
            = mountDrive() ? share::folderOn(m_mountedDrive) : share::mappedFolder(volumes::mountedVolumes());
        if (!folder.isEmpty()) {
            if (checkInstallationFiles(QDir(folder)))
                emit newVersionIsAvailable();
            return;
        }
    }
    if (m_infoMode)
        m_errors.append(tr("Unable to mount network drive to check setup file."));
}

QChar Updater::getUnmountedVolume()
{
    return share::freeDriveLetter(volumes::mountedVolumes(), m_noDrive);
}

bool Updater::mountDrive()
{
    const share::Outcome outcome = share::run(share::mountArguments(m_mountedDrive));
    if (outcome.status == share::Status::Done) {
        UpdaterState::of(this)->shareMounted = true;
        return true;
    }
    qWarning() << "exit code:" << outcome.exitCode << ", exit status:" << share::exitStatusName(outcome.exitStatus)
               << "\noutput:" << outcome.output << "\nerrors:" << outcome.errors;
    return false;
}

void Updater::unmountDrive()
{
    // After a failed mount the letter stays in m_mountedDrive, but it may be
    // the user's own mapping: only what this updater mapped is released.
    UpdaterState *state = UpdaterState::of(this);
    if (m_mountedDrive == m_noDrive || !state->shareMounted)
        return;

    const share::Outcome outcome = share::run(share::unmountArguments(m_mountedDrive));
    if (outcome.status == share::Status::Done) {
        m_mountedDrive = m_noDrive;
        state->shareMounted = false;
        return;
    }
    qWarning() << "exit code:" << outcome.exitCode << ", exit status:" << share::exitStatusName(outcome.exitStatus)
               << "\noutput:" << outcome.output;
}
