#include "environment.h"
#include "messagecapture.h"
#include "stderrtofile.h"
#include "tracermanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QtTest>

namespace
{

QString dataDir()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0);
}

QString settingsFile()
{
    return dataDir() + QStringLiteral("/config/uiconfig.ini");
}

QByteArray readAll(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(QString const &path, QByteArray const &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

void emitProbes()
{
    qDebug("debug-probe");
    qInfo("info-probe");
    qWarning("warning-probe");
    qCritical("critical-probe");
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRunWithFileLog();
    void levelAndFileNameFromSettings_data();
    void levelAndFileNameFromSettings();
    void logOptionsHandedOn_data();
    void logOptionsHandedOn();
    void unknownLogFileName();
    void logFolderCannotBeCreated();
    void consoleLoggerIgnoresLevelSetting();
    void logPathInEveryMode_data();
    void logPathInEveryMode();

private:
    QtMessageHandler m_testHandler = nullptr;
};

void TestStartup::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    m_testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_testHandler);
}

void TestStartup::init()
{
    Environment::m_instance.reset();
    QDir(dataDir()).removeRecursively();
    QDir(Environment::VS_WORK_DIR).removeRecursively();
}

void TestStartup::cleanup()
{
    TracerManager::unregister();
    qInstallMessageHandler(m_testHandler);
    Environment::m_instance.reset();
}

void TestStartup::firstRunWithFileLog()
{
    Environment *env = Environment::instance();
    QVERIFY(!QFile::exists(settingsFile()));
    {
        MessageCapture messages;
        env->setupEnvironmentVariables(Environment::APP_STUDIO, false, true, false, false, false);
        const int creating = messages.indexOf(QtInfoMsg, QStringLiteral("creating app environment"));
        const int loading = messages.indexOf(QtInfoMsg, QStringLiteral("Settings file:"));
        QVERIFY(creating >= 0);
        QVERIFY2(creating < loading, "announced before the settings are loaded");
        QCOMPARE(messages.entries().at(creating).category, QStringLiteral("default"));
        // The file logger has taken the output over.
        emitProbes();
        QVERIFY(!messages.contains(QtCriticalMsg, QStringLiteral("critical-probe")));
        TracerManager::unregister();
    }

    QCOMPARE(env->getLogPath(), dataDir() + QStringLiteral("/log"));
    const QByteArray log = readAll(dataDir() + QStringLiteral("/log/app.log"));
    QVERIFY2(log.contains("critical-probe"), log.constData());
    QVERIFY2(!log.contains("warning-probe"), "the default level is error");

    QCOMPARE(env->getRootAppPath(), QCoreApplication::applicationDirPath());
    QVERIFY(QDir(env->getProjectDir()).exists());
    QVERIFY(QDir(env->getPriceListDir()).exists());
    QCOMPARE(env->getUiFont(GUI_CABINET_NAME_FONT).pixelSize(), 18);
    QVERIFY2(!QFile::exists(settingsFile()), "start-up writes no settings");
}

void TestStartup::levelAndFileNameFromSettings_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");

    QTest::newRow("info level, own file name")
        << QByteArray("[APP_SETTINGS]\nLOG_FILE=main.log\nLOG_LEVEL=info\n") << "main.log"
        << QStringList{"info-probe", "warning-probe", "critical-probe"} << QStringList{"debug-probe"};
    QTest::newRow("debug level lets everything through")
        << QByteArray("[APP_SETTINGS]\nLOG_LEVEL=debug\n") << "app.log"
        << QStringList{"debug-probe", "info-probe", "critical-probe"} << QStringList{};
    QTest::newRow("level in capitals") << QByteArray("[APP_SETTINGS]\nLOG_LEVEL=WARNING\n") << "app.log"
                                       << QStringList{"warning-probe", "critical-probe"}
                                       << QStringList{"debug-probe", "info-probe"};
    QTest::newRow("empty level is handed on as it is") << QByteArray("[APP_SETTINGS]\nLOG_LEVEL=\n") << "app.log"
                                                       << QStringList{"debug-probe", "critical-probe"} << QStringList{};
}

void TestStartup::levelAndFileNameFromSettings()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, fileName);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    QVERIFY(writeFile(settingsFile(), settings));
    Environment::instance()->setupEnvironmentVariables(Environment::APP_STUDIO, true, true, false, false, false);
    emitProbes();
    TracerManager::unregister();

    const QByteArray log = readAll(dataDir() + QStringLiteral("/log/") + fileName);
    for (QString const &probe : present)
        QVERIFY2(log.contains(probe.toLatin1()), qPrintable(probe));
    for (QString const &probe : absent)
        QVERIFY2(!log.contains(probe.toLatin1()), qPrintable(probe));
}

void TestStartup::logOptionsHandedOn_data()
{
    // The stand-in logger reads the options as: thread id, flush each line,
    // append to the file. The first and the third show in the file, so
    // options handed on out of order are caught.
    QTest::addColumn<bool>("option1");
    QTest::addColumn<bool>("option2");
    QTest::addColumn<bool>("option3");

    QTest::newRow("none") << false << false << false;
    QTest::newRow("first only") << true << false << false;
    QTest::newRow("second only") << false << true << false;
    QTest::newRow("third only") << false << false << true;
    QTest::newRow("all") << true << true << true;
}

void TestStartup::logOptionsHandedOn()
{
    QFETCH(bool, option1);
    QFETCH(bool, option2);
    QFETCH(bool, option3);

    const QString logFile = dataDir() + QStringLiteral("/log/app.log");
    QVERIFY(writeFile(logFile, "line of an earlier run\n"));
    QVERIFY(writeFile(settingsFile(), "[APP_SETTINGS]\nLOG_LEVEL=info\n"));
    Environment::instance()->setupEnvironmentVariables(Environment::APP_STUDIO, true, true, option1, option2, option3);
    Q_UNUSED(option2) // flushing has no effect that can be seen from here
    qInfo("info-probe");
    TracerManager::unregister();
    const QByteArray log = readAll(logFile);
    QVERIFY(log.contains("info-probe"));
    QCOMPARE(log.contains("line of an earlier run"), option3);
    QCOMPARE(log.contains(" ["), option1);
}

void TestStartup::unknownLogFileName()
{
    QVERIFY(writeFile(settingsFile(), "[APP_SETTINGS]\nLOG_FILE=\n"));
    MessageCapture messages;
    Environment::instance()->setupEnvironmentVariables(Environment::APP_STUDIO, true, true, false, false, false);
    QVERIFY(messages.contains(QtCriticalMsg, QStringLiteral("Unknown log file name")));

    // Neither logger took the output over: it still reaches this capture.
    qInfo("after start-up");
    QVERIFY(messages.contains(QtInfoMsg, QStringLiteral("after start-up")));
    QVERIFY(QDir(dataDir() + QStringLiteral("/log")).entryList(QDir::Files).isEmpty());
}

void TestStartup::logFolderCannotBeCreated()
{
    const QString logPath = dataDir() + QStringLiteral("/log");
    QVERIFY(writeFile(logPath, "a file where the log folder must go"));
    MessageCapture messages;
    Environment::instance()->setupEnvironmentVariables(Environment::APP_STUDIO, true, true, false, false, false);

    QVERIFY(messages.contains(QtCriticalMsg, QStringLiteral("Cannot create path: ")));
    QVERIFY(messages.entry(QtCriticalMsg, QStringLiteral("Cannot create path: ")).message.contains(logPath));
    qInfo("after start-up");
    QVERIFY(messages.contains(QtInfoMsg, QStringLiteral("after start-up")));
    QCOMPARE(readAll(logPath), QByteArray("a file where the log folder must go"));
}

void TestStartup::consoleLoggerIgnoresLevelSetting()
{
    QVERIFY(writeFile(settingsFile(), "[APP_SETTINGS]\nLOG_LEVEL=error\n"));
    QTemporaryFile captured;
    QVERIFY(captured.open());
    {
        StderrToFile redirect(captured.fileName());
        Environment::instance()->setupEnvironmentVariables(Environment::APP_STUDIO, true, false, false, false, false);
        qDebug("debug-probe");
        TracerManager::unregister();
    }
    const QByteArray console = readAll(captured.fileName());
    QVERIFY2(console.contains("debug-probe"), console.constData());
    QVERIFY2(!QFileInfo::exists(dataDir() + QStringLiteral("/log")), "no log folder without a file log");
}

void TestStartup::logPathInEveryMode_data()
{
    QTest::addColumn<int>("mode");
    for (int mode = Environment::MODE_DEFAULT; mode <= Environment::MODE_LOCAL_CONFIG; ++mode)
        QTest::newRow(qPrintable(QStringLiteral("mode %1").arg(mode))) << mode;
}

void TestStartup::logPathInEveryMode()
{
    QFETCH(int, mode);
    Environment *env = Environment::instance();
    env->setRootAppPath(QStringLiteral("/opt/vs"));
    env->setAppMode(Environment::AppMode(mode));
    QCOMPARE(env->getLogPath(), dataDir() + QStringLiteral("/log"));
    QVERIFY(!QFileInfo::exists(env->getLogPath()));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
