#include "deployment.h"
#include "updater.h"
#include "webupdatefixture.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace updatertest;

// The web-page source driven through the Updater against a real HTTPS server.
class UpdaterTest : public QObject, public WebUpdateFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void check_data();
    void check();
    void makersPageIsAsked();
    void wholeUpdateCycle_data();
    void wholeUpdateCycle();
    void fetchFailures_data();
    void fetchFailures();

private:
    QByteArray withUrl(QByteArray text) const { return text.replace("%URL%", m_server.url(QString()).toUtf8()); }
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    ProgressInitValues::registerMetaType();
    QVERIFY(m_root.isValid() && QDir(m_root.path()).mkpath(QStringLiteral("two")));

    const QString exe = QStringLiteral("/files/") + setupName;
    const QByteArray routes = QStringLiteral(R"({
        "/r1": {"status": 302, "headers": {"Location": "/r2"}},
        "/r2": {"status": 301, "headers": {"Location": "/two/page.html"}},
        "/get/%1": {"status": 302, "headers": {"Location": "%2"}},
        "/get/%1.md5": {"status": 307, "headers": {"Location": "%2.md5"}}
    })")
                                  .arg(setupName, exe)
                                  .toUtf8();
    const QString routesFile = m_certDir.filePath(QStringLiteral("routes.json"));
    QVERIFY(writeFile(routesFile, routes));

    startWebServer({QStringLiteral("--routes"), routesFile});
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
}

void UpdaterTest::init()
{
    QVERIFY(makeWorkFolders());
    m_server.takeRequests();
}

void UpdaterTest::cleanup()
{
    Environment::instance()->removeSetting(UPDATES_HTTP_URL);
    Environment::instance()->removeSetting(UPDATES_HTTP_URL_TEST);
    removeWorkFolders();
}

void UpdaterTest::check_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("address"); // on the server; empty: the setting is not set
    QTest::addColumn<QString>("pagePath");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("version"); // offered; empty: none
    QTest::addColumn<QString>("location");
    QTest::addColumn<QStringList>("errors"); // prefixes; %TEMP% is the updater's folder
    QTest::addColumn<QStringList>("requests");

    const int url = Updater::FILE_SERVER_HTTP_URL;
    const QString page = QStringLiteral("/pages/page.html");
    const QStringList pageRequest{QStringLiteral("GET /pages/page.html")};
    const QString setupUrl = QStringLiteral("%URL%/files/") + setupName;
    const QByteArray link = "<li><a href=\"%URL%/files/VardoStudioSetup_2.1.1.0.exe\">Download</a></li>\n";
    const QString notFound = QStringLiteral("Unable to find setup file in url: %TEMP%/page.html");

    QTest::newRow("a link offers the version in its file name") << url << page << page << "<ul>\n" + link + "</ul>\n"
                                                                << "2.1.1" << setupUrl << QStringList() << pageRequest;
    QTest::newRow("the test address setting is a source too")
        << int(Updater::FILE_SERVER_HTTP_TEST_URL) << page << page << link << "2.1.1" << setupUrl << QStringList()
        << pageRequest;
    QTest::newRow("an address that ends in a slash is read too")
        << url << "/pages/"
        << "/pages/index.html" << link << "2.1.1" << setupUrl << QStringList() << QStringList{"GET /pages/"};
    QTest::newRow("three numbers offer a final release")
        << url << page << page << QByteArray("<a href=\"%URL%/files/VardoStudioSetup_2.2.0.exe\">") << "2.2.0"
        << "%URL%/files/VardoStudioSetup_2.2.0.exe" << QStringList() << pageRequest;
    QTest::newRow("a page behind two redirects is read from the last target")
        << url << "/r1"
        << "/two/page.html" << link << "2.1.1" << setupUrl << QStringList()
        << QStringList{"GET /r1", "GET /r2", "GET /two/page.html"};
    QTest::newRow("without a link the first address is kept")
        << url << "/r1"
        << "/two/page.html" << QByteArray("<p>soon</p>\n") << QString() << "%URL%/r1" << QStringList{notFound}
        << QStringList{"GET /r1", "GET /r2", "GET /two/page.html"};
    QTest::newRow("a link split over two lines is not found")
        << url << page << page << QByteArray("<a href=\"%URL%/files/VardoStudioSetup_2.1.1.0\n.exe\">") << QString()
        << "%URL%" + page << QStringList{notFound} << pageRequest;
    QTest::newRow("a lower-case link is not found")
        << url << page << page << QByteArray("<a href=\"%URL%/files/vardostudiosetup_2.1.1.0.exe\">") << QString()
        << "%URL%" + page << QStringList{notFound} << pageRequest;
    QTest::newRow("a plain http link is refused")
        << url << page << page << QByteArray("<a href=\"http://127.0.0.1/VardoStudioSetup_2.1.1.0.exe\">") << QString()
        << "%URL%" + page
        << QStringList{"Setup file link is not an https address: http://127.0.0.1/VardoStudioSetup_2.1.1.0.exe",
               notFound}
        << pageRequest;
    QTest::newRow("a file name with path parts is refused")
        << url << page << page
        << QByteArray("<a href=\"%URL%/VardoStudioSetup_/../files/VardoStudioSetup_2.1.1.0.exe\">") << QString()
        << "%URL%" + page
        << QStringList{"Setup file link does not end in a plain file name: %URL%/VardoStudioSetup_/..", notFound}
        << pageRequest;
    QTest::newRow("two links on one line match greedily and are refused")
        << url << page << page
        << QByteArray("<a href=\"%URL%/old/VardoStudioSetup_2.1.0.5.exe\">old</a> <a href=\"%URL%/files/"
                      "VardoStudioSetup_2.1.1.0.exe\">new</a>")
        << QString() << "%URL%" + page
        << QStringList{"Setup file link does not end in a plain file name: %URL%/old/VardoStudioSetup_2.1.0.5.exe\"",
               notFound}
        << pageRequest;
    QTest::newRow("a page over 8 MiB is refused")
        << url << page << page << link + QByteArray(8 * 1024 * 1024, 'x') << QString() << "%URL%" + page
        << QStringList{"Web page is too large (more than 8 MiB): page.html", notFound} << pageRequest;
    QTest::newRow("a missing page is a network error")
        << url << "/status/404" << page << link << QString() << "%URL%/status/404"
        << QStringList{QStringLiteral("NetworkError [%1] ").arg(QNetworkReply::ContentNotFoundError)}
        << QStringList{"GET /status/404"};
    QStringList loop;
    for (int i = 0; i <= 10; ++i)
        loop << QStringLiteral("GET /loop/%1").arg(i);
    QTest::newRow("a redirect loop stops at the eleventh redirect")
        << url << "/loop/0" << page << link << QString() << "%URL%/loop/0"
        << QStringList{QStringLiteral("NetworkError [%1] Too many redirects (more than 10)")
                           .arg(QNetworkReply::TooManyRedirectsError)}
        << loop;
    QTest::newRow("no address set asks nothing")
        << url << QString() << page << link << QString() << QString() << QStringList() << QStringList();
}

void UpdaterTest::check()
{
    QFETCH(int, kind);
    QFETCH(QString, address);
    QFETCH(QString, pagePath);
    QFETCH(QByteArray, page);
    QFETCH(QString, version);
    QFETCH(QString, location);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, requests);

    QVERIFY(writeFile(served(pagePath), withUrl(page)));
    const EnvSettingKey key = kind == Updater::FILE_SERVER_HTTP_TEST_URL ? UPDATES_HTTP_URL_TEST : UPDATES_HTTP_URL;
    if (!address.isEmpty())
        Environment::instance()->setSetting(key, m_server.url(address));

    Updater updater(Environment::MODE_SERVER_UPDATES);
    updater.m_fileServers = QVector<int>{kind};
    QSignalSpy questionSpy(&updater, &Updater::installQuestion);
    QSignalSpy statusSpy(&updater, &Updater::progressStatusInfo);
    updater.checkForUpdates(false);

    AppVersion none;
    none.clear();
    QCOMPARE(updater.getNewVersionString(), version.isEmpty() ? none.toString() : version);
    QCOMPARE(questionSpy.count(), version.isEmpty() ? 0 : 1);
    QCOMPARE(updater.m_setupLocation, QString::fromUtf8(withUrl(location.toUtf8())));
    QCOMPARE(updater.m_errors.size(), errors.size());
    for (int i = 0; i < errors.size(); ++i) {
        const QString expected
            = QString::fromUtf8(withUrl(errors.at(i).toUtf8())).replace(QLatin1String("%TEMP%"), updater.m_tempPath);
        QVERIFY2(updater.m_errors.at(i).startsWith(expected), qPrintable(updater.m_errors.at(i)));
    }
    // A page that gave no version is a failed check, not "the latest version".
    if (version.isEmpty()) {
        QCOMPARE(statusSpy.count(), errors.isEmpty() ? 0 : 1);
        if (!errors.isEmpty())
            QCOMPARE(statusSpy.at(0).at(0).value<ProgressInitValues>().text(),
                QStringLiteral("Warning: ") + updater.m_errors.first());
    }
    QCOMPARE(m_server.takeRequests(), requests);
}

void UpdaterTest::makersPageIsAsked()
{
    Updater updater(Environment::MODE_SERVER_UPDATES);
    updater.m_fileServer = Updater::FILE_SERVER_HTTP_PAGE;
    updater.checkSetupFile();
    QCOMPARE(updater.m_setupLocation, QString::fromUtf8(deployment::updatesPageUrl));
    // Nothing serves the maker's page here; the attempt is what counts.
    QCOMPARE(updater.m_errors.size(), 1);
    QVERIFY2(
        updater.m_errors.first().startsWith(QLatin1String("NetworkError [")), qPrintable(updater.m_errors.first()));
}

void UpdaterTest::wholeUpdateCycle_data()
{
    QTest::addColumn<QString>("linkPath");
    QTest::addColumn<QStringList>("requests");

    const QString exe = QStringLiteral("GET /files/") + setupName;
    const QString get = QStringLiteral("GET /get/") + setupName;
    QTest::newRow("direct link") << "/files/" + setupName << QStringList{exe + ".md5", exe};
    QTest::newRow("program and companion behind redirects")
        << "/get/" + setupName << QStringList{get + ".md5", exe + ".md5", get, exe};
}

// The way a host drives an update: every step is an answer to a signal. For a
// web page the updater starts the setup program itself.
void UpdaterTest::wholeUpdateCycle()
{
    QFETCH(QString, linkPath);
    QFETCH(QStringList, requests);

    QVERIFY(serveSetupProgram());
    QVERIFY(writeFile(
        served(QStringLiteral("/pages/page.html")), withUrl("<a href=\"%URL%" + linkPath.toUtf8() + "\">Setup</a>\n")));
    Environment::instance()->setSetting(UPDATES_HTTP_URL, m_server.url(QStringLiteral("/pages/page.html")));

    Updater updater(Environment::MODE_SERVER_UPDATES);
    updater.m_fileServers = QVector<int>{Updater::FILE_SERVER_HTTP_URL};
    QString question;
    connect(&updater, &Updater::installQuestion, &updater, [&](QString const &text) {
        question = text;
        updater.prepareToUpdateApp(7);
    });
    QSignalSpy closeSpy(&updater, &Updater::closeApplication);
    QSignalSpy errorSpy(&updater, &Updater::errorsOccured);
    QSignalSpy removeSpy(&updater, &Updater::removeProgressBar);
    QSignalSpy downloadedSpy(&updater, &Updater::setupFileDownloaded);
    QSignalSpy progressSpy(&updater, &Updater::progressInfo);

    updater.setProgressBarId(3);
    updater.checkForUpdates(false);
    QCOMPARE(
        question, QStringLiteral("New version is available: 2.1.1\nYour version: 2.1.0\n\nDo you want to download?"));
    QCOMPARE(m_server.takeRequests(), QStringList{"GET /pages/page.html"});

    QVERIFY(closeSpy.wait(15000));
    QCOMPARE(errorSpy.count(), 0);
    QCOMPARE(downloadedSpy.count(), 0);
    QCOMPARE(m_server.takeRequests(), requests);
    QCOMPARE(updater.m_setupMd5, md5Of(served(QStringLiteral("/files/") + setupName)));

    QList<int> removed;
    for (QList<QVariant> const &args : removeSpy)
        removed << args.at(0).toInt();
    QCOMPARE(removed, (QList<int>{-1, 3, 7}));
    bool complete = false;
    for (QList<QVariant> const &args : progressSpy) {
        if (args.at(0).toInt() == 7 && args.at(1).toInt() == 100)
            complete = args.at(2).toString().startsWith(QStringLiteral("Downloading ") + setupName + ": ");
    }
    QVERIFY(complete);

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argsFile()), 15000);
    QFile args(argsFile());
    QVERIFY(args.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList items = QString::fromUtf8(args.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(items.size(), 4);
    QCOMPARE(QFileInfo(items.at(0)).canonicalFilePath(),
        QFileInfo(QDir::tempPath() + QStringLiteral("/vsupd/") + setupName).canonicalFilePath());
    QCOMPARE(items.mid(1, 2), (QStringList{"upd=true", "runAfterInst=true"}));
    QCOMPARE(items.at(3), QStringLiteral("instPath=") + QCoreApplication::applicationDirPath());
}

void UpdaterTest::fetchFailures_data()
{
    QTest::addColumn<QString>("linkPath");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error"); // prefix of the one errorsOccured text

    const QString exe = QStringLiteral("/files/") + setupName;
    QTest::newRow("setup program missing")
        << exe << "no program" << QStringLiteral("Network error:\n%1 - ").arg(QNetworkReply::ContentNotFoundError);
    QTest::newRow("setup program behind a redirect loop")
        << "/loop/0?" + setupName << QString()
        << QStringLiteral("Network error:\n%1 - Too many redirects").arg(QNetworkReply::TooManyRedirectsError);
    QTest::newRow("no companion") << exe << "no companion"
                                  << "MD5 sum error!";
    QTest::newRow("empty companion") << exe << "empty companion"
                                     << "MD5 sum error!";
    QTest::newRow("companion of another file") << exe << "other companion"
                                               << "MD5 sum error!";
    // The host may delete the updater from the event loop that the transfer
    // runs: the transfer ends with it, and nothing is left behind.
    QTest::newRow("updater deleted during the download") << "/endless?" + setupName << "delete" << QString();
    QTest::newRow("updater deleted later during the download") << "/endless?" + setupName << "deleteLater" << QString();
}

void UpdaterTest::fetchFailures()
{
    QFETCH(QString, linkPath);
    QFETCH(QString, fault);
    QFETCH(QString, error);

    QVERIFY(serveSetupProgram());
    const QString program = served(QStringLiteral("/files/") + setupName);
    if (fault == QLatin1String("no program"))
        QVERIFY(QFile::remove(program));
    else if (fault == QLatin1String("no companion"))
        QVERIFY(QFile::remove(program + QStringLiteral(".md5")));
    else if (fault == QLatin1String("empty companion"))
        QVERIFY(writeFile(program + QStringLiteral(".md5"), QByteArray()));
    else if (fault == QLatin1String("other companion"))
        QVERIFY(writeFile(program + QStringLiteral(".md5"), "d41d8cd98f00b204e9800998ecf8427e\n"));
    QVERIFY(writeFile(
        served(QStringLiteral("/pages/page.html")), withUrl("<a href=\"%URL%" + linkPath.toUtf8() + "\">Setup</a>\n")));
    Environment::instance()->setSetting(UPDATES_HTTP_URL, m_server.url(QStringLiteral("/pages/page.html")));

    QPointer<Updater> updater = new Updater(Environment::MODE_SERVER_UPDATES);
    updater->m_fileServers = QVector<int>{Updater::FILE_SERVER_HTTP_URL};
    updater->checkForUpdates(false);
    QVERIFY(updater->isNewVersion());

    QSignalSpy errorSpy(updater, &Updater::errorsOccured);
    QSignalSpy closeSpy(updater, &Updater::closeApplication);
    connect(updater, &Updater::progressInfo, this, [&] {
        if (fault == QLatin1String("delete"))
            delete updater;
        else if (fault == QLatin1String("deleteLater"))
            updater->deleteLater();
        fault.clear();
    });
    updater->updateApp();
    if (error.isEmpty()) {
        QVERIFY(updater.isNull());
        QCOMPARE(errorSpy.count() + closeSpy.count(), 0);
        QVERIFY(!QFileInfo::exists(QDir::tempPath() + QStringLiteral("/vsupd")));
        return;
    }
    delete updater;
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY2(errorSpy.at(0).at(0).toString().startsWith(error), qPrintable(errorSpy.at(0).at(0).toString()));
    QCOMPARE(errorSpy.at(0).at(1).toString(), QStringLiteral("Version update"));
    QCOMPARE(closeSpy.count(), 0);
    QVERIFY(!QFileInfo::exists(argsFile()));
}

QTEST_MAIN(UpdaterTest)
#include "tst_updater_web.moc"
