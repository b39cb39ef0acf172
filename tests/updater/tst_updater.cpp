#include "updater.h"
#include "updater_p.h"
#include "updatertestsupport.h"

#include <QCoreApplication>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace updatertest;

class UpdaterTest : public QObject, public WorkFolders
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void signalsAndSlotsKeepTheirIndexes();
    void sourcesPerMode_data();
    void sourcesPerMode();
    void nextFileServerStopsAtNewVersion();
    void isNewVersion_data();
    void isNewVersion();
    void downloadLastReleaseVersionIgnoresRunningVersion();
    void checkStatusLines_data();
    void checkStatusLines();
    void secondCheckWithoutSourceList();
    void showErrors_data();
    void showErrors();
    void onDownloadProgress_data();
    void onDownloadProgress();
    void checkInstallationFiles_data();
    void checkInstallationFiles();
    void wholeUpdateCycle_data();
    void wholeUpdateCycle();
    void secondDownloadRemovesFirst();
    void installationFailures_data();
    void installationFailures();
    void tempFolderNotOwn_data();
    void tempFolderNotOwn();
    void checkWithoutTempFolderDownloadsNothing();

private:
    static QStringList linesOf(QString const &path);
    static bool writeDeadLock(QString const &path);

    std::unique_ptr<QTemporaryDir> m_shared; // a temporary folder shared by all users
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void UpdaterTest::init()
{
    QVERIFY(makeWorkFolders(true));
    Environment::instance()->setSetting(APP_MODE, int(Environment::MODE_LOCAL_UPDATES));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
}

void UpdaterTest::cleanup()
{
    updater_clock::setClock(updater_clock::Clock());
    Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
    removeWorkFolders();
    m_shared.reset();
}

QStringList UpdaterTest::linesOf(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringList();
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Hosts built against the library reach signals and slots by index through
// the meta-object: reordering the declarations breaks them silently.
void UpdaterTest::signalsAndSlotsKeepTheirIndexes()
{
    const char *const expected[]
        = {"installQuestion", "newVersionIsAvailable", "checkForUpdatesEnded", "setupFileDownloaded",
            "closeApplication", "removeProgressBar", "errorsOccured", "progressInfo", "progressStatusInfo", "updateApp",
            "prepareToUpdateApp", "vardoStudioSetupDownloaded", "vardoStudioSetupRedirected", "onDownloadProgress",
            "prepareInstallationQuestion", "showErrors", "showNetworkError", "sftpErrors", "sendUpdateError"};
    const QMetaObject &meta = Updater::staticMetaObject;
    QCOMPARE(meta.methodCount() - meta.methodOffset(), int(std::size(expected)));
    for (int i = 0; i < int(std::size(expected)); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.name(), QByteArray(expected[i]));
        QCOMPARE(method.methodType(), i < 9 ? QMetaMethod::Signal : QMetaMethod::Slot);
    }
}

void UpdaterTest::sourcesPerMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QVector<int>>("servers");
    QTest::addColumn<int>("progress");

    QTest::newRow("server mode asks the SFTP source")
        << int(Environment::MODE_SERVER_UPDATES) << QVector<int>{Updater::FILE_SERVER_SFTP} << 50;
    QTest::newRow("local mode asks the folder")
        << int(Environment::MODE_LOCAL_UPDATES) << QVector<int>{Updater::FILE_SERVER_LOCAL_DIR} << 50;
    QTest::newRow("alternative local mode asks the folder")
        << int(Environment::MODE_LOCAL_UPDATES_ALT) << QVector<int>{Updater::FILE_SERVER_LOCAL_DIR} << 50;
    QTest::newRow("default mode asks nothing") << int(Environment::MODE_DEFAULT) << QVector<int>() << -1;
    QTest::newRow("local config mode asks nothing") << int(Environment::MODE_LOCAL_CONFIG) << QVector<int>() << -1;
}

void UpdaterTest::sourcesPerMode()
{
    QFETCH(int, mode);
    QFETCH(QVector<int>, servers);
    QFETCH(int, progress);

    Updater updater(static_cast<Environment::AppMode>(mode));
    QCOMPARE(updater.m_fileServers, servers);
    QCOMPARE(updater.m_fileServerCount, servers.size() + 1);
    QCOMPARE(updater.m_releaseMode, mode == Environment::MODE_SERVER_UPDATES);

    Recorder said(&updater);
    updater.setProgressBarId(4);
    QCOMPARE(updater.nextFileServer(), !servers.isEmpty());
    if (servers.isEmpty()) {
        QCOMPARE(said.progress.count(), 0);
    } else {
        QCOMPARE(updater.getFileServer(), servers.first());
        QCOMPARE(said.progress.count(), 1);
        QCOMPARE(said.progress.at(0).at(0).toInt(), 4);
        QCOMPARE(said.progress.at(0).at(1).toInt(), progress);
        QCOMPARE(said.progress.at(0).at(2).toString(), QStringLiteral("Checking for updates..."));
    }
}

void UpdaterTest::nextFileServerStopsAtNewVersion()
{
    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.m_currentVersion.setVersion(2, 1, 0, 0);
    updater.m_newVersion.setVersion(2, 1, 0, 3);
    QVERIFY(!updater.nextFileServer());
    QCOMPARE(updater.m_fileServers.size(), 1);
}

void UpdaterTest::isNewVersion_data()
{
    QTest::addColumn<bool>("releaseMode");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<bool>("newer");

    QTest::newRow("release: next final patch") << true << "2.1.0.0"
                                               << "2.1.1.0" << true;
    QTest::newRow("release: candidate of a higher minor") << true << "2.1.0.0"
                                                          << "2.2.0.1" << false;
    QTest::newRow("release: same final") << true << "2.1.0.0"
                                         << "2.1.0.0" << false;
    QTest::newRow("release: the running rc plays no part") << true << "2.1.0.5"
                                                           << "2.1.0.0" << false;
    QTest::newRow("release: higher major beats lower minor") << true << "2.9.9.0"
                                                             << "3.0.0.0" << true;
    QTest::newRow("release: older final is not offered") << true << "2.1.1.0"
                                                         << "2.1.0.0" << false;
    QTest::newRow("release: unreadable running version") << true << "-1.-1.-1.-1"
                                                         << "0.0.1.0" << true;
    QTest::newRow("candidate: rc of the running final") << false << "2.1.0.0"
                                                        << "2.1.0.3" << true;
    QTest::newRow("candidate: final is not a candidate") << false << "2.1.0.0"
                                                         << "2.1.1.0" << false;
    QTest::newRow("candidate: same final") << false << "2.1.0.0"
                                           << "2.1.0.0" << false;
    QTest::newRow("candidate: next rc") << false << "2.1.0.3"
                                        << "2.1.0.4" << true;
    QTest::newRow("candidate: older rc is not offered") << false << "2.1.0.4"
                                                        << "2.1.0.3" << false;
    QTest::newRow("candidate: rc of an older release is not offered") << false << "2.1.1.0"
                                                                      << "2.1.0.9" << false;
    QTest::newRow("candidate: cleared offer") << false << "2.1.0.0"
                                              << "-1.-1.-1.-1" << false;
    QTest::newRow("release: cleared offer") << true << "2.1.0.0"
                                            << "-1.-1.-1.-1" << false;
}

void UpdaterTest::isNewVersion()
{
    QFETCH(bool, releaseMode);
    QFETCH(QString, current);
    QFETCH(QString, offered);
    QFETCH(bool, newer);

    Updater updater(Environment::MODE_DEFAULT);
    updater.m_releaseMode = releaseMode;
    updater.m_currentVersion = AppVersion(current);
    updater.m_newVersion = AppVersion(offered);
    QCOMPARE(updater.isNewVersion(), newer);
}

void UpdaterTest::downloadLastReleaseVersionIgnoresRunningVersion()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("3.0.0.5"));
    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.downloadLastReleaseVersion(true);
    QVERIFY(updater.m_releaseMode);
    QVERIFY(updater.m_keepAppMode);
    QCOMPARE(updater.getCurrentVersionString(), QStringLiteral("0.0.0"));
    // The SFTP source stands in for the server here; an offered 2.9.0 final
    // beats 0.0.0.0, and the question has no "Your version" line.
    updater.m_newVersion.setVersion(2, 9, 0, 0);
    QVERIFY(updater.isNewVersion());
    Recorder said(&updater);
    QMetaObject::invokeMethod(&updater, "prepareInstallationQuestion");
    QCOMPARE(said.question.at(0).at(0).toString(),
        QStringLiteral("New version is available: 2.9.0\n\nDo you want to download?"));
}

void UpdaterTest::checkStatusLines_data()
{
    QTest::addColumn<QString>("running");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("folderSet");
    QTest::addColumn<QString>("statusText");
    QTest::addColumn<QString>("question");

    const QStringList rc3{QStringLiteral("VardoStudioSetup_2.1.0.3.exe")};
    const QString offer = QStringLiteral("New version is available: 2.1.0 rc3\n");
    const QString ask = QStringLiteral("\nDo you want to download?");
    QTest::newRow("newer version asks, with the running version")
        << "2.1.0.0" << rc3 << true << QString() << offer + "Your version: 2.1.0\n" + ask;
    QTest::newRow("minor alone is enough for the version line")
        << "0.9.0.0" << rc3 << true << QString() << offer + "Your version: 0.9.0\n" + ask;
    QTest::newRow("version 0.0 has no version line") << "0.0.7.0" << rc3 << true << QString() << offer + ask;
    QTest::newRow("nothing newer: latest version line")
        << "2.1.0.0" << QStringList{QStringLiteral("VardoStudioSetup_2.1.0.0.exe")} << true
        << QStringLiteral("You are using the latest version.") << QString();
    QTest::newRow("empty folder still counts as checked")
        << "2.1.0.0" << QStringList() << true << QStringLiteral("You are using the latest version.") << QString();
    QTest::newRow("no folder setting: no line") << "2.1.0.0" << QStringList() << false << QString() << QString();
}

void UpdaterTest::checkStatusLines()
{
    QFETCH(QString, running);
    QFETCH(QStringList, files);
    QFETCH(bool, folderSet);
    QFETCH(QString, statusText);
    QFETCH(QString, question);

    QCoreApplication::setApplicationVersion(running);
    for (QString const &name : files)
        QVERIFY(addSetupProgram(updateFolder(), name, argsFile()));
    if (!folderSet)
        Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);

    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.setProgressBarId(3);
    Recorder said(&updater);
    updater.checkForUpdates(false);

    QList<int> values;
    for (QList<QVariant> const &args : said.progress)
        values << args.at(1).toInt();
    QCOMPARE(values, (QList<int>{0, 50, 100}));
    QCOMPARE(said.question.count(), question.isEmpty() ? 0 : 1);
    if (!question.isEmpty()) {
        QCOMPARE(said.question.at(0).at(0).toString(), question);
        // No download bar exists yet: the host is told to remove -1, which it ignores.
        QCOMPARE(said.remove.at(0).at(0).toInt(), -1);
    }
    QCOMPARE(said.status.count(), statusText.isEmpty() ? 0 : 1);
    if (!statusText.isEmpty()) {
        const ProgressInitValues piv = said.status.at(0).at(0).value<ProgressInitValues>();
        QCOMPARE(piv.text(), statusText);
        QCOMPARE(piv.styleSheet(), QStringLiteral("font: bold; color: green"));
        QCOMPARE(piv.title(), QString());
    }
    QCOMPARE(said.ended.count(), 1);
    QCOMPARE(said.remove.last().at(0).toInt(), 3);
}

void UpdaterTest::secondCheckWithoutSourceList()
{
    QVERIFY(addSetupProgram(updateFolder(), QStringLiteral("VardoStudioSetup_2.1.0.3.exe"), argsFile()));
    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.setProgressBarId(3);
    updater.checkForUpdates(false);

    Recorder said(&updater);
    updater.checkForUpdates(false);

    QCOMPARE(said.progress.count(), 1);
    QCOMPARE(said.progress.at(0).at(1).toInt(), 0);
    QCOMPARE(said.remove.count(), 1);
    QCOMPARE(said.remove.at(0).at(0).toInt(), 3);
    QCOMPARE(said.ended.count(), 1);
    QCOMPARE(said.question.count() + said.status.count() + said.errors.count(), 0);
}

void UpdaterTest::showErrors_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QStringList>("errors"); // empty with an error: a network error instead
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QString>("warningText");

    QTest::newRow("warning shows the first entry only") << false << QStringList{"a", "b"} << QString() << "Warning: a";
    QTest::newRow("error joins all entries") << true << QStringList{"a", "b"} << "a\nb" << QString();
    QTest::newRow("empty list, warning: nothing") << false << QStringList() << QString() << QString();
    QTest::newRow("empty list, error: nothing") << true << QStringList() << QString() << QString();
    QTest::newRow("network error: code and text")
        << true << QStringList() << "Network error:\n3 - no such host" << QString();
}

void UpdaterTest::showErrors()
{
    QFETCH(bool, error);
    QFETCH(QStringList, errors);
    QFETCH(QString, errorText);
    QFETCH(QString, warningText);

    Updater updater(Environment::MODE_DEFAULT);
    Recorder said(&updater);
    if (errorText.startsWith(QLatin1String("Network")))
        updater.showNetworkError(QNetworkReply::HostNotFoundError, QStringLiteral("no such host"));
    else
        QVERIFY(QMetaObject::invokeMethod(&updater, "showErrors", Q_ARG(bool, error), Q_ARG(QStringList, errors)));

    QCOMPARE(said.errors.count(), errorText.isEmpty() ? 0 : 1);
    if (!errorText.isEmpty())
        QCOMPARE(said.error(), errorText);
    QCOMPARE(said.status.count(), warningText.isEmpty() ? 0 : 1);
    if (!warningText.isEmpty()) {
        QCOMPARE(said.status.at(0).at(0).value<ProgressInitValues>().type(), ProgressInitValues::Warning);
        QCOMPARE(said.statusText(), warningText);
    }
}

void UpdaterTest::onDownloadProgress_data()
{
    QTest::addColumn<QTime>("start");
    QTest::addColumn<int>("elapsed");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");

    const QTime noon(12, 0);
    const QString setup = QStringLiteral("VardoStudioSetup_2.1.0.3.exe");
    QTest::newRow("1024 B/s is 1.0 kB/s")
        << noon << 1000 << qint64(1024) << qint64(4096) << QString() << 25 << "Downloading: 1.0 kB/s";
    QTest::newRow("1023 B/s stays in bytes")
        << noon << 1000 << qint64(1023) << qint64(1023) << QString() << 100 << "Downloading: 1023.0 bytes/sec";
    QTest::newRow("MB/s with the setup name") << noon << 2000 << qint64(3000000) << qint64(6000000) << setup << 50
                                              << "Downloading VardoStudioSetup_2.1.0.3.exe: 1.4 MB/s";
    QTest::newRow("1048576 B/s is 1.0 MB/s")
        << noon << 1000 << qint64(1048576) << qint64(0) << QString() << 0 << "Downloading: 1.0 MB/s";
    QTest::newRow("no time elapsed") << noon << 0 << qint64(500) << qint64(1000) << QString() << 50
                                     << "Downloading: 0.0 bytes/sec";
    QTest::newRow("never started") << QTime() << 1000 << qint64(500) << qint64(1000) << QString() << 50
                                   << "Downloading: 0.0 bytes/sec";
    QTest::newRow("total 0") << noon << 1000 << qint64(500) << qint64(0) << QString() << 0
                             << "Downloading: 500.0 bytes/sec";
    QTest::newRow("total -1") << noon << 1000 << qint64(500) << qint64(-1) << QString() << 0
                              << "Downloading: 500.0 bytes/sec";
    QTest::newRow("name only when it begins with Vardo")
        << noon << 1000 << qint64(10) << qint64(100) << "vardostudio.html" << 10 << "Downloading: 10.0 bytes/sec";
    QTest::newRow("over midnight") << QTime(23, 59, 59) << 2000 << qint64(2048) << qint64(4096) << QString() << 50
                                   << "Downloading: 1.0 kB/s";
    QTest::newRow("large file keeps 64-bit value") << noon << 1000 << qint64(3000000000LL) << qint64(6000000000LL)
                                                   << QString() << 50 << "Downloading: 2861.0 MB/s";
}

void UpdaterTest::onDownloadProgress()
{
    QFETCH(QTime, start);
    QFETCH(int, elapsed);
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(QString, fileName);
    QFETCH(int, value);
    QFETCH(QString, text);

    const QTime now = (start.isValid() ? start : QTime(12, 0)).addMSecs(elapsed);
    updater_clock::setClock([now] { return now; });

    Updater updater(Environment::MODE_DEFAULT);
    updater.m_downloadTime = start;
    updater.m_downloadProgressBarId = 9;
    updater.m_setupFileName = fileName;
    Recorder said(&updater);
    updater.onDownloadProgress(received, total);
    QCOMPARE(said.progress.count(), 1);
    QCOMPARE(said.progress.at(0), (QList<QVariant>{9, value, text}));
}

void UpdaterTest::checkInstallationFiles_data()
{
    QTest::addColumn<QStringList>("setups");
    QTest::addColumn<QStringList>("companions"); // name=content
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<QString>("version");

    QTest::newRow("first newer in name order without regard to case")
        << QStringList{"VardoStudioSetup_B_2.1.0.3.exe", "VardoStudioSetup_a_2.1.0.4.exe"}
        << QStringList{"VardoStudioSetup_B_2.1.0.3.exe.md5=bbb", "VardoStudioSetup_a_2.1.0.4.exe.md5=aaa"} << true
        << "VardoStudioSetup_a_2.1.0.4.exe"
        << "aaa"
        << "2.1.0 rc4";
    QTest::newRow("first newer wins over the newest")
        << QStringList{"VardoStudioSetup_2.1.0.3.exe", "VardoStudioSetup_2.1.0.4.exe"}
        << QStringList{"VardoStudioSetup_2.1.0.3.exe.md5=three", "VardoStudioSetup_2.1.0.4.exe.md5=four"} << true
        << "VardoStudioSetup_2.1.0.3.exe"
        << "three"
        << "2.1.0 rc3";
    QTest::newRow("companion in other letter case is not used")
        << QStringList{"VardoStudioSetup_2.1.0.3.exe"} << QStringList{"VardoStudioSetup_2.1.0.3.EXE.md5=abc"} << true
        << "VardoStudioSetup_2.1.0.3.exe" << QString() << "2.1.0 rc3";
    QTest::newRow("only the first line of the companion")
        << QStringList{"VardoStudioSetup_2.1.0.3.exe"} << QStringList{"VardoStudioSetup_2.1.0.3.exe.md5=abc\ndef\n"}
        << true << "VardoStudioSetup_2.1.0.3.exe"
        << "abc"
        << "2.1.0 rc3";
    QTest::newRow("none newer: fields describe the last")
        << QStringList{"VardoStudioSetup_2.0.0.1.exe", "VardoStudioSetup_2.1.0.0.exe"} << QStringList() << false
        << "VardoStudioSetup_2.1.0.0.exe" << QString() << "2.1.0";
    QTest::newRow("other programs are ignored")
        << QStringList{"OtherSetup_9.0.0.1.exe"} << QStringList() << false << QString() << QString() << "-1.-1.-1";
}

void UpdaterTest::checkInstallationFiles()
{
    QFETCH(QStringList, setups);
    QFETCH(QStringList, companions);
    QFETCH(bool, found);
    QFETCH(QString, fileName);
    QFETCH(QString, md5);
    QFETCH(QString, version);

    const QDir folder(updateFolder());
    for (QString const &name : setups)
        QVERIFY(writeSetupProgram(folder.filePath(name), argsFile()));
    for (QString const &companion : companions) {
        const int eq = companion.indexOf(QLatin1Char('='));
        QVERIFY(writeFile(folder.filePath(companion.left(eq)), companion.mid(eq + 1).toUtf8()));
    }

    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.m_currentVersion.setVersion(2, 1, 0, 0);
    QCOMPARE(updater.checkInstallationFiles(folder), found);
    QVERIFY(updater.m_versionChecked);
    QCOMPARE(updater.m_setupFileName, fileName);
    QCOMPARE(updater.m_setupMd5, md5);
    QCOMPARE(updater.getNewVersionString(), version);
    if (!fileName.isEmpty())
        QCOMPARE(updater.m_setupLocation, folder.absolutePath() + QLatin1Char('/') + fileName);
}

void UpdaterTest::wholeUpdateCycle_data()
{
    QTest::addColumn<QString>("setupName");
    QTest::addColumn<bool>("releaseMode");
    QTest::addColumn<bool>("keepAppMode");
    QTest::addColumn<bool>("appModeKept");

    QTest::newRow("candidate mode keeps APP_MODE") << "VardoStudioSetup_2.1.0.3.exe" << false << false << true;
    QTest::newRow("release mode removes APP_MODE") << "VardoStudioSetup_2.1.1.0.exe" << true << false << false;
    QTest::newRow("release mode asked to keep APP_MODE") << "VardoStudioSetup_2.1.1.0.exe" << true << true << true;
}

// The way a host drives an update: every step is an answer to a signal.
void UpdaterTest::wholeUpdateCycle()
{
    QFETCH(QString, setupName);
    QFETCH(bool, releaseMode);
    QFETCH(bool, keepAppMode);
    QFETCH(bool, appModeKept);

    const QString appDir = QCoreApplication::applicationDirPath();
    QVERIFY2(appDir.contains(QLatin1Char(' ')), "the test must run from a folder with a blank");
    QVERIFY(QDir::tempPath().contains(QLatin1Char(' ')));
    QVERIFY(addSetupProgram(updateFolder(), setupName, argsFile()));

    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.m_releaseMode = releaseMode;
    updater.m_keepAppMode = keepAppMode;

    QString installQuestion;
    QString runQuestion;
    connect(&updater, &Updater::installQuestion, &updater, [&](QString const &question) {
        installQuestion = question;
        updater.prepareToUpdateApp(7);
    });
    connect(&updater, &Updater::setupFileDownloaded, &updater, [&] {
        runQuestion = updater.prepareRunSetupQuestion();
        updater.runSetupFile();
    });
    Recorder said(&updater);

    updater.setProgressBarId(3);
    updater.checkForUpdates(false);
    QVERIFY(!installQuestion.isEmpty());
    // The download waits for the event loop.
    QCOMPARE(said.downloaded.count(), 0);

    QVERIFY(said.close.wait(15000));
    QCOMPARE(said.errors.count(), 0);
    QCOMPARE(said.downloaded.count(), 1);
    QCOMPARE(said.close.count(), 1);

    QList<int> removed;
    for (QList<QVariant> const &args : said.remove)
        removed << args.at(0).toInt();
    QCOMPARE(removed, (QList<int>{-1, 3, 7}));

    const QString expectedVersion = setupName.contains(QLatin1String("2.1.0.3")) ? "2.1.0 rc3" : "2.1.1";
    QCOMPARE(runQuestion,
        QStringLiteral("New version downloaded: %1\nYour version: 2.1.0\n\nDo you want to install?")
            .arg(expectedVersion));
    QCOMPARE(Environment::instance()->getSetting(APP_MODE, QVariant::Int).isValid()
            && !Environment::instance()->getSetting(APP_MODE, QVariant::Int).isNull(),
        appModeKept);

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argsFile()), 15000);
    const QStringList items = linesOf(argsFile());
    QCOMPARE(items.size(), 4);
    const QString started = QDir::tempPath() + QStringLiteral("/vsupd/") + setupName;
    QCOMPARE(QFileInfo(items.at(0)).canonicalFilePath(), QFileInfo(started).canonicalFilePath());
    QCOMPARE(items.at(1), QStringLiteral("upd=true"));
    QCOMPARE(items.at(2), QStringLiteral("runAfterInst=true"));
    QCOMPARE(items.at(3), QStringLiteral("instPath=") + appDir);
}

void UpdaterTest::secondDownloadRemovesFirst()
{
    QVERIFY(addSetupProgram(updateFolder(), QStringLiteral("VardoStudioSetup_2.1.0.3.exe"), argsFile()));
    Updater updater(Environment::MODE_LOCAL_UPDATES);
    updater.checkForUpdates(false);
    Recorder said(&updater);
    updater.updateApp();
    QCOMPARE(said.downloaded.count(), 1);

    const QString tempFolder = QDir::tempPath() + QStringLiteral("/vsupd/");
    QVERIFY(writeFile(tempFolder + QStringLiteral("VardoStudioSetup_1.0.0.1.exe"), "old"));
    QVERIFY(writeFile(tempFolder + QStringLiteral("keep.txt"), "kept"));
    updater.updateApp();
    QCOMPARE(said.downloaded.count(), 2);
    QVERIFY(!QFileInfo::exists(tempFolder + QStringLiteral("VardoStudioSetup_1.0.0.1.exe")));
    QVERIFY(QFileInfo::exists(tempFolder + QStringLiteral("VardoStudioSetup_2.1.0.3.exe")));
    QVERIFY(QFileInfo::exists(tempFolder + QStringLiteral("keep.txt")));
}

void UpdaterTest::installationFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("text"); // %1: the updater's temporary folder

    QTest::newRow("copy fails") << "copy"
                                << "Unable to copy from VardoStudioSetup_2.1.0.3.exe to "
                                   "%1VardoStudioSetup_2.1.0.3.exe\nFailed to update application";
    QTest::newRow("digest of the copy differs in letter case") << "md5case"
                                                               << "MD5 sum error!\nFailed to update application";
    QTest::newRow("no companion") << "nomd5"
                                  << "MD5 sum error!\nFailed to update application";
    QTest::newRow("downloaded file missing") << "missing"
                                             << "Unable to find downloaded setup file";
    QTest::newRow("downloaded file changed") << "changed"
                                             << "MD5 sum error!";
    QTest::newRow("version in the name differs")
        << "version"
        << "Download error:\n'VardoStudioSetup_2.1.0.3.exe' version: 2.1.0 rc3, expected: 2.1.0 rc4";
    QTest::newRow("program does not start") << "nostart"
                                            << "You must update application manually.";
    QTest::newRow("file outside the temporary folder") << "outside"
                                                       << "Unable to find downloaded setup file";
    QTest::newRow("no file at all") << "empty"
                                    << "Unable to find downloaded setup file";
}

void UpdaterTest::installationFailures()
{
    QFETCH(QString, fault);
    QFETCH(QString, text);

    const QString name = QStringLiteral("VardoStudioSetup_2.1.0.3.exe");
    const QString source = QDir(updateFolder()).filePath(name);
    QVERIFY(addSetupProgram(updateFolder(), name, argsFile()));
    if (fault == QLatin1String("md5case"))
        QVERIFY(writeFile(source + QStringLiteral(".md5"), md5Of(source).toUpper().toLatin1()));
    if (fault == QLatin1String("nomd5"))
        QVERIFY(QFile::remove(source + QStringLiteral(".md5")));
    if (fault == QLatin1String("nostart"))
        QVERIFY(writeFile(source, "#!/nonexistent/interpreter\n")
            && writeFile(source + QStringLiteral(".md5"), md5Of(source).toLatin1()));

    Updater updater(Environment::MODE_LOCAL_UPDATES);
    const QString tempFolder = QDir(QDir::tempPath() + QStringLiteral("/vsupd")).absolutePath() + QLatin1Char('/');
    bool downloaded = false;
    connect(&updater, &Updater::setupFileDownloaded, &updater, [&] { downloaded = true; });
    Recorder said(&updater);

    updater.checkForUpdates(false);
    QVERIFY(updater.isNewVersion());
    if (fault == QLatin1String("copy"))
        QVERIFY(QFile::remove(source));
    if (fault != QLatin1String("empty"))
        updater.updateApp();

    if (downloaded) {
        const QString copy = tempFolder + name;
        if (fault == QLatin1String("missing"))
            QVERIFY(QFile::remove(copy));
        if (fault == QLatin1String("changed")) {
            QVERIFY(writeSetupProgram(copy, argsFile() + QStringLiteral(".evil")));
        }
        if (fault == QLatin1String("version"))
            updater.m_newVersion.setVersion(2, 1, 0, 4);
        if (fault == QLatin1String("outside")) {
            // Same content and name, but not where the updater put it.
            QVERIFY(QDir(m_work->path()).mkdir(QStringLiteral("elsewhere")));
            updater.m_downloadFilePath = m_work->filePath(QStringLiteral("elsewhere/") + name);
            QVERIFY(QFile::copy(copy, updater.m_downloadFilePath));
        }
        QCOMPARE(said.errors.count(), 0);
        updater.runSetupFile();
    }
    if (fault == QLatin1String("empty"))
        updater.runSetupFile();

    QCOMPARE(said.errors.count(), 1);
    QCOMPARE(said.error(), text.contains(QLatin1String("%1")) ? text.arg(tempFolder) : text);
    QCOMPARE(said.close.count(), 0);
    QTest::qWait(200);
    QVERIFY(!QFileInfo::exists(argsFile()));
    QVERIFY(!QFileInfo::exists(argsFile() + QStringLiteral(".evil")));
}

void UpdaterTest::tempFolderNotOwn_data()
{
    QTest::addColumn<QString>("blocker"); // what stands at T/vsupd when the updater is made
    QTest::addColumn<bool>("reclaimed"); // the updater takes T/vsupd itself

    QTest::newRow("a plain file named vsupd") << "file" << false;
    QTest::newRow("vsupd is a link to another folder") << "link" << false;
    QTest::newRow("vsupd of another user, open to all") << "foreign" << false;
    QTest::newRow("vsupd of ours, open to others") << "open" << false;
    QTest::newRow("vsupd held by a live updater") << "live" << false;
    QTest::newRow("vsupd of an updater that died") << "dead" << true;
}

// A folder at T/vsupd that is not the updater's to use is left as it is, with
// everything in it; the updater downloads, verifies and starts the program
// in a private folder of its own beside it.
void UpdaterTest::tempFolderNotOwn()
{
    QFETCH(QString, blocker);
    QFETCH(bool, reclaimed);

    if (blocker == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("another user's folder needs a second uid (setpriv), so root");
        // Like /tmp: every user may add entries, each removes only their own.
        m_shared.reset(new QTemporaryDir(QStringLiteral("/tmp/env shared tmp XXXXXX")));
        QVERIFY(m_shared->isValid());
        QVERIFY(::chmod(QFile::encodeName(m_shared->path()).constData(), 01777) == 0);
        qputenv("TMPDIR", m_shared->path().toLocal8Bit());
    }
    const QDir tmp(QDir::tempPath());
    const QString planted = tmp.filePath(QStringLiteral("vsupd"));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("other program.txt")), "mine"));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("VardoStudioSetup_9.9.9.9.exe")), "not the updater's"));
    QStringList kept{tmp.filePath(QStringLiteral("other program.txt")),
        tmp.filePath(QStringLiteral("VardoStudioSetup_9.9.9.9.exe"))};
    std::unique_ptr<Updater> live;
    if (blocker == QLatin1String("file")) {
        QVERIFY(writeFile(planted, "plain file"));
        kept << planted;
    } else if (blocker == QLatin1String("link")) {
        const QString target = m_work->filePath(QStringLiteral("link target"));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(writeFile(target + QStringLiteral("/precious.txt"), "keep"));
        QVERIFY(QFile::link(target, planted));
        kept << target + QStringLiteral("/precious.txt");
    } else if (blocker == QLatin1String("foreign")) {
        const int status = QProcess::execute(QStringLiteral("setpriv"),
            {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("mkdir -m 0777 \"$1\" && echo theirs > \"$1/their file.txt\""), QStringLiteral("sh"),
                planted});
        QCOMPARE(status, 0);
        kept << planted + QStringLiteral("/their file.txt");
    } else if (blocker == QLatin1String("open")) {
        QVERIFY(QDir().mkdir(planted));
        QVERIFY(::chmod(QFile::encodeName(planted).constData(), 0777) == 0);
        QVERIFY(writeFile(planted + QStringLiteral("/planted.exe"), "planted"));
        kept << planted + QStringLiteral("/planted.exe");
    } else if (blocker == QLatin1String("live")) {
        live.reset(new Updater(Environment::MODE_LOCAL_UPDATES));
        QCOMPARE(live->m_tempPath, planted + QLatin1Char('/'));
        QVERIFY(writeFile(planted + QStringLiteral("/VardoStudioSetup_2.0.0.1.exe"), "being downloaded"));
        kept << planted + QStringLiteral("/VardoStudioSetup_2.0.0.1.exe");
    } else if (blocker == QLatin1String("dead")) {
        QVERIFY(QDir().mkdir(planted));
        QVERIFY(QFile::setPermissions(planted, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(writeDeadLock(planted + QStringLiteral("/.lock")));
        QVERIFY(writeFile(planted + QStringLiteral("/VardoStudioSetup_2.0.0.1.exe"), "left by the dead"));
    }
    const QString setupName = QStringLiteral("VardoStudioSetup_2.1.0.3.exe");
    QVERIFY(addSetupProgram(updateFolder(), setupName, argsFile()));

    QString own;
    {
        Updater updater(Environment::MODE_LOCAL_UPDATES);
        own = updater.m_tempPath;
        QCOMPARE(own == planted + QLatin1Char('/'), reclaimed);
        QVERIFY2(own.startsWith(planted), qPrintable(own));
        const QFileInfo folder(own);
        QVERIFY(folder.isDir() && !folder.isSymLink());
        QCOMPARE(folder.ownerId(), uint(::geteuid()));
        QCOMPARE(int(folder.permissions()
                     & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                         | QFile::ExeOther)),
            0);
        if (blocker == QLatin1String("dead")) {
            QCOMPARE(QDir(own).entryList(QDir::Files), QStringList());
            QLockFile probe(own + QStringLiteral(".lock"));
            QVERIFY2(!probe.tryLock(0), "the reclaimed folder is held again");
        }

        Recorder said(&updater);
        connect(&updater, &Updater::setupFileDownloaded, &updater, &Updater::runSetupFile);
        updater.checkForUpdates(false);
        QCOMPARE(said.question.count(), 1);
        updater.updateApp();
        QCOMPARE(said.errors.count(), 0);
        QCOMPARE(said.close.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argsFile()), 15000);
        QCOMPARE(linesOf(argsFile()).value(0), own + setupName);
        for (QString const &path : kept)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    }

    QVERIFY(!QFileInfo::exists(own));
    for (QString const &path : kept)
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    if (live) {
        live.reset();
        QVERIFY(!QFileInfo::exists(planted));
    }
}

// When no folder of its own can be made, the server source would have nowhere
// to store its version file: the updater reports instead of writing elsewhere.
void UpdaterTest::checkWithoutTempFolderDownloadsNothing()
{
    const QDir tmp(QDir::tempPath());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("not a folder")), "plain file"));
    qputenv("TMPDIR", tmp.filePath(QStringLiteral("not a folder")).toLocal8Bit());

    Updater updater(Environment::MODE_SERVER_UPDATES);
    Recorder said(&updater);
    updater.checkForUpdates(false);
    QCOMPARE(said.ended.count(), 1);
    QCOMPARE(said.status.count(), 1);
    const QString text = said.statusText();
    QVERIFY2(text.startsWith(QStringLiteral("Warning: Unable to create temporary folder: ")), qPrintable(text));
    QCOMPARE(tmp.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList(QStringLiteral("not a folder")));
}

// A lock file as an updater that died leaves it: of this machine, naming a
// process that has ended.
bool UpdaterTest::writeDeadLock(QString const &path)
{
    QProcess ended;
    ended.start(QStringLiteral("true"), QStringList());
    if (!ended.waitForStarted())
        return false;
    const qint64 pid = ended.processId();
    if (!ended.waitForFinished())
        return false;

    QByteArray content;
    {
        QLockFile model(path);
        if (!model.tryLock(0))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        content = file.readAll();
    }
    content = QByteArray::number(pid) + content.mid(content.indexOf('\n'));
    return writeFile(path, content);
}

QTEST_GUILESS_MAIN(UpdaterTest)
#include "tst_updater.moc"
