#include "share_p.h"

#include <QMetaEnum>
#include <QSet>

namespace share
{

namespace
{

// The share and its account.
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

QString driveName(QChar drive)
{
    return QString(drive) + QLatin1Char(':');
}

} // namespace

QStringList mountArguments(QChar drive)
{
    return QStringList{
        QStringLiteral("/C"), QStringLiteral("net use"), driveName(drive), shareUncPath, shareUser, sharePassword};
}

QStringList unmountArguments(QChar drive)
{
    return QStringList{QStringLiteral("/C"), QStringLiteral("net use"), driveName(drive), QStringLiteral("/delete"),
        QStringLiteral("/YES")};
}

QChar freeDriveLetter(QList<volumes::Volume> const &mounted, QChar none)
{
    QSet<QChar> used;
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
    return none;
}

QString folderOn(QChar drive)
{
    return QString(drive) + QStringLiteral(":/inst");
}

QString mappedFolder(QList<volumes::Volume> const &mounted)
{
    for (volumes::Volume const &volume : mounted) {
        if (volume.valid && volume.ready && volume.name.toUpper().contains(volumeMarker))
            return volume.rootPath + QStringLiteral("inst");
    }
    return QString();
}

Outcome run(QStringList const &arguments)
{
    // A program that never started leaves exitCode() at 0, so the exit code
    // alone would report a failure as success.
    Outcome outcome;
    QProcess process;
    process.start(QStringLiteral("cmd.exe"), arguments, QIODevice::ReadWrite);
    if (!process.waitForFinished(netUseTimeout)) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(netUseTimeout);
        }
    } else {
        outcome.status
            = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? Status::Done : Status::Failed;
    }
    outcome.exitCode = process.exitCode();
    outcome.exitStatus = process.exitStatus();
    outcome.output = textUpToZero(process.readAllStandardOutput());
    outcome.errors = textUpToZero(process.readAllStandardError());
    return outcome;
}

char const *exitStatusName(QProcess::ExitStatus status)
{
    return QMetaEnum::fromType<QProcess::ExitStatus>().valueToKey(status);
}

} // namespace share
