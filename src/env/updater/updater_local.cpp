#include "companion_p.h"
#include "updater.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"
#include "volumes_p.h"

#include <QDebug>
#include <QFileInfo>
#include <QMetaEnum>
#include <QProcess>
#include <QSet>

namespace
{

// The update share on the maker's internal file server and its account.
const QString shareUncPath = QStringLiteral("\\\\vsfiles\\vsupdates");
const QString shareUser = QStringLiteral("/USER:VardoStudio");
const QString sharePassword = QStringLiteral("kettle#9");
const QString volumeMarker = QStringLiteral("VARDOSTUDIO");
const int netUseTimeout = 30000;

QString textUpToZero(QByteArray const &bytes)
{
    const int zero = bytes.indexOf('\0');
    return QString::fromLocal8Bit(zero < 0 ? bytes : bytes.left(zero));
}

const char *exitStatusName(QProcess::ExitStatus status)
{
    return QMetaEnum::fromType<QProcess::ExitStatus>().valueToKey(status);
}

// Runs "cmd.exe" with the arguments; true only when it ran to its end and
// answered 0. A program that never started leaves exitCode() at 0, so the
// exit code alone would report a failure as success.
bool runCommand(QProcess &process, QStringList const &arguments)
{
    process.start(QStringLiteral("cmd.exe"), arguments, QIODevice::ReadWrite);
    if (!process.waitForFinished(netUseTimeout)) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(netUseTimeout);
        }
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

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

        m_setupLocation = dir.absolutePath() + QLatin1Char('/') + name;
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
        if (mountDrive()) {
            if (checkInstallationFiles(QDir(QString(m_mountedDrive) + QStringLiteral(":/inst"))))
                emit newVersionIsAvailable();
            return;
        }
        // The share may already be mapped under another letter.
        const QList<volumes::Volume> mounted = volumes::mountedVolumes();
        for (volumes::Volume const &volume : mounted) {
            if (volume.valid && volume.ready && volume.name.toUpper().contains(volumeMarker)) {
                if (checkInstallationFiles(QDir(volume.rootPath + QStringLiteral("inst"))))
                    emit newVersionIsAvailable();
                return;
            }
        }
    }
    if (m_infoMode)
        m_errors.append(tr("Unable to mount network drive to check setup file."));
}

QChar Updater::getUnmountedVolume()
{
    QSet<QChar> used;
    const QList<volumes::Volume> mounted = volumes::mountedVolumes();
    for (volumes::Volume const &volume : mounted) {
        if (!volume.valid)
            continue;
        QChar first = volume.rootPath.isEmpty() ? QChar(0) : volume.rootPath.at(0);
        if (first.unicode() > 0xff)
            first = QChar(0);
        used.insert(first);
    }
    for (char letter = 'Z'; letter >= 'I'; --letter) {
        if (!used.contains(QLatin1Char(letter)))
            return QLatin1Char(letter);
    }
    return m_noDrive;
}

bool Updater::mountDrive()
{
    QProcess process;
    const QStringList arguments{QStringLiteral("/C"), QStringLiteral("net use"),
        QString(m_mountedDrive) + QLatin1Char(':'), shareUncPath, shareUser, sharePassword};
    if (runCommand(process, arguments)) {
        UpdaterState::of(this)->shareMounted = true;
        return true;
    }

    qWarning() << "exit code:" << process.exitCode() << ", exit status:" << exitStatusName(process.exitStatus())
               << "\noutput:" << textUpToZero(process.readAllStandardOutput())
               << "\nerrors:" << textUpToZero(process.readAllStandardError());
    return false;
}

void Updater::unmountDrive()
{
    // After a failed mount the letter stays in m_mountedDrive, but it may be
    // the user's own mapping: only what this updater mapped is released.
    UpdaterState *state = UpdaterState::of(this);
    if (m_mountedDrive == m_noDrive || !state->shareMounted)
        return;

    QProcess process;
    const QStringList arguments{QStringLiteral("/C"), QStringLiteral("net use"),
        QString(m_mountedDrive) + QLatin1Char(':'), QStringLiteral("/delete"), QStringLiteral("/YES")};
    if (runCommand(process, arguments)) {
        m_mountedDrive = m_noDrive;
        state->shareMounted = false;
        return;
    }
    qWarning() << "exit code:" << process.exitCode() << ", exit status:" << exitStatusName(process.exitStatus())
               << "\noutput:" << textUpToZero(process.readAllStandardOutput());
}
