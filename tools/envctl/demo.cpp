#include "demo.h"

#include "commands.h"
#include "terminal.h"
#include "updatesession.h"

#include <commonfunc.h>
#include <environment.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

namespace envctl
{
namespace
{

// A stand-in setup program: it records the command line it was given and
// what a real one would install, then ends.
QByteArray setupProgramScript(QString const &reportPath, QString const &version)
{
    QString script = QStringLiteral(R"(#!/bin/sh
# Demo setup program of envctl: records what it was asked to do.
report='@REPORT@'
{
    echo "demo setup program for VARDO @VERSION@"
    echo "started as: $0"
    echo "arguments ($#):"
    for arg in "$@"; do echo "  [$arg]"; done
    for arg in "$@"; do
        case "$arg" in
            instPath=*) echo "would install VARDO @VERSION@ into: ${arg#instPath=}" ;;
        esac
    done
} > "$report.part"
mv "$report.part" "$report"
)");
    script.replace(QStringLiteral("@REPORT@"), reportPath).replace(QStringLiteral("@VERSION@"), version);
    return script.toUtf8();
}

bool writeExecutable(QString const &path, QByteArray const &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return file.setPermissions(
        file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

bool writeText(QString const &path, QByteArray const &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Waits for the detached setup program's report; the updater's temporary
// folder must outlive the program started from it.
void showReport(Terminal &terminal, QString const &reportPath)
{
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(reportPath) && waited.elapsed() < 15000)
        QThread::msleep(50);
    QFile report(reportPath);
    if (!report.open(QIODevice::ReadOnly)) {
        terminal.err(QStringLiteral("The demo setup program left no report in %1.").arg(reportPath));
        return;
    }
    terminal.out(QStringLiteral("---- what the setup program was given ----"));
    terminal.out(QString::fromUtf8(report.readAll()).trimmed());
    terminal.out(QStringLiteral("------------------------------------------"));
}

struct Offer {
    AppVersion version;
    QString fileName;
};

// A version newer than the running one in the updater's sense: a release
// candidate for the folder modes, a final release for the server mode.
Offer makeOffer(bool finalRelease)
{
    const AppVersion running = Environment::instance()->getAppVersion();
    AppVersion offered;
    offered.setVersion(qMax(running.m_major, 0), qMax(running.m_minor, 0) + 1, 0, finalRelease ? 0 : 1);
    return {offered, QStringLiteral("VardoStudioSetup_%1.exe").arg(offered.jsonString())};
}

int runFolderDemo(Terminal &terminal, QTemporaryDir const &root)
{
    Environment *env = Environment::instance();
    const Offer offer = makeOffer(false);
    const QString updateDir = root.filePath(QStringLiteral("update folder"));
    const QString reportPath = root.filePath(QStringLiteral("setup-report.txt"));
    const QString setupPath = updateDir + QLatin1Char('/') + offer.fileName;
    if (!QDir().mkpath(updateDir)
        || !writeExecutable(setupPath, setupProgramScript(reportPath, offer.version.toString()))
        || !writeText(setupPath + QStringLiteral(".md5"), CommonFunc::calculateMd5Sum(setupPath).toLatin1() + '\n')) {
        terminal.err(QStringLiteral("envctl: cannot make the demo update folder in %1").arg(root.path()));
        return ExitError;
    }

    terminal.out(QStringLiteral("Demo update folder: %1").arg(updateDir));
    terminal.out(QStringLiteral("  %1 (a demo setup program)").arg(offer.fileName));
    terminal.out(QStringLiteral("  %1.md5 (its MD5 sum)").arg(offer.fileName));
    terminal.out(QStringLiteral("Running version: %1; offered: %2")
                     .arg(env->getAppVersion().toString(), offer.version.toString()));

    // The folder reaches the updater through the setting, as in an application;
    // it is not written to the user's settings file.
    env->setSetting(UPDATES_LOCAL_DIR, updateDir);
    env->setAppMode(Environment::MODE_LOCAL_UPDATES);
    UpdateSession session(Environment::MODE_LOCAL_UPDATES, UpdateSession::Kind::Update, terminal);
    session.setNarrate(true);
    session.setAfterStart([&] { showReport(terminal, reportPath); });
    const int status = session.run(false);
    env->removeSetting(UPDATES_LOCAL_DIR);
    return status;
}

int runSftpDemo(Terminal &terminal, QTemporaryDir const &root)
{
    const QString server = QStringLiteral(ENVCTL_SOURCE_DIR "/tests/support/sftpserver.py");
    if (!QFile::exists(server) || !QFile::exists(QStringLiteral("/usr/bin/python3"))) {
        terminal.err(QStringLiteral("envctl: the test SFTP server is not available (%1)").arg(server));
        return ExitError;
    }
    const Offer offer = makeOffer(true);
    const QString serverRoot = root.filePath(QStringLiteral("server"));
    const QString versionDir = serverRoot + QStringLiteral(ENVCTL_UPDATE_VERSION_DIR);
    const QString setupDir = serverRoot + QStringLiteral("/setup");
    const QString reportPath = root.filePath(QStringLiteral("setup-report.txt"));
    const QString setupPath = setupDir + QLatin1Char('/') + offer.fileName;
    if (!QDir().mkpath(versionDir) || !QDir().mkpath(setupDir)
        || !writeExecutable(setupPath, setupProgramScript(reportPath, offer.version.toString()))) {
        terminal.err(QStringLiteral("envctl: cannot make the demo server folder in %1").arg(root.path()));
        return ExitError;
    }
    QJsonObject arch{{QStringLiteral("version"), offer.version.jsonString()},
        {QStringLiteral("dir"), QStringLiteral("/setup/")}, {QStringLiteral("file"), offer.fileName},
        {QStringLiteral("md5"), CommonFunc::calculateMd5Sum(setupPath)}};
    const QByteArray versionFile = QJsonDocument(QJsonObject{{QStringLiteral("archx86"), arch}}).toJson();
    if (!writeText(versionDir + QStringLiteral("/vsver.json"), versionFile)) {
        terminal.err(QStringLiteral("envctl: cannot write the demo version file"));
        return ExitError;
    }

    // The host key is kept between demo runs, so the known-hosts entry that the
    // first run records stays valid.
    const QString keyFile
        = QDir(Environment::instance()->getLogPath()).absoluteFilePath(QStringLiteral("../demo-sftp-host-key"));
    QProcess sftpServer;
    sftpServer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sftpServer.start(QStringLiteral("/usr/bin/python3"),
        {server, serverRoot, QStringLiteral("--port"), QString::number(ENVCTL_UPDATE_PORT),
            QStringLiteral("--host-key"), keyFile, QStringLiteral("--exit-on-stdin-eof"), QStringLiteral("--account"),
            QStringLiteral(ENVCTL_UPDATE_CHECK_USER ":" ENVCTL_UPDATE_CHECK_PASSWORD), QStringLiteral("--account"),
            QStringLiteral(ENVCTL_UPDATE_FETCH_USER ":" ENVCTL_UPDATE_FETCH_PASSWORD)});
    if (!sftpServer.waitForStarted(10000) || !sftpServer.waitForReadyRead(20000)) {
        terminal.err(QStringLiteral("envctl: the test SFTP server did not start (is python3-asyncssh installed?)"));
        return ExitError;
    }
    terminal.out(QStringLiteral("Demo SFTP server on 127.0.0.1:%1 serving %2").arg(ENVCTL_UPDATE_PORT).arg(serverRoot));
    terminal.out(QStringLiteral("  %1%2: %3")
                     .arg(QStringLiteral(ENVCTL_UPDATE_VERSION_DIR), QStringLiteral("/vsver.json"),
                         QString::fromUtf8(QJsonDocument(arch).toJson(QJsonDocument::Compact))));
    terminal.out(QStringLiteral("Running version: %1; offered: %2")
                     .arg(Environment::instance()->getAppVersion().toString(), offer.version.toString()));

    Environment::instance()->setAppMode(Environment::MODE_SERVER_UPDATES);
    int status;
    {
        UpdateSession session(Environment::MODE_SERVER_UPDATES, UpdateSession::Kind::Update, terminal);
        session.setNarrate(true);
        session.setAfterStart([&] { showReport(terminal, reportPath); });
        status = session.run(false);
    }
    sftpServer.terminate();
    if (!sftpServer.waitForFinished(5000))
        sftpServer.kill();
    return status;
}

} // namespace

int runDemo(Terminal &terminal, bool sftp)
{
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/envctl demo-XXXXXX"));
    if (!root.isValid()) {
        terminal.err(QStringLiteral("envctl: cannot make a temporary folder: %1").arg(root.errorString()));
        return ExitError;
    }
    // The demo answers every question with yes.
    Terminal demoTerminal(true);
    Q_UNUSED(terminal);
    const int status = sftp ? runSftpDemo(demoTerminal, root) : runFolderDemo(demoTerminal, root);
    demoTerminal.out(status == ExitOk ? QStringLiteral("Demo update cycle completed.")
                                      : QStringLiteral("Demo update cycle failed."));
    return status;
}

} // namespace envctl
