#include "updater.h"
#include "updater_p.h"
#include "webupdatefixture.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStandardPaths>

using namespace updatertest;

// Hostile and broken HTTPS servers behind the web-page source: every fault
// ends in one clear error, nothing unverified starts, and the same updater
// then checks and installs from a sound page.
class UpdaterTest : public QObject, public WebUpdateFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faults_data();
    void faults();

private:
    QString tempFolder() const { return QDir::tempPath() + QStringLiteral("/vsupd"); }
    QString address(QString const &server, QString const &path) const;
    bool writePage(QString const &link) const;

    HttpsTestServer m_otherHost; // its certificate names another host
    HttpsTestServer m_untrusted; // its certificate is trusted by nobody
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);

    startWebServer();
    const QString dir = m_certDir.path();
    QVERIFY(m_otherHost.startTrusted(
        dir, m_root.path(), {}, QStringLiteral("other"), QStringLiteral("updates.example.org")));
    QVERIFY(HttpsTestServer::makeCertificate(dir, QStringLiteral("untrusted")));
    QVERIFY(m_untrusted.start(m_certDir.filePath(QStringLiteral("untrusted")), m_root.path()));

    const QString program = served(QStringLiteral("/files/") + setupName);
    QVERIFY(writeSetupProgram(program, m_certDir.filePath(QStringLiteral("args.txt"))));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));

    // Short bounds, so that the silent and the endless server end quickly.
    updater_limits::setTransferTimeout(500);
    updater_limits::setMaxSetupFileSize(4 * 1024 * 1024);
}

void UpdaterTest::init()
{
    QVERIFY(makeWorkFolders());
    // The program records where it was started from in this test's folder.
    QVERIFY(serveSetupProgram());
}

void UpdaterTest::cleanup()
{
    Environment::instance()->removeSetting(UPDATES_HTTP_URL);
    removeWorkFolders();
}

QString UpdaterTest::address(QString const &server, QString const &path) const
{
    if (server == QLatin1String("other host"))
        return m_otherHost.url(path);
    if (server == QLatin1String("untrusted"))
        return m_untrusted.url(path);
    return m_server.url(path);
}

bool UpdaterTest::writePage(QString const &link) const
{
    return writeFile(served(QStringLiteral("/pages/page.html")), "<a href=\"" + link.toUtf8() + "\">Setup</a>\n");
}

void UpdaterTest::faults_data()
{
    QTest::addColumn<bool>("onPage"); // the page itself is faulty, else the setup program's address
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error"); // QNetworkReply::NetworkError the host is told
    QTest::addColumn<QString>("text"); // beginning of the error's description

    const QString name = QStringLiteral("?") + setupName;
    const QString program = QStringLiteral("/files/") + setupName;
    const int canceled = QNetworkReply::OperationCanceledError;

    QTest::newRow("setup program: connection reset mid-body")
        << false << ""
        << "/cut/300000/1000" + name << int(QNetworkReply::RemoteHostClosedError) << QString();
    QTest::newRow("setup program: endless body stops at the size bound")
        << false << ""
        << "/endless" + name << canceled
        << QStringLiteral("The file %TEMP%/endless is larger than 4194304 bytes, download stopped.");
    QTest::newRow("setup program: trickle slower than the time-out")
        << false << ""
        << "/trickle/100/5000" + name << int(QNetworkReply::TimeoutError)
        << QStringLiteral("No data received for 0.5 seconds");
    QTest::newRow("setup program: redirect loop") << false << ""
                                                  << "/loop/0" + name << int(QNetworkReply::TooManyRedirectsError)
                                                  << QStringLiteral("Too many redirects (more than 10)");
    QTest::newRow("setup program: https redirected to http")
        << false << ""
        << "/redirect/302?to=http%3A//127.0.0.1%3A1" + program << int(QNetworkReply::InsecureRedirectError)
        << QStringLiteral("Redirect from a secure to an insecure address refused: http://127.0.0.1:1") + program;
    QTest::newRow("setup program: certificate of another host")
        << false << "other host" << program << int(QNetworkReply::SslHandshakeFailedError) << QString();
    QTest::newRow("setup program: certificate nobody trusts")
        << false << "untrusted" << program << int(QNetworkReply::SslHandshakeFailedError) << QString();

    QTest::newRow("page: connection reset mid-body")
        << true << "" << QStringLiteral("/cut/300000/1000") << int(QNetworkReply::RemoteHostClosedError) << QString();
    QTest::newRow("page: endless body stops at twice the page bound")
        << true << "" << QStringLiteral("/endless") << canceled
        << QStringLiteral("The file %TEMP%/endless is larger than 16777216 bytes, download stopped.");
    QTest::newRow("page: trickle slower than the time-out")
        << true << "" << QStringLiteral("/trickle/100/5000") << int(QNetworkReply::TimeoutError)
        << QStringLiteral("No data received for 0.5 seconds");
    QTest::newRow("page: https redirected to http")
        << true << "" << QStringLiteral("/redirect/301?to=http%3A//127.0.0.1%3A1/pages/page.html")
        << int(QNetworkReply::InsecureRedirectError) << QStringLiteral("Redirect from a secure to an insecure address");
    QTest::newRow("page: certificate of another host") << true << "other host" << QStringLiteral("/pages/page.html")
                                                       << int(QNetworkReply::SslHandshakeFailedError) << QString();
}

void UpdaterTest::faults()
{
    QFETCH(bool, onPage);
    QFETCH(QString, server);
    QFETCH(QString, path);
    QFETCH(int, error);
    QFETCH(QString, text);

    const QString page = m_server.url(QStringLiteral("/pages/page.html"));
    const QString setupLink = m_server.url(QStringLiteral("/files/") + setupName);
    QVERIFY(writePage(onPage ? setupLink : address(server, path)));
    Environment::instance()->setSetting(UPDATES_HTTP_URL, onPage ? address(server, path) : page);

    Updater updater(Environment::MODE_SERVER_UPDATES);
    text.replace(QLatin1String("%TEMP%"), updater.m_tempPath);
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    updater.m_fileServers = QVector<int>{Updater::FILE_SERVER_HTTP_URL};
    updater.checkForUpdates(false);

    if (onPage) {
        // A failed check is a warning, never "the latest version".
        QCOMPARE(questionSpy.count(), 0);
        QCOMPARE(statusSpy.count(), 1);
        const QString warning = statusSpy.at(0).at(0).value<ProgressInitValues>().text();
        const QString expected = QStringLiteral("Warning: NetworkError [%1] %2").arg(error).arg(text);
        QVERIFY2(warning.startsWith(expected), qPrintable(warning));
    } else {
        QCOMPARE(questionSpy.count(), 1);
        updater.updateApp();
        QCOMPARE(errorSpy.count(), 1);
        const QString shown = errorSpy.at(0).at(0).toString();
        const QString expected = QStringLiteral("Network error:\n%1 - %2").arg(error).arg(text);
        QVERIFY2(shown.startsWith(expected), qPrintable(shown));
        QCOMPARE(errorSpy.at(0).at(1).toString(), QStringLiteral("Version update"));
    }
    QCOMPARE(closeSpy.count(), 0);
    QVERIFY(!QFileInfo::exists(argsFile()));
    // Nothing of a failed setup program is left; what the check read (a
    // page, whole or cut off, or a refused redirect's body) stays until the
    // updater goes away, and is never started.
    const QStringList left = QDir(tempFolder()).entryList(QDir::Files);
    if (onPage)
        QVERIFY2(left.filter(QStringLiteral("VardoStudioSetup_")).isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    else
        QCOMPARE(left, QStringList(QStringLiteral("page.html")));
    updater.runSetupFile();
    QCOMPARE(closeSpy.count(), 0);

    // The same updater then checks and installs from a sound page.
    QVERIFY(writePage(setupLink));
    Environment::instance()->setSetting(UPDATES_HTTP_URL, page);
    questionSpy.clear();
    errorSpy.clear();
    updater.m_fileServers = QVector<int>{Updater::FILE_SERVER_HTTP_URL};
    updater.checkForUpdates(false);
    QCOMPARE(questionSpy.count(), 1);
    updater.updateApp();
    QCOMPARE(errorSpy.count(), 0);
    QCOMPARE(closeSpy.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argsFile()), 15000);
}

QTEST_MAIN(UpdaterTest)
#include "tst_faults_web.moc"
