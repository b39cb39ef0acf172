#include "sftpupdatefixture.h"
#include "updater.h"
#include "updater_p.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace updatertest;

// Faults of the update server that the SFTP source tests do not cover: a
// server that stops answering, an oversized version file and a host key that
// changes between the check and the fetch.
class UpdaterTest : public QObject, public SftpUpdateFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void silentServer_data();
    void silentServer();
    void hugeVersionFile_data();
    void hugeVersionFile();
    void hostKeyChangesBeforeFetch();
    void linkPlantedAsVersionFile_data();
    void linkPlantedAsVersionFile();

private:
    bool startServer(QString const &hostKey);
    bool writeVersionFile(int padTo = 0) const;
    void checkRecovers(Updater &updater);

    QString m_hostKey;
};

bool UpdaterTest::startServer(QString const &hostKey)
{
    if (!SftpUpdateFixture::startServer(defaultAccounts, hostKey))
        return false;
    m_hostKey = hostKey;
    return true;
}

bool UpdaterTest::writeVersionFile(int padTo) const
{
    const QByteArray text = QJsonDocument(QJsonObject{{QStringLiteral("archx86"), offer()}}).toJson();
    if (!writeFile(versionFilePath(), text))
        return false;
    // Blanks after the document; a sparse tail is quick to make and to serve.
    return padTo <= text.size() || QFile::resize(versionFilePath(), padTo);
}

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    makeServerFiles();

    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
    updater_limits::setTransferTimeout(1000);
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QVERIFY(startServer(m_work.filePath(QStringLiteral("host_key"))));
}

void UpdaterTest::init()
{
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QVERIFY(writeVersionFile());
    resetForTest();
}

void UpdaterTest::cleanup()
{
    m_tmp.reset();
}

void UpdaterTest::cleanupTestCase()
{
    updater_limits::setTransferTimeout(0);
    m_server.stop();
}

// After a fault the same updater checks, fetches and starts the program.
void UpdaterTest::checkRecovers(Updater &updater)
{
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QVERIFY(writeVersionFile());
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    const QMetaObject::Connection run
        = connect(&updater, &Updater::setupFileDownloaded, &updater, &Updater::runSetupFile);
    updater.setAvailableServers(Environment::MODE_SERVER_UPDATES);
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), 1);
    updater.updateApp();
    disconnect(run);
    QCOMPARE(errorSpy.count(), 0);
    QCOMPARE(closeSpy.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_argsFile), 15000);
}

void UpdaterTest::silentServer_data()
{
    midTransferRows("stallAfter");
}

// The watchdog ends a transfer that stays silent; the host is told, and
// nothing of the transfer is left.
void UpdaterTest::silentServer()
{
    QFETCH(int, versionFileSize);
    QFETCH(int, stallAfter);
    QFETCH(bool, duringCheck);

    QVERIFY(writeVersionFile(versionFileSize));
    QVERIFY(SftpServerProcess::writeControl(m_control, {{QStringLiteral("stall_after"), stallAfter}}));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    updater.checkForUpdates(false);

    const QString silent = QStringLiteral("Error while reading file: the server did not answer for 1 seconds");
    if (duringCheck) {
        QCOMPARE(questionSpy.count(), 0);
        QCOMPARE(updater.m_errors, QStringList(silent));
        QCOMPARE(statusSpy.count(), 1);
        QCOMPARE(statusSpy.at(0).at(0).value<ProgressInitValues>().text(), QStringLiteral("Warning: ") + silent);
        QCOMPARE(tempEntries(), QStringList());
    } else {
        QCOMPARE(questionSpy.count(), 1);
        updater.updateApp();
        QCOMPARE(errorSpy.count(), 1);
        QCOMPARE(errorSpy.at(0).at(0).toString(), silent + QStringLiteral("\nFailed to update application"));
        QCOMPARE(tempEntries(), QStringList(QStringLiteral("vsver.json")));
        updater.runSetupFile();
        QCOMPARE(errorSpy.count(), 2);
    }
    QCOMPARE(closeSpy.count(), 0);
    QVERIFY(!QFileInfo::exists(m_argsFile));
    checkRecovers(updater);
}

void UpdaterTest::hugeVersionFile_data()
{
    QTest::addColumn<int>("size"); // of the version file; 0: as written
    QTest::addColumn<bool>("endless"); // the server sends blanks past its end
    QTest::addColumn<QString>("error"); // %1: the stated size

    QTest::newRow("100 MiB stated: refused before it is read")
        << 100 * 1024 * 1024 << false << QStringLiteral("Version file is too large: %1 bytes (at most 1048576)");
    QTest::newRow("small size stated, data without end: stops past 1 MiB")
        << 0 << true << QStringLiteral("Remote file is too large: more than 1048576 bytes received, %1 bytes stated");
}

void UpdaterTest::hugeVersionFile()
{
    QFETCH(int, size);
    QFETCH(bool, endless);
    QFETCH(QString, error);

    QVERIFY(writeVersionFile(size));
    QVERIFY(SftpServerProcess::writeControl(m_control, {{QStringLiteral("endless"), endless}}));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    QElapsedTimer timer;
    timer.start();
    updater.checkForUpdates(false);
    qDebug("the check ended after %lld ms", timer.elapsed());

    error = error.arg(QFileInfo(versionFilePath()).size());
    QCOMPARE(questionSpy.count(), 0);
    QCOMPARE(updater.m_errors, QStringList(error));
    QCOMPARE(statusSpy.count(), 1);
    QCOMPARE(statusSpy.at(0).at(0).value<ProgressInitValues>().text(), QStringLiteral("Warning: ") + error);
    QCOMPARE(tempEntries(), QStringList());
    checkRecovers(updater);
}

// libssh refuses a server whose key differs from the recorded one; the fetch
// fails, writes nothing, and the updater works again with the known key.
void UpdaterTest::hostKeyChangesBeforeFetch()
{
    const QString knownKey = m_hostKey;
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), 1);

    QVERIFY(startServer(m_work.filePath(QStringLiteral("other_host_key"))));
    updater.updateApp();
    QCOMPARE(errorSpy.count(), 1);
    const QString shown = errorSpy.at(0).at(0).toString();
    QVERIFY2(shown.endsWith(QStringLiteral("\nFailed to update application")), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("changed"), Qt::CaseInsensitive), qPrintable(shown));
    QCOMPARE(tempEntries(), QStringList(QStringLiteral("vsver.json")));
    updater.runSetupFile();
    QCOMPARE(closeSpy.count(), 0);
    QVERIFY(!QFileInfo::exists(m_argsFile));

    // A check against the changed key fails the same way.
    updater.setAvailableServers(Environment::MODE_SERVER_UPDATES);
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), 1);
    QCOMPARE(updater.m_errors.size(), 1);

    QVERIFY(startServer(knownKey));
    checkRecovers(updater);
}

void UpdaterTest::linkPlantedAsVersionFile_data()
{
    QTest::addColumn<bool>("inOwnFolder");

    QTest::newRow("in a vsupd open to all, after the updater was made") << false;
    QTest::newRow("in the updater's own folder") << true;
}

// A link planted where the version file is stored never has its target
// overwritten with the server's reply.
void UpdaterTest::linkPlantedAsVersionFile()
{
    QFETCH(bool, inOwnFolder);

    const QString victim = m_work.filePath(QStringLiteral("victim.txt"));
    QVERIFY(writeFile(victim, "the user's own file"));
    if (!inOwnFolder) {
        QVERIFY(QDir().mkdir(tempFolder()));
        QVERIFY(QFile::setPermissions(tempFolder(), QFile::Permissions(0x7777)));
    }
    Updater updater(Environment::MODE_SERVER_UPDATES);
    const QString folder = inOwnFolder ? updater.m_tempPath : tempFolder();
    QVERIFY(QDir().mkpath(folder));
    QFile::remove(folder + QStringLiteral("vsver.json"));
    QVERIFY(QFile::link(victim, folder + QStringLiteral("vsver.json")));

    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), 1);
    QFile file(victim);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("the user's own file"));
}

QTEST_MAIN(UpdaterTest)
#include "tst_faults_sftp.moc"
