#include "envtesting.h"
#include "httpstestserver.h"
#include "urlfiledownloader_p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <sys/resource.h>

using namespace envtest;

// Records the log lines written while it lives, and passes them on.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        s_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(s_previous); }
    static QStringList const &lines() { return s_lines; }

private:
    static void handle(QtMsgType type, QMessageLogContext const &context, QString const &message)
    {
        s_lines << message;
        s_previous(type, context, message);
    }
    static QStringList s_lines;
    static QtMessageHandler s_previous;
};
QStringList LogCapture::s_lines;
QtMessageHandler LogCapture::s_previous = nullptr;

class tst_UrlFileDownloader : public QObject
{
    Q_OBJECT

public:
    enum Server { Main, Plain, Tls11, OtherHost };
    Q_ENUM(Server)

private slots:
    void initTestCase();
    void cleanup();

    void download_data();
    void download();
    void redirect_data();
    void redirect();
    void notRedirect_data();
    void notRedirect();
    void refusedRedirect_data();
    void refusedRedirect();
    void followedByCaller_data();
    void followedByCaller();
    void failedTransfer_data();
    void failedTransfer();
    void tlsRefused_data();
    void tlsRefused();
    void transferTimeout_data();
    void transferTimeout();
    void unopenableTarget_data();
    void unopenableTarget();
    void writeFailure();

private:
    HttpsTestServer &server(Server which);
    QString root(QString const &name) const { return m_dir.path() + QStringLiteral("/root/") + name; }
    QString out(QString const &name) const { return m_dir.path() + QStringLiteral("/out/") + name; }
    // Fills in %PORT% and %PLAINPORT%.
    QString expand(QString text) const;
    static QByteArray digest(QString const &path);
    static QString redirectPath(int code, QString const &location);
    // One download run to its end: what each signal carried.
    struct Outcome {
        QList<QList<QVariant>> downloaded, redirected, progress;
        QNetworkReply::NetworkError error() const
        {
            return downloaded.value(0).value(0).value<QNetworkReply::NetworkError>();
        }
    };
    static Outcome fetch(QUrl const &url, QString const &target, bool infoMode, int timeout = 0);

    QTemporaryDir m_dir;
    HttpsTestServer m_main;
    HttpsTestServer m_plain;
    HttpsTestServer m_tls11;
    HttpsTestServer m_otherHost;
};

void tst_UrlFileDownloader::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<QNetworkReply::NetworkError>();
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("root/files")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("out")));

    auto writeRandom = [](QString const &path, int size) {
        QByteArray data(size, Qt::Uninitialized);
        QRandomGenerator(size).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
        return writeFile(path, data);
    };
    QVERIFY(writeRandom(root(QStringLiteral("small.bin")), 100 * 1024));
    QVERIFY(writeRandom(root(QStringLiteral("big.bin")), 24 * 1024 * 1024));

    // Status codes that are not redirects, with a Location all the same.
    QJsonObject routes;
    for (int code : {304, 306}) {
        routes.insert(QStringLiteral("/r%1").arg(code),
            QJsonObject{{QStringLiteral("status"), code},
                {QStringLiteral("headers"), QJsonObject{{QStringLiteral("Location"), QStringLiteral("/small.bin")}}}});
    }
    const QString routesFile = m_dir.path() + QStringLiteral("/routes.json");
    QVERIFY(writeFile(routesFile, QJsonDocument(routes).toJson()));

    QVERIFY(HttpsTestServer::makeCertificate(m_dir.path(), QStringLiteral("server")));
    QVERIFY(HttpsTestServer::makeCertificate(m_dir.path(), QStringLiteral("other"), QStringLiteral("other.example")));
    // Both are trusted: the only fault of the second is the host name it names.
    QVERIFY(HttpsTestServer::trustCertificate(m_dir.path() + QStringLiteral("/server.pem")));
    QVERIFY(HttpsTestServer::trustCertificate(m_dir.path() + QStringLiteral("/other.pem")));

    const QString server = m_dir.path() + QStringLiteral("/server");
    QVERIFY(m_main.start(server, root(QString()), {QStringLiteral("--routes"), routesFile}));
    QVERIFY(m_plain.start(server, root(QString()), {QStringLiteral("--plain")}));
    m_plain.setScheme(QStringLiteral("http"));
    QVERIFY(m_tls11.start(server, root(QString()), {QStringLiteral("--max-tls"), QStringLiteral("1.1")}));
    QVERIFY(m_otherHost.start(m_dir.path() + QStringLiteral("/other"), root(QString())));
}

void tst_UrlFileDownloader::cleanup()
{
    QDir outDir(out(QString()));
    QVERIFY(outDir.removeRecursively());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("out")));
    for (Server which : {Main, Plain, Tls11, OtherHost})
        server(which).takeRequests();
}

HttpsTestServer &tst_UrlFileDownloader::server(Server which)
{
    switch (which) {
    case Plain: return m_plain;
    case Tls11: return m_tls11;
    case OtherHost: return m_otherHost;
    case Main: break;
    }
    return m_main;
}

QString tst_UrlFileDownloader::expand(QString text) const
{
    text.replace(QStringLiteral("%PORT%"), QString::number(m_main.port()));
    text.replace(QStringLiteral("%PLAINPORT%"), QString::number(m_plain.port()));
    return text;
}

QByteArray tst_UrlFileDownloader::digest(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

QString tst_UrlFileDownloader::redirectPath(int code, QString const &location)
{
    return QStringLiteral("/redirect/%1?to=%2").arg(code).arg(QString::fromLatin1(QUrl::toPercentEncoding(location)));
}

tst_UrlFileDownloader::Outcome tst_UrlFileDownloader::fetch(
    QUrl const &url, QString const &target, bool infoMode, int timeout)
{
    UrlFileDownloader downloader(nullptr);
    if (timeout > 0)
        downloader.setTransferTimeout(timeout);
    QSignalSpy downloaded(&downloader, &UrlFileDownloader::downloaded);
    QSignalSpy redirected(&downloader, &UrlFileDownloader::redirected);
    QSignalSpy progress(&downloader, &UrlFileDownloader::downloadProgress);
    downloader.startDownload(url, target, infoMode);
    return {downloaded, redirected, progress};
}

void tst_UrlFileDownloader::download_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("existingTarget");
    QTest::addColumn<bool>("infoMode");

    QTest::newRow("a file arrives whole, with progress up to its size") << "small.bin" << false << false;
    QTest::newRow("a big file is written piece by piece and arrives whole") << "big.bin" << false << false;
    QTest::newRow("a longer file at the target is replaced, not overwritten in part") << "small.bin" << true << true;
}

void tst_UrlFileDownloader::download()
{
    QFETCH(QString, source);
    QFETCH(bool, existingTarget);
    QFETCH(bool, infoMode);

    const QString target = out(QStringLiteral("target.bin"));
    if (existingTarget)
        QVERIFY(writeFile(target, QByteArray(300 * 1024, 'x')));

    const Outcome run = fetch(QUrl(m_main.url(QLatin1Char('/') + source)), target, infoMode);

    QCOMPARE(run.redirected.count(), 0);
    QCOMPARE(run.downloaded.count(), 1);
    QCOMPARE(run.error(), QNetworkReply::NoError);
    QCOMPARE(run.downloaded.at(0).at(2).toString(), target);
    QCOMPARE(digest(target), digest(root(source)));

    const qint64 size = QFileInfo(root(source)).size();
    QVERIFY(!run.progress.isEmpty());
    QCOMPARE(run.progress.last().at(0).toLongLong(), size);
    QCOMPARE(run.progress.last().at(1).toLongLong(), size);
    qint64 previous = 0;
    for (auto const &step : run.progress) {
        QVERIFY(step.at(0).toLongLong() >= previous);
        previous = step.at(0).toLongLong();
    }
}

void tst_UrlFileDownloader::redirect_data()
{
    QTest::addColumn<Server>("from");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("infoMode");

    QTest::newRow("301 to an absolute address") << Main << 301 << "https://127.0.0.1:%PORT%/small.bin"
                                                << "https://127.0.0.1:%PORT%/small.bin" << false;
    QTest::newRow("302 to a bare path keeps scheme and host") << Main << 302 << "/files/a.exe"
                                                              << "https://127.0.0.1:%PORT%/files/a.exe" << false;
    QTest::newRow("303 to a relative name resolves against the request's folder")
        << Main << 303 << "next/b.exe"
        << "https://127.0.0.1:%PORT%/redirect/next/b.exe" << false;
    QTest::newRow("307 to another https host") << Main << 307 << "https://other.example/c.exe"
                                               << "https://other.example/c.exe" << false;
    QTest::newRow("307 to a scheme-relative address stays on https") << Main << 307 << "//localhost:%PORT%/d.exe"
                                                                     << "https://localhost:%PORT%/d.exe" << false;
    QTest::newRow("308 while reading a page") << Main << 308 << "/VardoStudioSetup_2.1.0.3.exe"
                                              << "https://127.0.0.1:%PORT%/VardoStudioSetup_2.1.0.3.exe" << true;
    QTest::newRow("http to http is a plain redirect") << Plain << 302 << "/small.bin"
                                                      << "http://127.0.0.1:%PLAINPORT%/small.bin" << true;
    QTest::newRow("http up to https is a plain redirect") << Plain << 301 << "https://127.0.0.1:%PORT%/small.bin"
                                                          << "https://127.0.0.1:%PORT%/small.bin" << false;
}

void tst_UrlFileDownloader::redirect()
{
    QFETCH(Server, from);
    QFETCH(int, code);
    QFETCH(QString, location);
    QFETCH(QString, expected);
    QFETCH(bool, infoMode);
    expected = expand(expected);

    QTest::ignoreMessage(QtWarningMsg,
        QRegularExpression(QStringLiteral("^Request: .*/redirect/%1\\?to=.* was redirected with code: %1$").arg(code)));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Redirected to: ") + expected));

    const Outcome run
        = fetch(QUrl(server(from).url(redirectPath(code, expand(location)))), out(QStringLiteral("r")), infoMode);

    QCOMPARE(run.downloaded.count(), 0);
    QCOMPARE(run.redirected.count(), 1);
    QCOMPARE(run.redirected.at(0).at(0).toString(), expected);
}

void tst_UrlFileDownloader::notRedirect_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("logsRedirect");

    QTest::newRow("304 with a Location is not a redirect") << "/r304" << false;
    QTest::newRow("306 with a Location is not a redirect") << "/r306" << false;
    QTest::newRow("302 without a Location ends as a download") << "/redirect/302" << true;
    // Qt gives no redirection target for 305: its Location names a proxy.
    QTest::newRow("305 use-proxy ends as a download") << "/redirect/305?to=https%3A%2F%2Fother.example%2F" << true;
}

void tst_UrlFileDownloader::notRedirect()
{
    QFETCH(QString, path);
    QFETCH(bool, logsRedirect);

    if (logsRedirect)
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("^Request: .* was redirected with code: ")));

    LogCapture log;
    const Outcome run = fetch(QUrl(m_main.url(path)), out(QStringLiteral("n")), false);

    // The status code alone decides; these replies carry a Location all the same.
    QCOMPARE(log.lines().filter(QRegularExpression(QStringLiteral("^Request: "))).size(), logsRedirect ? 1 : 0);

    QCOMPARE(run.redirected.count(), 0);
    QCOMPARE(run.downloaded.count(), 1);
    QCOMPARE(run.error(), QNetworkReply::NoError);
    QVERIFY(QFile::exists(out(QStringLiteral("n"))));
}

void tst_UrlFileDownloader::refusedRedirect_data()
{
    QTest::addColumn<Server>("from");
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("infoMode");
    QTest::addColumn<QNetworkReply::NetworkError>("error");

    QTest::newRow("https down to http while fetching: error, no file")
        << Main << "http://127.0.0.1:%PLAINPORT%/small.bin" << false << QNetworkReply::InsecureRedirectError;
    QTest::newRow("https down to http while reading a page: error, body kept")
        << Main << "http://127.0.0.1:%PLAINPORT%/small.bin" << true << QNetworkReply::InsecureRedirectError;
    QTest::newRow("https to ftp") << Main << "ftp://127.0.0.1/small.bin" << false
                                  << QNetworkReply::ProtocolUnknownError;
    QTest::newRow("https to a local file")
        << Main << "file:///etc/passwd" << true << QNetworkReply::ProtocolUnknownError;
    QTest::newRow("http to a local file")
        << Plain << "file:///etc/passwd" << false << QNetworkReply::ProtocolUnknownError;
}

void tst_UrlFileDownloader::refusedRedirect()
{
    QFETCH(Server, from);
    QFETCH(QString, location);
    QFETCH(bool, infoMode);
    QFETCH(QNetworkReply::NetworkError, error);
    location = expand(location);

    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("^Request: .* was redirected with code: 302$")));
    QTest::ignoreMessage(QtCriticalMsg, qPrintable(QStringLiteral("Redirect refused: ") + location));
    if (!infoMode)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: .*refused")));

    const QString target = out(QStringLiteral("refused"));
    const Outcome run = fetch(QUrl(server(from).url(redirectPath(302, location))), target, infoMode);

    QCOMPARE(run.redirected.count(), 0);
    QCOMPARE(run.downloaded.count(), 1);
    QCOMPARE(run.error(), error);
    QVERIFY(run.downloaded.at(0).at(1).toString().contains(location));
    QCOMPARE(run.downloaded.at(0).at(2).toString(), target);
    QCOMPARE(QFile::exists(target), infoMode);
    if (from == Main)
        QCOMPARE(m_plain.takeRequests(), QStringList());
}

void tst_UrlFileDownloader::followedByCaller_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("arrives");

    QTest::newRow("two redirects in a row end at the file")
        << redirectPath(301, redirectPath(307, QStringLiteral("/small.bin"))) << 2 << true;
    QTest::newRow("a redirect loop runs until the caller stops following") << "/loop/0" << 11 << false;
}

// The user follows a redirect from inside the signal, with a new downloader,
// while the first one is still finishing; it gives up after ten in a row.
void tst_UrlFileDownloader::followedByCaller()
{
    QFETCH(QString, path);
    QFETCH(int, hops);
    QFETCH(bool, arrives);

    const QString target = out(QStringLiteral("followed.bin"));
    int redirects = 0;
    QList<QNetworkReply::NetworkError> outcomes;
    std::function<void(QUrl const &)> fetch = [&](QUrl const &url) {
        UrlFileDownloader downloader(nullptr);
        connect(&downloader, &UrlFileDownloader::redirected, this, [&](QString const &newUrl) {
            if (++redirects <= 10)
                fetch(QUrl(newUrl));
        });
        connect(&downloader, &UrlFileDownloader::downloaded, this,
            [&](QNetworkReply::NetworkError error, QString const &, QString const &) { outcomes << error; });
        downloader.startDownload(url, target, false);
    };
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Request: |^Redirected to: ")));
    for (int i = 1; i < 2 * hops; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Request: |^Redirected to: ")));
    fetch(QUrl(m_main.url(path)));

    QCOMPARE(redirects, hops);
    if (arrives) {
        QCOMPARE(outcomes, QList<QNetworkReply::NetworkError>{QNetworkReply::NoError});
        QCOMPARE(digest(target), digest(root(QStringLiteral("small.bin"))));
    } else {
        QVERIFY(outcomes.isEmpty());
    }
}

void tst_UrlFileDownloader::failedTransfer_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("infoMode");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<QByteArray>("keptBody");

    const auto anyError = QNetworkReply::UnknownNetworkError;
    QTest::newRow("404 while fetching leaves no file")
        << "/status/404" << false << QNetworkReply::ContentNotFoundError << QByteArray();
    QTest::newRow("404 while reading a page keeps the body")
        << "/status/404" << true << QNetworkReply::ContentNotFoundError << QByteArray("status body\n");
    QTest::newRow("500 while fetching leaves no file")
        << "/status/500" << false << QNetworkReply::InternalServerError << QByteArray();
    QTest::newRow("a body cut off while fetching leaves no file")
        << "/cut/200000/1000" << false << anyError << QByteArray();
    QTest::newRow("a body cut off while reading a page keeps what arrived")
        << "/cut/200000/1000" << true << anyError << QByteArray(1000, 'c');
    QTest::newRow("nobody listening") << "closed" << false << QNetworkReply::ConnectionRefusedError << QByteArray();
}

void tst_UrlFileDownloader::failedTransfer()
{
    QFETCH(QString, path);
    QFETCH(bool, infoMode);
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(QByteArray, keptBody);

    QUrl url(m_main.url(path));
    if (path == QLatin1String("closed")) {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        url = QUrl(QStringLiteral("https://127.0.0.1:%1/small.bin").arg(listener.serverPort()));
    }

    QTest::ignoreMessage(
        QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: [A-Za-z]+Error, description: ")));
    if (!infoMode)
        QTest::ignoreMessage(
            QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: (?!.*, description: )")));

    // A file left from an earlier attempt must not survive a failed one.
    const QString target = out(QStringLiteral("failed.bin"));
    QVERIFY(writeFile(target, QByteArray(5000, 's')));
    const Outcome run = fetch(url, target, infoMode);

    QCOMPARE(run.redirected.count(), 0);
    QCOMPARE(run.downloaded.count(), 1);
    if (error == QNetworkReply::UnknownNetworkError)
        QVERIFY2(run.error() != QNetworkReply::NoError, "a cut-off body is reported as a success");
    else
        QCOMPARE(run.error(), error);
    QVERIFY(!run.downloaded.at(0).at(1).toString().isEmpty());
    QCOMPARE(run.downloaded.at(0).at(2).toString(), target);

    QCOMPARE(QFile::exists(target), infoMode);
    if (infoMode)
        QCOMPARE(readAll(target), keptBody);
}

void tst_UrlFileDownloader::tlsRefused_data()
{
    QTest::addColumn<Server>("which");

    QTest::newRow("a server that speaks only TLS 1.1") << Tls11;
    QTest::newRow("a trusted certificate for another host name") << OtherHost;
}

void tst_UrlFileDownloader::tlsRefused()
{
    QFETCH(Server, which);
    HttpsTestServer &peer = server(which);

    if (which == Tls11) {
        // Prove that the server really completes a TLS 1.1 handshake, so that
        // the failure below is the client's refusal.
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(QStringLiteral("openssl"),
            {QStringLiteral("s_client"), QStringLiteral("-connect"), QStringLiteral("127.0.0.1:%1").arg(peer.port()),
                QStringLiteral("-tls1_1"), QStringLiteral("-cipher"), QStringLiteral("DEFAULT@SECLEVEL=0")});
        QVERIFY(client.waitForStarted());
        client.closeWriteChannel();
        QVERIFY(client.waitForFinished(30000));
        const QString transcript = QString::fromUtf8(client.readAll());
        QVERIFY2(
            transcript.contains(QRegularExpression(QStringLiteral("Protocol +: TLSv1\\.1"))), qPrintable(transcript));
    }

    if (which == OtherHost) {
        // The certificate is trusted and sound for the name it carries, so
        // the failure below is about the host name alone.
        QSslSocket socket;
        socket.setPeerVerifyName(QStringLiteral("other.example"));
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), peer.port());
        QVERIFY2(socket.waitForEncrypted(30000), qPrintable(socket.errorString()));
    }

    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: SslHandshakeFailedError")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: (?!.*, description: )")));

    const QString target = out(QStringLiteral("tls.bin"));
    const Outcome run = fetch(QUrl(peer.url(QStringLiteral("/small.bin"))), target, false);

    QCOMPARE(run.downloaded.count(), 1);
    QCOMPARE(run.error(), QNetworkReply::SslHandshakeFailedError);
    QVERIFY(!QFile::exists(target));
    QCOMPARE(peer.takeRequests(), QStringList());
}

void tst_UrlFileDownloader::transferTimeout_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QNetworkReply::NetworkError>("error");

    QTest::newRow("a server that stops sending is given up") << "/trickle/5/4000" << 300 << QNetworkReply::TimeoutError;
    // The time-out is about silence, not the length of the whole transfer.
    QTest::newRow("a slow but steady server is waited for") << "/trickle/10/300" << 1500 << QNetworkReply::NoError;
}

void tst_UrlFileDownloader::transferTimeout()
{
    QFETCH(QString, path);
    QFETCH(int, timeout);
    QFETCH(QNetworkReply::NetworkError, error);

    if (error != QNetworkReply::NoError) {
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: .*, description: ")));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: No data received")));
    }

    const QString target = out(QStringLiteral("slow.bin"));
    const Outcome run = fetch(QUrl(m_main.url(path)), target, false, timeout);

    QCOMPARE(run.downloaded.count(), 1);
    QCOMPARE(run.error(), error);
    QCOMPARE(QFile::exists(target), error == QNetworkReply::NoError);
}

void tst_UrlFileDownloader::unopenableTarget_data()
{
    QTest::addColumn<QString>("target");

    QTest::newRow("a folder that does not exist") << "missing/x.bin";
    QTest::newRow("a folder in the way") << "folder";
}

void tst_UrlFileDownloader::unopenableTarget()
{
    QFETCH(QString, target);
    target = out(target);
    QVERIFY(QDir(out(QString())).mkpath(QStringLiteral("folder")));

    QTest::ignoreMessage(QtWarningMsg,
        QRegularExpression(
            QStringLiteral("^Unable to save the file %1: .+\\.$").arg(QRegularExpression::escape(target))));
    const Outcome run = fetch(QUrl(m_main.url(QStringLiteral("/small.bin"))), target, false);

    QCOMPARE(run.downloaded.count() + run.redirected.count() + run.progress.count(), 0);
    QCOMPARE(m_main.takeRequests(), QStringList());
}

// A write that fails (here: the file size limit) must not end as a success
// with a truncated setup program.
void tst_UrlFileDownloader::writeFailure()
{
    struct rlimit saved {
    };
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 256 * 1024;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: .*, description: ")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Download error: Unable to save the file")));
    const QString target = out(QStringLiteral("limited.bin"));
    const Outcome run = fetch(QUrl(m_main.url(QStringLiteral("/big.bin"))), target, false);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(run.downloaded.count(), 1);
    QCOMPARE(run.error(), QNetworkReply::OperationCanceledError);
    // The system's own reason, not "Unknown error".
    QCOMPARE(run.downloaded.at(0).at(1).toString(),
        QStringLiteral("Unable to save the file %1: %2.").arg(target, QString::fromLocal8Bit(strerror(EFBIG))));
    QVERIFY(!QFile::exists(target));
}

QTEST_GUILESS_MAIN(tst_UrlFileDownloader)
#include "tst_urlfiledownloader.moc"
