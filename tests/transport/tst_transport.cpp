#include "envtesting.h"
#include "httpstestserver.h"
#include "sftpdownloader.h"
#include "sftpfetch_p.h"
#include "sftpserverprocess.h"
#include "transferpolicy_p.h"
#include "updatetrust_p.h"
#include "urlfiledownloader_p.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <functional>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

using Cause = SftpDownloader::Cause;
Q_DECLARE_METATYPE(SftpDownloader::Cause)

namespace
{

constexpr qint64 chunk = 32768; // the pipelined request length on libssh 0.10
constexpr qint64 c25Size = 24 * chunk + 1000;
constexpr int resuming = 2; // the "pipelined" column: through sftpfetch::fetch, going on after cuts

QByteArray digest(QString const &path)
{
    return QCryptographicHash::hash(envtest::readAll(path), QCryptographicHash::Sha256).toHex();
}

bool writeRandom(QString const &path, qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), int(size / 4));
    return envtest::writeFile(path, data);
}

// The fingerprint of an OpenSSH public key file: SHA-1 as libssh prints it, or SHA-256 as ssh-keygen -lf does.
QString fingerprint(QString const &publicKeyPath, bool sha1)
{
    QByteArray const key = QByteArray::fromBase64(envtest::readAll(publicKeyPath).split(' ').value(1));
    QByteArray const hash = QCryptographicHash::hash(key, sha1 ? QCryptographicHash::Sha1 : QCryptographicHash::Sha256);
    return QString::fromLatin1(sha1 ? hash.toHex(':') : "SHA256:" + hash.toBase64(QByteArray::OmitTrailingEquals));
}

bool connectTo(SftpDownloader &downloader, int port)
{
    return downloader.connectToHost("127.0.0.1", port, "vsfetch", "vsfetch-pass") == 0;
}

} // namespace

class tst_Transport : public QObject
{
    Q_OBJECT

public:
    enum Server { Main, Plain, OtherHost, Proxied }; // Proxied: Main through Plain as its proxy
    Q_ENUM(Server)

private slots:
    void initTestCase();
    void sftpDownload_data();
    void sftpDownload();
    void sftpConnect_data();
    void sftpConnect();
    void sftpList();
    void https_data();
    void https();

private:
    QString path(QString const &name) const { return m_dir.filePath(name); }
    QString expand(QString text) const
    {
        return text.replace(QStringLiteral("%PORT%"), QString::number(m_https[Main].port()))
            .replace(QStringLiteral("%PLAINPORT%"), QString::number(m_https[Plain].port()));
    }

    QTemporaryDir m_dir;
    QString m_knownHosts;
    SftpServerProcess m_sftp;
    HttpsTestServer m_https[3];
};

void tst_Transport::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    transfer_policy::setRetryDelayScale(20);
    qRegisterMetaType<QNetworkReply::NetworkError>();
    QVERIFY(m_dir.isValid());
    // libssh writes where the password database points: the test's own home, never the real one.
    QString const home = QString::fromLocal8Bit(getpwuid(getuid())->pw_dir);
    QVERIFY2(home.startsWith(QStringLiteral(ENV_TEST_BINARY_DIR "/")), qPrintable(home));
    m_knownHosts = home + QStringLiteral("/.ssh/known_hosts");

    QVERIFY(writeRandom(path("root/versions/empty.bin"), 0, 1) && writeRandom(path("root/versions/small.bin"), 100, 2));
    QVERIFY(writeRandom(path("root/versions/c25.bin"), c25Size, 3));
    for (char const *name : {"root/list/setup/x", "root/list/vsver.json", "root/list/setup 1.2.3.exe"})
        QVERIFY(envtest::writeFile(path(name), "x"));
    QVERIFY(QDir().mkpath(path("root/list/empty")) && QDir().mkpath(path("out")));
    SftpServerProcess::Options options;
    options.root = path("root");
    options.control = path("control.json");
    options.stats = path("stats.json");
    QString error;
    QVERIFY2(m_sftp.start(options, &error), qPrintable(error));

    // A status code that is not a redirect, with a Location all the same.
    QByteArray const routes = R"({"/r304": {"status": 304, "headers": {"Location": "/versions/small.bin"}}})";
    QVERIFY(envtest::writeFile(path("routes.json"), routes));
    QVERIFY(m_https[Main].startTrusted(m_dir.path(), options.root, {"--routes", path("routes.json")}));
    QVERIFY(m_https[Plain].start(path("server"), options.root, {QStringLiteral("--plain")}));
    m_https[Plain].setScheme(QStringLiteral("http"));
    // Trusted and sound: its only fault is the host name it names.
    QVERIFY(m_https[OtherHost].startTrusted(
        m_dir.path(), options.root, {QStringLiteral("--log-connections")}, "other", "other.example"));
    transfer_policy::setRetryDelayScale(20);
    qunsetenv("no_proxy");
}

void tst_Transport::sftpDownload_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<int>("pipelined"); // 0, 1 or resuming
    QTest::addColumn<QJsonObject>("faults"); // see sftpserver.py; "shrink": the file shrinks once data arrived
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<QString>("error"); // the start of the one error text
    QTest::addColumn<QString>("local"); // "": a longer file is in the way
    QTest::addColumn<int>("maxSize");
    QTest::addColumn<int>("inFlight"); // read requests the server saw waiting at most; -1: not checked
    auto row = [](char const *name, QString const &remote, int pipelined, QJsonObject const &faults, Cause cause,
                   QString const &error, QString const &local = "x", int maxSize = 0, int inFlight = -1) {
        QTest::newRow(name) << "/versions/" + remote << pipelined << faults << cause << error << local << maxSize
                            << inFlight;
    };
    auto ok = [&](char const *name, QString const &remote, int pipelined, QJsonObject const &faults, int inFlight = -1,
                  int maxSize = 0) { row(name, remote, pipelined, faults, Cause::None, "", "", maxSize, inFlight); };
    auto fault = [](char const *name, QJsonValue value) { return QJsonObject{{QLatin1String(name), value}}; };
    QJsonObject const none, endless = fault("endless", true), shrink = fault("shrink", true);
    QString const lost("Error while reading file: "), tooLarge("Remote file is too large: "), c25("c25.bin");

    ok("empty file, pipelined: no request at all", "empty.bin", true, none, 0);
    ok("25 chunks, pipelined: 20 in flight, never more", c25, true, fault("hold_reads", 20), 20);
    ok("short replies, pipelined: the rest is asked again, no hole", c25, true, fault("short_reads", 1000));
    ok("short replies crossing chunk ends, held", c25, true, {{"short_reads", 30000}, {"hold_reads", 20}}, 20);
    ok("short replies, plain: one in flight", c25, false, fault("short_reads", 1000), 1);
    ok("endless data, pipelined: only the stated size is asked for", "small.bin", true, endless, -1, 1000);
    row("endless data, plain: stops at the limit", "small.bin", false, endless, Cause::TooLarge,
        tooLarge + "more than 1000 bytes received, 100 bytes stated", "x", 1000);
    row("stated size over the limit: refused before writing", "small.bin", true, none, Cause::TooLarge,
        tooLarge + "100 bytes (at most 10)", "x", 10);
    for (bool pipelined : {false, true}) {
        row(pipelined ? "server gone mid-transfer, pipelined" : "server gone mid-transfer, plain", c25, pipelined,
            fault("drop_after", 21 * chunk + 1), Cause::Cut, lost);
        row(pipelined ? "server stops answering, pipelined" : "server stops answering, plain", c25, pipelined,
            fault("stall_after", 100000), Cause::TimedOut, lost + "the server did not answer for 2 seconds");
    }
    row("file shrinks under a plain download: not taken as complete", "copy.bin", false, shrink, Cause::Cut,
        "Size of the downloaded file differs from the remote file: ");
    row("file shrinks, pipelined", "copy.bin", true, shrink, Cause::Cut, lost + "the remote file ended at ");
    row("missing remote file, pipelined: no blank after the colon", "missing.bin", true, none, Cause::RemoteMissing,
        "Can't open file for reading:");
    row("local folder missing", "small.bin", true, none, Cause::LocalFailed, "Can't open file for writing:", "no/x");
    row("not connected", "small.bin", true, none, Cause::NotConnected, "Not connected to a server!");
    ok("cut at half: goes on from what arrived", c25, resuming, {{"drop_after", c25Size / 2}, {"cuts", 1}});
    ok("cut three times: still finishes", c25, resuming, {{"drop_after", 5 * chunk}, {"cuts", 3}});
    row("cut four times: given up, nothing left", c25, resuming, {{"drop_after", 5 * chunk}, {"cuts", 4}}, Cause::Cut,
        lost);
    ok("file changed between cut and resume: starts over", "copy.bin", resuming,
        {{"drop_after", c25Size / 2}, {"cuts", 1}, {"change", true}});
    row("a trickle under the rate floor is given up, naming the floor", c25, true,
        {{"trickle", 50}, {"short_reads", 1000}}, Cause::TimedOut,
        "Transfer stalled: slower than 1048576 bytes/s on average after 0.3 s");
}

void tst_Transport::sftpDownload()
{
    QFETCH(QString, remote);
    QFETCH(int, pipelined);
    QFETCH(QJsonObject, faults);
    QFETCH(QString, local);
    QFETCH(int, maxSize);
    QFETCH(Cause, cause);
    QFETCH(QString, error);
    QFETCH(int, inFlight);

    QString const source = path("root") + remote;
    QString target = path(QStringLiteral("out/") + (local.isEmpty() ? QStringLiteral("download.bin") : local));
    QFile::remove(target);
    if (local.isEmpty())
        QVERIFY(writeRandom(target, QFileInfo(source).size() + 70000, 99));
    bool const shrink = faults.take(QStringLiteral("shrink")).toBool();
    QVERIFY(
        !remote.endsWith("copy.bin") || envtest::writeFile(source, envtest::readAll(path("root/versions/c25.bin"))));
    transfer_policy::setRateFloor(
        faults.contains("trickle") ? transfer_policy::RateFloor{1 << 20, 300} : transfer_policy::RateFloor());
    QVERIFY(SftpServerProcess::writeControl(path("control.json"), faults));
    QFile::remove(path("stats.json"));

    SftpDownloader downloader;
    downloader.setTimeout(error.isEmpty() ? 60 : 2);
    downloader.setMaxFileSize(quint64(maxSize));
    QVERIFY(cause == Cause::NotConnected || connectTo(downloader, m_sftp.port()));
    QSignalSpy progress(&downloader, &SftpDownloader::progress);
    if (shrink)
        connect(&downloader, &SftpDownloader::progress, this, [&] { QFile::resize(source, 0); });
    sftpfetch::Server const server{"127.0.0.1", m_sftp.port(), "vsfetch", "vsfetch-pass"};
    int const result = pipelined == resuming ? sftpfetch::fetch(downloader, server, remote, target)
        : pipelined                          ? downloader.downloadFileAsync(remote, target)
                                             : downloader.downloadFile(remote, target);

    QString const text = downloader.errors().value(0);
    // A libssh text follows the prefix after one blank at most.
    QVERIFY2(
        text.left(error.size()) == error && !text.mid(error.size()).startsWith(QLatin1Char(' ')), qPrintable(text));
    QCOMPARE(downloader.errors().size(), error.isEmpty() ? 0 : 1);
    QCOMPARE(downloader.cause(), cause);
    QCOMPARE(result, error.isEmpty() ? 0 : -1);
    QVERIFY(error.isEmpty() || !QFileInfo::exists(target));
    if (!error.isEmpty())
        return;
    QCOMPARE(digest(target), digest(source));
    qint64 previous = 0;
    for (QList<QVariant> const &emitted : qAsConst(progress)) {
        // Going on after a cut, progress goes on too; only a changed file starts it over.
        QVERIFY(emitted.at(0).toLongLong() > previous || faults.contains("change"));
        QVERIFY(emitted.at(1).toLongLong() == QFileInfo(source).size());
        previous = emitted.at(0).toLongLong();
    }
    QCOMPARE(previous, QFileInfo(source).size());
    int const seen = SftpServerProcess::readStats(path("stats.json")).value("max_outstanding").toInt();
    QVERIFY(inFlight >= 0 ? seen == inFlight : seen <= 20);
}

void tst_Transport::sftpConnect_data()
{
    // The key served after a first contact: "", "same type" or a type; or "resets N": the server resets its first N
    // connections; or "wrong password".
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("pin"); // 0: no pinned key; 1: the served key; 2: another
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<QString>("error"); // %SHA1%, %SHA256%: the served key's fingerprints

    QString const changed(
        "Host key for server changed: it is now:\n%1\nFor security reasons, connection will be stopped");
    QTest::newRow("first contact: the key is recorded") << "" << 0 << Cause::None << "";
    QTest::newRow("a new key of the same type: refused with its fingerprint")
        << "same type" << 0 << Cause::HostKeyRefused << changed.arg("%SHA1%");
    QTest::newRow("a key of another type: refused")
        << "ecdsa-sha2-nistp256" << 0 << Cause::HostKeyRefused
        << "The host key for this server was not found but an othertype of key exists.\nAn attacker might change ";
    QTest::newRow("pinned key, first contact: accepted, nothing recorded") << "" << 1 << Cause::None << "";
    QTest::newRow("pinned key, another one recorded: accepted, the record untouched")
        << "same type" << 1 << Cause::None << "";
    QTest::newRow("another key pinned: refused as changed")
        << "" << 2 << Cause::HostKeyRefused << changed.arg("%SHA256%");
    QTest::newRow("the first two connections reset: tried again, connected") << "resets 2" << 0 << Cause::None << "";
    QTest::newRow("four connections reset: given up after three more tries")
        << "resets 4" << 0 << Cause::ConnectFailed << "Error connecting to host ! Error code: ";
    QTest::newRow("a wrong password: one login, never tried again")
        << "wrong password" << 0 << Cause::LoginRefused << "Error authenticating with password: ";
}

void tst_Transport::sftpConnect()
{
    QFETCH(QString, change);
    QFETCH(int, pin);
    QFETCH(Cause, cause);
    QFETCH(QString, error);

    QTemporaryDir keys;
    QVERIFY(QDir(QFileInfo(m_knownHosts).path()).removeRecursively());
    SftpServerProcess server;
    SftpServerProcess::Options options;
    options.root = keys.path();
    options.hostKey = keys.filePath(QStringLiteral("first"));
    options.stats = keys.filePath(QStringLiteral("stats.json"));
    int const resets = change.startsWith("resets ") ? change.mid(7).toInt() : 0;
    options.arguments = QStringList{"--resets", QString::number(resets)};
    QString const password = change == "wrong password" ? "wrong" : "vsfetch-pass";
    change = resets || password == "wrong" ? QString() : change;
    QString problem;
    QVERIFY2(server.start(options, &problem), qPrintable(problem));
    if (!change.isEmpty()) {
        SftpDownloader first;
        QVERIFY(connectTo(first, server.port()));
        options.port = server.port();
        options.hostKey = keys.filePath(QStringLiteral("second"));
        options.keyType = change == QLatin1String("same type") ? QString() : change;
        QVERIFY2(server.start(options, &problem), qPrintable(problem));
    }
    int const port = server.port();
    QByteArray const known = digest(m_knownHosts);
    QString const sha1 = fingerprint(options.hostKey + ".pub", true),
                  sha256 = fingerprint(options.hostKey + ".pub", false);
    error.replace(QStringLiteral("%SHA1%"), sha1).replace(QStringLiteral("%SHA256%"), sha256);
    if (change.isEmpty() && !pin && cause != Cause::ConnectFailed)
        QTest::ignoreMessage(
            QtInfoMsg, qPrintable("The server is unknown. Do you trust the host key?\nPublic key hash: " + sha1));

    updatetrust::setHostKeyFingerprint(pin ? (pin == 1 ? sha256 : "SHA256:" + QByteArray(43, 'A')) : QString());
    SftpDownloader downloader;
    int const result = sftpfetch::connect(downloader, {"127.0.0.1", port, "vsfetch", password});
    updatetrust::setHostKeyFingerprint(QString());
    // Only a connection that failed before the login is tried again.
    QJsonObject const stats = SftpServerProcess::readStats(options.stats);
    QCOMPARE(stats.value("connections").toInt(), qMin(resets, transfer_policy::ConnectRetries) + 1);
    QCOMPARE(stats.value("logins").toInt(), cause == Cause::None || cause == Cause::LoginRefused ? 1 : 0);

    QCOMPARE(downloader.cause(), cause);
    QCOMPARE(result == 0, cause == Cause::None);
    QCOMPARE(downloader.errors().size(), error.isEmpty() ? 0 : 1);
    QVERIFY2(downloader.errors().value(0).left(error.size()) == error, qPrintable(downloader.errors().value(0)));
    // Refused and pinned keys are never written down.
    QByteArray const entry = "[127.0.0.1]:" + QByteArray::number(port) + " ssh-ed25519";
    QVERIFY(cause == Cause::HostKeyRefused || cause == Cause::ConnectFailed || pin
            ? digest(m_knownHosts) == known
            : envtest::readAll(m_knownHosts).startsWith(entry));
    // Nothing is left to read from after a refusal.
    QMultiHash<int, QString> none;
    QCOMPARE(downloader.listDirectory("/missing", &none), -1);
    QCOMPARE(downloader.cause(), cause == Cause::None ? Cause::RemoteMissing : Cause::NotConnected);
    QVERIFY(cause != Cause::None || downloader.errors().value(0).startsWith("Directory not opened: "));
}

void tst_Transport::sftpList()
{
    SftpDownloader downloader;
    QVERIFY(connectTo(downloader, m_sftp.port()));
    QMultiHash<int, QString> entries;
    QCOMPARE(downloader.listDirectory("/../../list", &entries), 0); // no way above the served root
    QStringList folders = entries.values(0), files = entries.values(1);
    std::sort(folders.begin(), folders.end());
    std::sort(files.begin(), files.end());
    // Folders under 0, files under 1, nothing filtered.
    QVERIFY(folders == QStringList({".", "..", "empty", "setup"})
        && files == QStringList({"setup 1.2.3.exe", "vsver.json"}));
}

void tst_Transport::https_data()
{
    QTest::addColumn<Server>("from");
    QTest::addColumn<QString>("address"); // %PORT%, %PLAINPORT%: the https and the http server's ports
    QTest::addColumn<int>("error"); // the error reported; -1: no download reported
    QTest::addColumn<QString>("content"); // "/...": that served file; "-": no file; "*": some file; else the text
    QTest::addColumn<bool>("infoMode");
    QTest::addColumn<QString>("redirect"); // the last redirect reported
    QTest::addColumn<int>("limit"); // the size limit; negative: the process's file size limit
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("seen"); // "Main | Plain | OtherHost | error text": logs, lines ;-separated, * within one
    QTest::addColumn<int>("floor"); // the rate floor in bytes per second after 200 ms; 0: the default
    auto row = [](char const *name, Server from, QString const &address, int error, QString const &content,
                   bool infoMode = false, QString const &redirect = "", int limit = 0, int timeout = 0,
                   QString const &seen = "", int floor = 0) {
        QTest::newRow(name) << from << address << error << content << infoMode << redirect << limit << timeout << seen
                            << floor;
    };
    auto seen = [&](char const *name, Server from, QString const &address, int error, QString const &content,
                    QString const &log,
                    int floor = 0) { row(name, from, address, error, content, false, "", 0, 0, log, floor); };
    auto redirect = [&](char const *name, Server from, int code, QString const &to, QString const &expected,
                        bool infoMode = false) {
        QString const query = QString::fromLatin1(QUrl::toPercentEncoding(to, "%"));
        row(name, from, QStringLiteral("/redirect/%1?to=%2").arg(code).arg(query), -1, "", infoMode, expected);
    };
    int const ok = QNetworkReply::NoError, anyError = QNetworkReply::UnknownNetworkError;
    int const canceled = QNetworkReply::OperationCanceledError, unknownScheme = QNetworkReply::ProtocolUnknownError;
    QString const small("/versions/small.bin"), main("https://127.0.0.1:%PORT%"), absent("-");
    QString const down("/redirect/302?to=http%3A%2F%2F127.0.0.1%3A%PLAINPORT%%2Fversions%2Fsmall.bin");

    row("a file arrives whole, replacing a longer one", Main, "/versions/c25.bin", ok, "/versions/c25.bin");
    redirect("302 to a bare path keeps scheme and host", Main, 302, "/files/a.exe", main + "/files/a.exe");
    redirect("303 to a relative name: against the request's folder", Main, 303, "n/b", main + "/redirect/n/b");
    redirect("307 scheme-relative stays on https", Main, 307, "//localhost:%PORT%/d", "https://localhost:%PORT%/d");
    redirect("308 while reading a page", Main, 308, "/V_2.1.exe", main + "/V_2.1.exe", true);
    redirect("http to http", Plain, 302, small, "http://127.0.0.1:%PLAINPORT%" + small, true);
    redirect("http up to https", Plain, 301, main + small, main + small);
    row("two redirects followed end at the file", Main,
        "/redirect/301?to=%2Fredirect%2F307%3Fto%3D%252Fversions%252Fsmall.bin", ok, small, false, main + small);
    row("304 with a Location is not a redirect", Main, "/r304", ok, "*");
    row("302 without a Location ends as a download", Main, "/redirect/302", ok, "*");
    row("https down to http while fetching: error, no file", Main, down, QNetworkReply::InsecureRedirectError, absent);
    row("http to a local file", Plain, "/redirect/302?to=file%3A%2F%2F%2Fetc%2Fpasswd", unknownScheme, absent);
    row("404 while fetching leaves no file", Main, "/status/404", QNetworkReply::ContentNotFoundError, absent);
    row("a body cut off while fetching leaves no file", Main, "/cut/200000/1000", anyError, absent);
    row("a body cut off while reading a page keeps what arrived", Main, "/cut/200000/1000", anyError,
        QString(1000, 'c'), true);
    seen("a trusted certificate for another host name: refused, not tried again", OtherHost, small,
        QNetworkReply::SslHandshakeFailedError, absent, "* | * | ACCEPT | *");
    QString const c25("/versions/c25.bin"), flaky("/flaky/%1/versions/c25.bin");
    seen("cut once at half: continued from there under If-Range", Main, flaky.arg(1), ok, c25,
        "*;GET /flaky/1/versions/c25.bin bytes=*- if \"versions/c25.bin\" | *");
    seen("cut three times: still finishes", Main, flaky.arg(3), ok, c25,
        "GET *;GET *;GET *;GET /flaky/3/* bytes=*- if * | *");
    seen("a server that ignores ranges: all again", Main, flaky.arg(1) + "?norange", ok, c25,
        "GET *;GET * bytes=*-* | *");
    seen("the file changed after the cut: the new one whole", Main, flaky.arg(1) + "?change=versions/small.bin", ok,
        small, "GET *;GET * bytes=*-* | *");
    seen("more connections reset before any reply than Qt tries: tried again", Main,
        "/flaky/0/versions/small.bin?reset=5", ok, small, "");
    seen("under the rate floor: ended as a stall", Main, "/trickle/40/50", QNetworkReply::TimeoutError, absent,
        "* | Download stalled: * under the floor of 100 bytes per second", 100);
    seen("through the system's proxy", Proxied, small, ok, small, "GET /versions/small.bin | CONNECT *:%PORT% | *");
    row("a server that stops sending is given up", Main, "/trickle/5/4000", QNetworkReply::TimeoutError, absent, false,
        "", 0, 300);
    row("a slow but steady server is waited for", Main, "/trickle/10/300", ok, "tttttttttt", false, "", 0, 1500);
    row("a body one byte over the limit is refused", Main, small, canceled, absent, false, "", 99);
    row("the file system's size limit: refused with its reason", Main, "/versions/c25.bin", canceled, absent, false, "",
        -256 * 1024);
}

void tst_Transport::https()
{
    QFETCH(Server, from);
    QFETCH(QString, address);
    QFETCH(bool, infoMode);
    QFETCH(int, limit);
    QFETCH(int, timeout);
    QFETCH(QString, redirect);
    QFETCH(int, error);
    QFETCH(QString, content);
    QFETCH(QString, seen);
    QFETCH(int, floor);

    auto logs = [this](QStringList all = {}) {
        for (HttpsTestServer &server : m_https)
            all << server.takeRequests().join(';');
        return all;
    };
    logs();
    transfer_policy::setRateFloor({floor, 200});
    qputenv("https_proxy", from == Proxied ? "http://localhost:" + QByteArray::number(m_https[Plain].port()) : "");
    QString const file = path("out/t"); // a longer file is in the way
    QVERIFY(envtest::writeFile(file, QByteArray(300 * 1024, 'x')));

    QList<QNetworkReply::NetworkError> errors;
    QStringList redirects, texts;
    qint64 received = 0, total = -1;
    bool backwards = false;
    std::function<void(QUrl const &)> fetch = [&](QUrl const &next) {
        UrlFileDownloader downloader(nullptr);
        downloader.setMaxSize(qMax(limit, 0));
        downloader.setTransferTimeout(timeout);
        connect(&downloader, &UrlFileDownloader::redirected, this, [&](QString const &to) {
            redirects << to;
            if (error != -1 && redirects.size() <= 10) // rows that expect a download follow redirects
                fetch(QUrl(to));
        });
        connect(&downloader, &UrlFileDownloader::downloaded, this,
            [&](QNetworkReply::NetworkError code, QString const &text, QString const &name) {
                errors << code;
                texts << text;
                QCOMPARE(name, file);
            });
        connect(&downloader, &UrlFileDownloader::downloadProgress, this, [&](qint64 bytes, qint64 size) {
            backwards |= bytes < std::exchange(received, bytes) && size == std::exchange(total, size);
        });
        downloader.startDownload(next, file, infoMode);
    };
    struct rlimit saved {
    }, limited{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limited = saved;
    limited.rlim_cur = rlim_t(-limit);
    auto const previous = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(limit >= 0 || setrlimit(RLIMIT_FSIZE, &limited) == 0);
    fetch(m_https[from == Proxied ? Main : from].url(expand(address)));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    QString const log = (logs() << texts.value(0)).join(" | ");
    QString const pattern = "\\A" + QRegularExpression::escape(expand(seen)).replace("\\*", "[^;]*") + "\\z";
    QVERIFY2(seen.isEmpty() || QRegularExpression(pattern).match(log).hasMatch(), qPrintable(log));
    QVERIFY(!backwards);
    QCOMPARE(redirects.value(redirects.size() - 1), expand(redirect));
    QCOMPARE(errors.size(), error == -1 ? 0 : 1);
    if (error == QNetworkReply::UnknownNetworkError)
        QVERIFY2(errors.value(0) != QNetworkReply::NoError, "a cut-off body is reported as a success");
    else if (error != -1)
        QCOMPARE(int(errors.value(0)), error);
    if (limit < 0) // the system's own reason, not "Unknown error"
        QCOMPARE(texts.value(0), QStringLiteral("Unable to save the file %1: %2.").arg(file, strerror(EFBIG)));
    if (content == QLatin1String("-") || content == QLatin1String("*"))
        QCOMPARE(QFileInfo::exists(file), content == QLatin1String("*"));
    else if (content.startsWith('/'))
        QVERIFY(digest(file) == digest(path("root") + content) && received == QFileInfo(file).size());
    else if (!content.isEmpty())
        QCOMPARE(envtest::readAll(file), content.toUtf8());
}

QTEST_GUILESS_MAIN(tst_Transport)
#include "tst_transport.moc"
