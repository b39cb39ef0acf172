#include "messagecapture.h"
#include "sftpupdatefixture.h"
#include "stderrtofile.h"
#include "updater.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>

using namespace updatertest;

// The SFTP source through the Updater, against the real test server on the
// build-time update port, the way a host drives it.
class UpdaterTest : public QObject, public SftpUpdateFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void check_data();
    void check();
    void hostileFileName_data();
    void hostileFileName();
    void download_data();
    void download();
    void droppedConnection_data();
    void droppedConnection();
    void wrongPassword();

private:
    bool startServer(QStringList const &accounts);
    bool writeVersionFile(QByteArray const &content) const { return writeFile(versionFilePath(), content); }

    static QByteArray json(QJsonObject const &root, int padTo = 0);

    QStringList m_accounts;
};

QByteArray UpdaterTest::json(QJsonObject const &root, int padTo)
{
    QByteArray text = QJsonDocument(root).toJson();
    // Blanks after the document keep it valid JSON of the wanted size.
    if (padTo > text.size())
        text.append(QByteArray(padTo - text.size(), ' '));
    return text;
}

bool UpdaterTest::startServer(QStringList const &accounts)
{
    if (accounts == m_accounts)
        return true;
    m_accounts.clear();
    if (!SftpUpdateFixture::startServer(accounts, m_work.filePath(QStringLiteral("host_key"))))
        return false;
    m_accounts = accounts;
    return true;
}

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    makeServerFiles();
    // Where a name that climbs out of the setup folder leads on the server.
    QVERIFY(writeFile(m_root + QStringLiteral("/evil.exe"), "evil"));

    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
}

void UpdaterTest::init()
{
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QVERIFY(startServer(defaultAccounts));
    QVERIFY(writeVersionFile(json({{QStringLiteral("archx86"), offer()}})));
    resetForTest();
}

void UpdaterTest::cleanup()
{
    m_tmp.reset();
}

void UpdaterTest::cleanupTestCase()
{
    m_server.stop();
}

void UpdaterTest::check_data()
{
    QTest::addColumn<QByteArray>("versionFile");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("fragment"); // length of the logged part of a file that is not JSON; -1: none

    const QStringList incorrect(QStringLiteral("Incorrect data in version file."));
    const QString tooLarge = QStringLiteral("Version file is too large: 1048577 bytes (at most 1048576)");
    const QByteArray newer = json({{QStringLiteral("archx86"), offer()}});
    QTest::newRow("newer final release is offered") << newer << true << QStringList() << -1;
    QTest::newRow("same version is not offered")
        << json({{QStringLiteral("archx86"), offer(QStringLiteral("2.1.0.0"))}}) << false << QStringList() << -1;
    QTest::newRow("release candidate is not offered in release mode")
        << json({{QStringLiteral("archx86"), offer(QStringLiteral("2.2.0.1"))}}) << false << QStringList() << -1;
    QTest::newRow("without archx86") << json({{QStringLiteral("archx64"), offer()}}) << false << incorrect << -1;
    QTest::newRow("archx86 without version")
        << json({{QStringLiteral("archx86"), QJsonObject{{QStringLiteral("file"), setupName}}}}) << false
        << QStringList() << -1;
    const QByteArray notJson = "{\"archx86\": {\"version\": 2.1.1.0}}";
    QTest::newRow("not JSON: a warning, and the log tells why") << notJson << false << incorrect << notJson.size();
    QTest::newRow("not JSON, error far into the file")
        << "{\"pad\": \"" + QByteArray(300, 'a') + "\", " + notJson.mid(1) + QByteArray(300, ' ') << false << incorrect
        << 120;
    QTest::newRow("text ends at the first zero byte") << newer + '\0' + "not JSON" << true << QStringList() << -1;
    QTest::newRow("version file of exactly 1 MiB is read")
        << json({{QStringLiteral("archx86"), offer()}}, 1048576) << true << QStringList() << -1;
    QTest::newRow("version file over 1 MiB is refused")
        << json({{QStringLiteral("archx86"), offer()}}, 1048577) << false << QStringList(tooLarge) << -1;
}

void UpdaterTest::check()
{
    QFETCH(QByteArray, versionFile);
    QFETCH(bool, offered);
    QFETCH(QStringList, errors);
    QFETCH(int, fragment);

    QVERIFY(writeVersionFile(versionFile));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    QSignalSpy endSpy(&updater, &Updater::checkForUpdatesEnded);
    MessageCapture log;
    const QString stderrFile = m_work.filePath(QStringLiteral("stderr.txt"));
    {
        StderrToFile toFile(stderrFile);
        updater.checkForUpdates(false);
    }

    // libssh's own log goes into the library's, not to the terminal.
    QFile stderrText(stderrFile);
    QVERIFY(stderrText.open(QIODevice::ReadOnly));
    QCOMPARE(stderrText.readAll(), QByteArray());
    QVERIFY(log.contains(QtInfoMsg, QStringLiteral("libssh: ")));
    QCOMPARE(endSpy.count(), 1);
    QCOMPARE(questionSpy.count(), offered ? 1 : 0);
    QCOMPARE(updater.m_errors, errors);
    // The log tells what is wrong with a file that is not JSON: the parser's
    // message and the part of the file around the error.
    const QString parseLine = log.entry(QtCriticalMsg, QStringLiteral("Blad parsowania: ")).message;
    QCOMPARE(parseLine.isEmpty(), fragment < 0);
    if (fragment >= 0) {
        const QString part = parseLine.section(QStringLiteral("\nFragment pliku:\n"), 1);
        QCOMPARE(part.size(), fragment);
        QVERIFY(QString::fromUtf8(versionFile).contains(part));
        QVERIFY2(part.contains(QStringLiteral("2.1.1.0")), "the part around the error");
    }
    // The SFTP source never sets m_versionChecked: a warning line or nothing.
    QCOMPARE(statusSpy.count(), errors.isEmpty() ? 0 : 1);
    if (!errors.isEmpty()) {
        const ProgressInitValues line = statusSpy.at(0).at(0).value<ProgressInitValues>();
        QCOMPARE(line.text(), QStringLiteral("Warning: ") + errors.first());
    }
    QCOMPARE(updater.m_setupLocation, offered ? QStringLiteral("/setup/") + setupName : QString());
    QCOMPARE(updater.m_setupFileName, offered ? setupName : QString());
    // A refused version file is not kept.
    QCOMPARE(tempEntries().contains(QStringLiteral("vsver.json")),
        errors.isEmpty() || !errors.first().startsWith(QLatin1String("Version file is too large")));
}

void UpdaterTest::hostileFileName_data()
{
    QTest::addColumn<QString>("file");

    QTest::newRow("climbs out") << "../../evil.exe";
    QTest::newRow("climbs out after the prefix") << "VardoStudioSetup_1.exe/../../../evil.exe";
    QTest::newRow("backslashes") << "VardoStudioSetup_..\\..\\evil.exe";
    QTest::newRow("drive letter") << "C:evil.exe";
    QTest::newRow("colon after the prefix") << "VardoStudioSetup_C:evil.exe";
    QTest::newRow("control character") << "VardoStudioSetup_2.1.1.0\t.exe";
    QTest::newRow("empty") << "";
    QTest::newRow("over 255 bytes") << "VardoStudioSetup_" + QString(240, QLatin1Char('1')) + ".exe";
    QTest::newRow("without the prefix") << "evil.exe";
    QTest::newRow("not a program") << "VardoStudioSetup_2.1.1.0.exe.txt";
}

// A name from the server that is not a plain setup program name fails the
// check, and a host that asks for the download anyway gets nothing written.
void UpdaterTest::hostileFileName()
{
    QFETCH(QString, file);

    QJsonObject arch = offer();
    arch.insert(QStringLiteral("file"), file);
    QVERIFY(writeVersionFile(json({{QStringLiteral("archx86"), arch}})));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    updater.checkForUpdates(false);

    QCOMPARE(questionSpy.count(), 0);
    const QString error = QStringLiteral("Incorrect setup file name in version file: ") + file;
    QCOMPARE(updater.m_errors, QStringList(error));
    QCOMPARE(statusSpy.count(), 1);
    QCOMPARE(statusSpy.at(0).at(0).value<ProgressInitValues>().text(), QStringLiteral("Warning: ") + error);
    QVERIFY(updater.m_setupFileName.isEmpty());

    updater.updateApp();
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(errorSpy.at(0).at(0).toString().endsWith(QStringLiteral("\nFailed to update application")));
    QCOMPARE(tempEntries(), QStringList(QStringLiteral("vsver.json")));
    if (!file.isEmpty())
        QVERIFY(!QFileInfo::exists(tempFolder() + file));
    QVERIFY(!QFileInfo::exists(QDir::tempPath() + QStringLiteral("/../evil.exe")));
}

void UpdaterTest::download_data()
{
    QTest::addColumn<QString>("md5"); // "" takes the file's own
    QTest::addColumn<bool>("installed");

    QTest::newRow("matching MD5 text is installed") << QString() << true;
    QTest::newRow("MD5 text in capitals is refused") << md5Of(m_setupPath).toUpper() << false;
    QTest::newRow("other MD5 text is refused") << QStringLiteral("0123456789abcdef0123456789abcdef") << false;
}

void UpdaterTest::download()
{
    QFETCH(QString, md5);
    QFETCH(bool, installed);

    QJsonObject arch = offer();
    if (!md5.isEmpty())
        arch.insert(QStringLiteral("md5"), md5);
    QVERIFY(writeVersionFile(json({{QStringLiteral("archx86"), arch}})));

    Updater updater(Environment::MODE_SERVER_UPDATES);
    connect(&updater, &Updater::installQuestion, &updater, [&] { updater.prepareToUpdateApp(7); });
    connect(&updater, &Updater::setupFileDownloaded, &updater, [&] { updater.runSetupFile(); });
    QSignalSpy progressSpy(&updater, &Updater::progressInfo);
    QSignalSpy downloadedSpy(&updater, &Updater::setupFileDownloaded);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy removeSpy(&updater, &Updater::removeProgressBar);

    updater.checkForUpdates(false);
    QVERIFY(updater.isNewVersion());
    QTRY_VERIFY_WITH_TIMEOUT(closeSpy.count() + errorSpy.count() > 0, 60000);
    QCOMPARE(removeSpy.last().at(0).toInt(), 7);

    QList<int> values;
    for (QList<QVariant> const &args : progressSpy) {
        if (args.at(0).toInt() != 7)
            continue;
        values << args.at(1).toInt();
        QVERIFY2(args.at(2).toString().startsWith(QStringLiteral("Downloading ") + setupName + QStringLiteral(": ")),
            qPrintable(args.at(2).toString()));
    }
    QVERIFY2(values.size() >= 4, "one progress line per chunk");
    QVERIFY(std::is_sorted(values.begin(), values.end()));
    QCOMPARE(values.last(), 100);

    if (!installed) {
        QCOMPARE(downloadedSpy.count(), 0);
        QCOMPARE(errorSpy.count(), 1);
        QCOMPARE(errorSpy.at(0).at(0).toString(), QStringLiteral("MD5 sum error!\nFailed to update application"));
        QCOMPARE(errorSpy.at(0).at(1).toString(), QStringLiteral("Version update"));
        // Nothing a later runSetupFile could start.
        QVERIFY(!QFileInfo::exists(tempFolder() + setupName));
        updater.runSetupFile();
        QCOMPARE(errorSpy.count(), 2);
        QCOMPARE(errorSpy.at(1).at(0).toString(), QStringLiteral("Unable to find downloaded setup file"));
        return;
    }

    QCOMPARE(errorSpy.count(), 0);
    QCOMPARE(downloadedSpy.count(), 1);
    QCOMPARE(closeSpy.count(), 1);
    QCOMPARE(md5Of(tempFolder() + setupName), md5Of(m_setupPath));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_argsFile), 15000);
    QFile args(m_argsFile);
    QVERIFY(args.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList items = QString::fromUtf8(args.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(items.size(), 4);
    QCOMPARE(QFileInfo(items.at(0)).canonicalFilePath(), QFileInfo(tempFolder() + setupName).canonicalFilePath());
    QCOMPARE(items.mid(1, 2), (QStringList{QStringLiteral("upd=true"), QStringLiteral("runAfterInst=true")}));
    QCOMPARE(items.at(3), QStringLiteral("instPath=") + QCoreApplication::applicationDirPath());
}

void UpdaterTest::droppedConnection_data()
{
    midTransferRows("dropAfter");
}

// A connection lost mid-transfer leaves a clear error and no partial file, and
// the next check and download go through.
void UpdaterTest::droppedConnection()
{
    QFETCH(int, versionFileSize);
    QFETCH(int, dropAfter);
    QFETCH(bool, duringCheck);

    QVERIFY(writeVersionFile(json({{QStringLiteral("archx86"), offer()}}, versionFileSize)));
    QVERIFY(SftpServerProcess::writeControl(m_control, {{QStringLiteral("drop_after"), dropAfter}}));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy downloadedSpy(&updater, &Updater::setupFileDownloaded);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);

    updater.checkForUpdates(false);
    if (duringCheck) {
        QCOMPARE(questionSpy.count(), 0);
        QCOMPARE(updater.m_errors.size(), 1);
        QVERIFY2(updater.m_errors.first().startsWith(QStringLiteral("Error while reading file: ")),
            qPrintable(updater.m_errors.first()));
        QCOMPARE(tempEntries(), QStringList());
    } else {
        QCOMPARE(questionSpy.count(), 1);
        updater.updateApp();
        QCOMPARE(downloadedSpy.count(), 0);
        QCOMPARE(errorSpy.count(), 1);
        const QStringList lines = errorSpy.at(0).at(0).toString().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.first().startsWith(QStringLiteral("Error while reading file: ")), qPrintable(lines.first()));
        QCOMPARE(tempEntries(), QStringList(QStringLiteral("vsver.json")));
    }

    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    updater.setAvailableServers(Environment::MODE_SERVER_UPDATES);
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), duringCheck ? 1 : 2);
    updater.updateApp();
    QCOMPARE(downloadedSpy.count(), 1);
    QCOMPARE(errorSpy.count(), duringCheck ? 0 : 1);
    QCOMPARE(md5Of(tempFolder() + setupName), md5Of(m_setupPath));
}

void UpdaterTest::wrongPassword()
{
    QVERIFY(
        startServer({QStringLiteral(ENV_TEST_CHECK_USER ":not-the-password"), QStringLiteral(ENV_TEST_FETCH_ACCOUNT)}));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    updater.checkForUpdates(false);

    QCOMPARE(updater.m_errors.size(), 1);
    QCOMPARE(statusSpy.count(), 1);
    const QString line = statusSpy.at(0).at(0).value<ProgressInitValues>().text();
    QVERIFY2(line.startsWith(QStringLiteral("Warning: Error authenticating with password: ")), qPrintable(line));
    QCOMPARE(tempEntries(), QStringList());
}

QTEST_MAIN(UpdaterTest)
#include "tst_updater_sftp.moc"
