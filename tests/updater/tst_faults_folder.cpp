#include "updater.h"
#include "updatertestsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>

#include <sys/stat.h>

using namespace updatertest;

namespace
{
const QString setupName = QStringLiteral("VardoStudioSetup_2.1.0.3.exe");
const QString olderName = QStringLiteral("VardoStudioSetup_2.0.0.1.exe");

// A small tmpfs, mounted for as long as the object lives.
class SmallTmpfs
{
public:
    explicit SmallTmpfs(QString const &dir)
        : m_dir(dir)
    {
        QProcess mount;
        mount.setProcessChannelMode(QProcess::MergedChannels);
        mount.start(QStringLiteral("mount"),
            {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=1m"),
                QStringLiteral("tmpfs"), dir});
        m_mounted = mount.waitForFinished(30000) && mount.exitStatus() == QProcess::NormalExit && mount.exitCode() == 0;
        if (!m_mounted)
            m_why = QString::fromLocal8Bit(mount.readAll()).trimmed();
    }
    ~SmallTmpfs()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {m_dir});
    }
    bool isMounted() const { return m_mounted; }
    QString why() const { return m_why; }

private:
    QString m_dir;
    QString m_why;
    bool m_mounted = false;
};

} // namespace

// Faults of the update folder and of the updater's own temporary folder,
// driven the way a host drives an update.
class UpdaterTest : public QObject, public WorkFolders
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faults_data();
    void faults();
    void temporaryFolderFull();

private:
    QString tempFolder() const { return QDir::tempPath() + QStringLiteral("/vsupd"); }
    void checkRecovers(Updater &updater);
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
}

void UpdaterTest::init()
{
    QVERIFY(makeWorkFolders(true));
}

void UpdaterTest::cleanup()
{
    Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
    removeWorkFolders();
}

// After a failure the same updater checks and installs again.
void UpdaterTest::checkRecovers(Updater &updater)
{
    QDir folder(updateFolder());
    for (QString const &name : folder.entryList(QDir::Files))
        QVERIFY(folder.remove(name));
    QVERIFY(addSetupProgram(updateFolder(), setupName, argsFile()));
    QFile::remove(argsFile());

    updater.setAvailableServers(Environment::MODE_LOCAL_UPDATES);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), 1);
    updater.updateApp();
    QCOMPARE(errorSpy.count(), 0);
    QCOMPARE(closeSpy.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argsFile()), 15000);
}

void UpdaterTest::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("companion"); // %MD5% is the program's digest
    QTest::addColumn<QString>("error"); // the one errorsOccured text; empty: the program starts
    QTest::addColumn<QStringList>("left"); // in the temporary folder afterwards

    const QByteArray md5Line = "%MD5%\n";
    const QString md5Error = QStringLiteral("MD5 sum error!\nFailed to update application");
    const QStringList copy{setupName};

    // The companion's first word is the digest, white space around it
    // ignored, as on a web page.
    QTest::newRow("companion line with trailing blanks") << QString() << QByteArray("%MD5%  \n") << QString() << copy;
    QTest::newRow("md5sum-style companion line") << QString() << "%MD5%  " + setupName.toUtf8() + "\n"
                                                 << QString() << copy;
    QTest::newRow("companion whose first line is blank") << QString() << QByteArray("\n%MD5%\n") << QString() << copy;
    QTest::newRow("companion written with CRLF line ends") << QString() << QByteArray("%MD5%\r\n") << QString() << copy;
    QTest::newRow("companion over 64 KiB is not read")
        << QString() << "%MD5%\n" + QByteArray(64 * 1024, '#') << md5Error << copy;
    QTest::newRow("FIFO named like the companion is not read, nor waited on")
        << "fifo companion" << md5Line << md5Error << copy;
    QTest::newRow("program in the folder without an execute bit") << "not executable" << md5Line << QString() << copy;
    QTest::newRow("download without a check before it")
        << "no check" << md5Line << "No newer version has been found yet.\nFailed to update application"
        << QStringList();

    QTest::newRow("program replaced in the folder after the check") << "replace source" << md5Line << md5Error << copy;
    QTest::newRow("temporary folder deleted by a cleaner after the check")
        << "remove temp" << md5Line << QString() << copy;
    QTest::newRow("copy replaced by a link to the very same program")
        << "link copy" << md5Line << "Unable to find downloaded setup file" << copy;
    QTest::newRow("late yes after a check that found only an older version")
        << "older" << md5Line << "No newer version to install: 2.0.0 rc1\nFailed to update application"
        << QStringList();
    QTest::newRow("running version raised between download and start")
        << "raised" << md5Line << "No newer version to install: 2.1.0 rc3" << copy;
}

void UpdaterTest::faults()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, companion);
    QFETCH(QString, error);
    QFETCH(QStringList, left);

    const QString source = QDir(updateFolder()).filePath(setupName);
    QVERIFY(writeSetupProgram(source, argsFile(), fault != QLatin1String("not executable")));
    companion.replace("%MD5%", md5Of(source).toLatin1());
    QProcess fifoWriter;
    if (fault == QLatin1String("fifo companion")) {
        // Whoever opens it gets the right digest: only a reader that never
        // opens it fails the MD5 check.
        QVERIFY(mkfifo(QFile::encodeName(source + QStringLiteral(".md5")).constData(), 0644) == 0);
        fifoWriter.start(QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("printf '%s' \"$1\" > \"$2\""), QStringLiteral("sh"),
                QString::fromLatin1(companion), source + QStringLiteral(".md5")});
        QVERIFY(fifoWriter.waitForStarted());
    } else {
        QVERIFY(writeFile(source + QStringLiteral(".md5"), companion));
    }

    Updater updater(Environment::MODE_LOCAL_UPDATES);
    // The fault strikes the first download only; the recovery runs clean.
    connect(&updater, &Updater::setupFileDownloaded, &updater, [&] {
        const QString copy = updater.m_downloadFilePath;
        if (fault == QLatin1String("link copy")) {
            const QString outside = m_work->filePath(QStringLiteral("verified.exe"));
            QVERIFY(QFile::copy(copy, outside));
            QVERIFY(QFile::remove(copy));
            QVERIFY(QFile::link(outside, copy));
        }
        if (fault == QLatin1String("raised"))
            updater.m_currentVersion.setVersion(2, 1, 0, 5);
        fault.clear();
        updater.runSetupFile();
    });
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);

    if (fault != QLatin1String("no check")) {
        updater.checkForUpdates(false);
        QVERIFY(updater.isNewVersion());
    }
    if (fault == QLatin1String("replace source"))
        QVERIFY(writeSetupProgram(source, argsFile() + QStringLiteral(".evil")));
    if (fault == QLatin1String("remove temp"))
        QVERIFY(QDir(tempFolder()).removeRecursively());
    if (fault == QLatin1String("older")) {
        QVERIFY(QFile::remove(source) && QFile::remove(source + QStringLiteral(".md5")));
        QVERIFY(addSetupProgram(updateFolder(), olderName, argsFile()));
        updater.setAvailableServers(Environment::MODE_LOCAL_UPDATES);
        QSignalSpy questionSpy(&updater, &Updater::installQuestion);
        updater.checkForUpdates(false);
        QCOMPARE(questionSpy.count(), 0);
    }
    updater.updateApp();

    if (error.isEmpty()) {
        QCOMPARE(errorSpy.count(), 0);
        QCOMPARE(closeSpy.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argsFile()), 15000);
    } else {
        QCOMPARE(errorSpy.count(), 1);
        QCOMPARE(errorSpy.at(0).at(0).toString(), error);
        QCOMPARE(errorSpy.at(0).at(1).toString(), QStringLiteral("Version update"));
        QCOMPARE(closeSpy.count(), 0);
        QVERIFY(!QFileInfo::exists(argsFile()));
        QVERIFY(!QFileInfo::exists(argsFile() + QStringLiteral(".evil")));
    }
    QCOMPARE(QDir(tempFolder()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), left);
    if (fifoWriter.state() != QProcess::NotRunning) {
        fifoWriter.kill();
        fifoWriter.waitForFinished();
        QVERIFY(QFile::remove(source + QStringLiteral(".md5")));
    }
    if (!error.isEmpty())
        checkRecovers(updater);
}

// The copy into a temporary folder with too little room fails as a whole:
// no part of the program is left where it could be started.
void UpdaterTest::temporaryFolderFull()
{
    const QString small = m_tmp->path() + QStringLiteral("/small");
    QVERIFY(QDir().mkpath(small));
    SmallTmpfs tmpfs(small);
    if (!tmpfs.isMounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount a 1 MiB tmpfs here (needs root): ") + tmpfs.why()));
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", small.toLocal8Bit());
    struct Restore {
        QByteArray value;
        ~Restore() { qputenv("TMPDIR", value); }
    } restore{saved};

    const QString source = QDir(updateFolder()).filePath(setupName);
    QVERIFY(writeSetupProgram(source, argsFile()));
    QFile program(source);
    QVERIFY(program.open(QIODevice::Append));
    QVERIFY(program.write("#" + QByteArray(2 * 1024 * 1024, 'x') + "\n") > 0);
    program.close();
    QVERIFY(writeFile(source + QStringLiteral(".md5"), md5Of(source).toLatin1() + "\n"));

    Updater updater(Environment::MODE_LOCAL_UPDATES);
    QCOMPARE(updater.m_tempPath, small + QStringLiteral("/vsupd/"));
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy downloadedSpy(&updater, &Updater::setupFileDownloaded);
    connect(&updater, &Updater::setupFileDownloaded, &updater, &Updater::runSetupFile);
    updater.checkForUpdates(false);
    QVERIFY(updater.isNewVersion());
    updater.updateApp();

    QCOMPARE(downloadedSpy.count(), 0);
    QCOMPARE(errorSpy.count(), 1);
    QCOMPARE(errorSpy.at(0).at(0).toString(),
        QStringLiteral("Unable to copy from %1 to %2/%1\nFailed to update application").arg(setupName, tempFolder()));
    QCOMPARE(QDir(tempFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList(QStringLiteral(".lock")));
    updater.runSetupFile();
    QCOMPARE(errorSpy.count(), 2);
    QCOMPARE(errorSpy.at(1).at(0).toString(), QStringLiteral("Unable to find downloaded setup file"));

    checkRecovers(updater);
}

QTEST_GUILESS_MAIN(UpdaterTest)
#include "tst_faults_folder.moc"
