#include "httpstestserver.h"
#include "sftpupdatefixture.h"
#include "updater.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QStandardPaths>

#include <memory>

using namespace updatertest;

namespace
{

const QString candidateName = QStringLiteral("VardoStudioSetup_2.1.0.3.exe");
const QString releaseName = QStringLiteral("VardoStudioSetup_2.1.1.0.exe");

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer keeps freed memory in quarantine, so the resident size grows
// by design there; its leak check at exit stands in for the bound.
constexpr bool residentSizeMeaningful = false;
#else
constexpr bool residentSizeMeaningful = true;
#endif

} // namespace

// Many complete update cycles in one process: check, question, fetch,
// verification, start of the setup program and the updater's end. Whatever a
// cycle takes (descriptors, memory) it must give back.
class UpdaterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void cycles_data();
    void cycles();

private:
    QString runCycle(int source);

    std::unique_ptr<TemporaryTmpDir> m_tmp;
    QTemporaryDir m_work;
    QTemporaryDir m_root;
    HttpsTestServer m_server;
    SftpServerProcess m_sftpServer;
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // Two info lines per cycle would drown the report.
    QLoggingCategory::setFilterRules(QStringLiteral("default.info=false"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
    m_tmp.reset(new TemporaryTmpDir);
    QVERIFY(m_tmp->isValid() && m_work.isValid() && m_root.isValid());

    // The setup program does nothing: the cycles are about the updater.
    const QByteArray program = "#!/bin/sh\nexit 0\n";
    QVERIFY(QDir(m_work.path()).mkdir(QStringLiteral("folder")));
    for (QString const &path : {m_work.filePath(QStringLiteral("folder/")) + candidateName,
             m_root.filePath(QStringLiteral("VardoStudioSetup_2.1.1.0.exe"))}) {
        QVERIFY(writeFile(path, program));
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner));
        QVERIFY(writeFile(path + QStringLiteral(".md5"), md5Of(path).toLatin1() + "\n"));
    }
    Environment::instance()->setSetting(UPDATES_LOCAL_DIR, m_work.filePath(QStringLiteral("folder")));

    QVERIFY(m_server.startTrusted(m_work.path(), m_root.path()));
    QVERIFY(writeFile(m_root.filePath(QStringLiteral("page.html")),
        "<a href=\"" + m_server.url(QStringLiteral("/") + releaseName).toUtf8() + "\">Setup</a>\n"));
    Environment::instance()->setSetting(UPDATES_HTTP_URL, m_server.url(QStringLiteral("/page.html")));

    // The SFTP source.
    clearSshHome();
    const QString sftpRoot = m_work.filePath(QStringLiteral("sftp"));
    QVERIFY(QDir().mkpath(sftpRoot + QStringLiteral(ENV_TEST_VERSION_DIR)));
    QVERIFY(QDir().mkpath(sftpRoot + QStringLiteral("/setup")));
    const QString served = sftpRoot + QStringLiteral("/setup/") + releaseName;
    QVERIFY(QFile::copy(m_root.filePath(releaseName), served));
    const QByteArray versionFile = "{\"archx86\": {\"version\": \"2.1.1.0\", \"dir\": \"/setup/\", \"file\": \""
        + releaseName.toUtf8() + "\", \"md5\": \"" + md5Of(served).toLatin1() + "\"}}\n";
    QVERIFY(writeFile(sftpRoot + QStringLiteral(ENV_TEST_VERSION_DIR "/vsver.json"), versionFile));
    SftpServerProcess::Options options;
    options.root = sftpRoot;
    options.hostKey = m_work.filePath(QStringLiteral("host_key"));
    options.accounts = defaultAccounts;
    QString error;
    const bool started = startOnUpdatePort(m_sftpServer, options, &error);
    QVERIFY2(started, qPrintable(error));
}

void UpdaterTest::cleanupTestCase()
{
    Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
    Environment::instance()->removeSetting(UPDATES_HTTP_URL);
    m_server.stop();
    m_sftpServer.stop();
    m_tmp.reset();
}

// One cycle the way a host drives it, with a fresh updater; empty when the
// setup program was started.
QString UpdaterTest::runCycle(int source)
{
    const bool folder = source == Updater::FILE_SERVER_LOCAL_DIR;
    Updater updater(folder ? Environment::MODE_LOCAL_UPDATES : Environment::MODE_SERVER_UPDATES);
    updater.m_fileServers = QVector<int>{source};
    QString error;
    bool closed = false;
    // The host answers the question later, from its event loop.
    connect(&updater, &Updater::installQuestion, &updater, &Updater::updateApp, Qt::QueuedConnection);
    connect(&updater, &Updater::setupFileDownloaded, &updater, &Updater::runSetupFile);
    connect(&updater, &Updater::errorsOccured, &updater, [&error](QString const &text) { error += text; });
    connect(&updater, &Updater::closeApplication, &updater, [&closed] { closed = true; });
    updater.checkForUpdates(false);
    if (updater.isNewVersion())
        (void)QTest::qWaitFor([&] { return closed || !error.isEmpty(); }, 30000);
    if (!closed && error.isEmpty())
        error = QStringLiteral("no update: ") + updater.m_errors.join(QLatin1Char('\n'));
    return error;
}

void UpdaterTest::cycles_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("count");

    QTest::newRow("update folder") << int(Updater::FILE_SERVER_LOCAL_DIR) << 200;
    QTest::newRow("web page over HTTPS") << int(Updater::FILE_SERVER_HTTP_URL) << 100;
    QTest::newRow("update server over SFTP") << int(Updater::FILE_SERVER_SFTP) << 50;
}

void UpdaterTest::cycles()
{
    QFETCH(int, source);
    QFETCH(int, count);

    // The first cycles set up what lives as long as the process (network
    // and TLS state, plugin and translation look-ups).
    for (int i = 0; i < 5; ++i)
        QCOMPARE(runCycle(source), QString());
    const int descriptors = openDescriptors();
    const qint64 resident = residentKiB();
    QVERIFY(descriptors > 0 && resident > 0);

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        const QString error = runCycle(source);
        QVERIFY2(error.isEmpty(), qPrintable(QStringLiteral("cycle %1: %2").arg(i).arg(error)));
    }

    QCOMPARE(openDescriptors(), descriptors);
    const qint64 growth = residentKiB() - resident;
    qDebug("%d cycles in %lld ms: resident size grew by %lld KiB", count, timer.elapsed(), growth);
    if (residentSizeMeaningful)
        QVERIFY2(growth < 4096, qPrintable(QStringLiteral("grew by %1 KiB").arg(growth)));
}

QTEST_GUILESS_MAIN(UpdaterTest)
#include "tst_soak.moc"
