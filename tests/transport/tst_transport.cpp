#include "envtesting.h"
#include "httpstestserver.h"
#include "sftpdownloader.h"
#include "sftpserverprocess.h"
#include "updatetrust_p.h"
#include "urlfiledownloader_p.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <functional>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Cause = SftpDownloader::Cause;
Q_DECLARE_METATYPE(SftpDownloader::Cause)

namespace
{

constexpr qint64 chunk = 32768; // the pipelined request length on libssh 0.10
constexpr qint64 c25Size = 24 * chunk + 1000;

QByteArray digest(QString const &path)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result().toHex() : QByteArray();
}

bool writeRandom(QString const &path, qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), int(size / 4));
    return envtest::writeFile(path, data);
}

// The fingerprint of an OpenSSH public key file: SHA-1 as libssh prints it, or as ssh-keygen -lf does.
QString fingerprint(QString const &publicKeyPath, bool openSsh)
{
    QProcess keygen;
    keygen.start(QStringLiteral("ssh-keygen"), {QStringLiteral("-lf"), publicKeyPath});
    QByteArray const key = QByteArray::fromBase64(envtest::readAll(publicKeyPath).split(' ').value(1));
    if (!openSsh)
        return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex(':'));
    return keygen.waitForFinished(30000) ? QString::fromLatin1(keygen.readAllStandardOutput()).section(' ', 1, 1)
                                         : QString();
}

void quiet(QtMsgType, QMessageLogContext const &, QString const &) { }

} // namespace

class tst_Transport : public QObject
{
    Q_OBJECT

public:
    enum Server { Main, Plain, Tls11, OtherHost, Closed };
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
    bool connectTo(SftpDownloader &downloader, int port);
    QString expand(QString text) const
    {
        return text.replace(QStringLiteral("%PORT%"), QString::number(m_https[Main].port()))
            .replace(QStringLiteral("%PLAINPORT%"), QString::number(m_https[Plain].port()));
    }

    QTemporaryDir m_dir;
    QString m_knownHosts;
    SftpServerProcess m_sftp;
    HttpsTestServer m_https[4];
};

void tst_Transport::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<QNetworkReply::NetworkError>();
    QVERIFY(m_dir.isValid());
    // libssh writes where the password database points: the test's own home, never the real one.
    QString const home = QString::fromLocal8Bit(getpwuid(getuid())->pw_dir);
    QVERIFY2(home.startsWith(QStringLiteral(ENV_TEST_BINARY_DIR "/")), qPrintable(home));
    m_knownHosts = home + QStringLiteral("/.ssh/known_hosts");

    QVERIFY(writeRandom(path("root/versions/empty.bin"), 0, 1) && writeRandom(path("root/versions/small.bin"), 100, 2));
    QVERIFY(writeRandom(path("root/versions/c25.bin"), c25Size, 3));
    QVERIFY(writeRandom(path(QStringLiteral("root/big.bin")), 3 * 1024 * 1024 + 5, 8));
    for (char const *name : {"root/list/setup/x", "root/list/vsver.json", "root/list/setup 1.2.3.exe"})
        QVERIFY(envtest::writeFile(path(QLatin1String(name)), "x"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("root/list/empty"))) && QDir().mkpath(path(QStringLiteral("out"))));
    SftpServerProcess::Options options;
    options.root = path(QStringLiteral("root"));
    options.control = path(QStringLiteral("control.json"));
    options.stats = path(QStringLiteral("stats.json"));
    QString error;
    QVERIFY2(m_sftp.start(options, &error), qPrintable(error));

    // Status codes that are not redirects, with a Location all the same.
    QByteArray const routes = R"({"/r304": {"status": 304, "headers": {"Location": "/versions/small.bin"}},
                                  "/r306": {"status": 306, "headers": {"Location": "/versions/small.bin"}}})";
    QVERIFY(envtest::writeFile(path(QStringLiteral("routes.json")), routes));
    QVERIFY(m_https[Main].startTrusted(m_dir.path(), options.root, {"--routes", path(QStringLiteral("routes.json"))}));
    QVERIFY(m_https[Plain].start(path(QStringLiteral("server")), options.root, {QStringLiteral("--plain")}));
    m_https[Plain].setScheme(QStringLiteral("http"));
    QVERIFY(m_https[Tls11].start(path(QStringLiteral("server")), options.root, {"--max-tls", "1.1"}));
    // Trusted and sound: its only fault is the host name it names.
    QVERIFY(m_https[OtherHost].startTrusted(m_dir.path(), options.root, {}, "other", "other.example"));
}

bool tst_Transport::connectTo(SftpDownloader &downloader, int port)
{
    return downloader.connectToHost(
               QStringLiteral("127.0.0.1"), port, QStringLiteral("vsfetch"), QStringLiteral("vsfetch-pass"))
        == 0;
}

void tst_Transport::sftpDownload_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<bool>("pipelined");
    QTest::addColumn<QJsonObject>("faults"); // see sftpserver.py; "shrink": the file shrinks once data arrived
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<QString>("error"); // the start of the one error text
    QTest::addColumn<QString>("local"); // "": a longer file is in the way; "full": a /dev/full device
    QTest::addColumn<int>("maxSize");
    QTest::addColumn<int>("inFlight"); // read requests the server saw waiting at most; -1: not checked
    auto row = [](char const *name, QString const &remote, bool pipelined, QJsonObject const &faults, Cause cause,
                   QString const &error, QString const &local = "x", int maxSize = 0, int inFlight = -1) {
        QTest::newRow(name) << "/versions/" + remote << pipelined << faults << cause << error << local << maxSize
                            << inFlight;
    };
    auto ok = [&](char const *name, QString const &remote, bool pipelined, QJsonObject const &faults, int inFlight = -1,
                  int maxSize = 0) { row(name, remote, pipelined, faults, Cause::None, "", "", maxSize, inFlight); };
    auto fault = [](char const *name, QJsonValue value) { return QJsonObject{{QLatin1String(name), value}}; };
    QJsonObject const none, endless = fault("endless", true), shrink = fault("shrink", true);
    QString const lost("Error while reading file: "), tooLarge("Remote file is too large: "), c25("c25.bin");
    QString const full = "Error writing: " + QString::fromLocal8Bit(strerror(ENOSPC));

    ok("empty file, pipelined: no request at all", "empty.bin", true, none, 0);
    ok("less than a chunk, plain", "small.bin", false, none);
    ok("25 chunks, pipelined: 20 in flight, never more", c25, true, fault("hold_reads", 20), 20);
    ok("25 chunks, plain: one in flight", c25, false, none, 1);
    ok("3 MB, pipelined: byte for byte", "../big.bin", true, none);
    ok("short replies, pipelined: the rest is asked again, no hole", c25, true, fault("short_reads", 1000));
    ok("short replies crossing chunk ends, held, pipelined", c25, true, {{"short_reads", 30000}, {"hold_reads", 20}},
        20);
    ok("short replies, plain", c25, false, fault("short_reads", 1000));
    ok("endless data, pipelined: only the stated size is asked for", "small.bin", true, endless, -1, 1000);
    row("endless data, plain: stops at the limit", "small.bin", false, endless, Cause::TooLarge,
        tooLarge + "more than 1000 bytes received, 100 bytes stated", "x", 1000);
    row("stated size over the limit: refused before writing", "small.bin", true, none, Cause::TooLarge,
        tooLarge + "100 bytes (at most 10)", "x", 10);
    row("server gone mid-transfer, plain", c25, false, fault("drop_after", 21 * chunk + 1), Cause::Cut, lost);
    row("server gone mid-transfer, pipelined", c25, true, fault("drop_after", 21 * chunk + 1), Cause::Cut, lost);
    for (bool pipelined : {false, true}) {
        row(pipelined ? "server stops answering, pipelined" : "server stops answering, plain", c25, pipelined,
            fault("stall_after", 100000), Cause::TimedOut, lost + "the server did not answer for 2 seconds");
    }
    row("file shrinks under a plain download: not taken as complete", c25, false, shrink, Cause::Cut,
        "Size of the downloaded file differs from the remote file: ");
    row("file shrinks under a pipelined download", c25, true, shrink, Cause::Cut, lost + "the remote file ended at ");
    row("missing remote file, plain", "missing.bin", false, none, Cause::RemoteMissing,
        "Can't open file for reading: ");
    row("missing remote file, pipelined: no blank after the colon", "missing.bin", true, none, Cause::RemoteMissing,
        "Can't open file for reading:");
    row("local folder missing, pipelined", "small.bin", true, none, Cause::LocalFailed,
        "Can't open file for writing:", "no/x");
    row("disk full, plain", c25, false, none, Cause::LocalFailed, full, "full");
    row("disk full at the last flush, pipelined", "small.bin", true, none, Cause::LocalFailed, full, "full");
    row("not connected", "small.bin", true, none, Cause::NotConnected, "Not connected to a server!");
}

void tst_Transport::sftpDownload()
{
    QFETCH(QString, remote);
    QFETCH(bool, pipelined);
    QFETCH(QJsonObject, faults);
    QFETCH(QString, local);
    QFETCH(int, maxSize);
    QFETCH(Cause, cause);
    QFETCH(QString, error);
    QFETCH(int, inFlight);

    QString const source = path(QStringLiteral("root")) + remote;
    QString target = path(QStringLiteral("out/") + (local.isEmpty() ? QStringLiteral("download.bin") : local));
    QFile::remove(target);
    if (local.isEmpty())
        QVERIFY(writeRandom(target, QFileInfo(source).size() + 70000, 99));
    struct stat full;
    if (local == QLatin1String("full")) {
        // A device of its own, so even a wrong clean-up could only remove that.
        if (::stat("/dev/full", &full) != 0 || ::mknod(QFile::encodeName(target), S_IFCHR | 0600, full.st_rdev) != 0)
            QSKIP("no /dev/full, or no right to make a device (needs root)");
    }
    bool const shrink = faults.take(QStringLiteral("shrink")).toBool();
    QString const shrinking = path(QStringLiteral("root/versions/shrinks.bin"));
    QFile::remove(shrinking);
    QVERIFY(!shrink || QFile::copy(source, shrinking));
    QVERIFY(SftpServerProcess::writeControl(path(QStringLiteral("control.json")), faults));
    QFile::remove(path(QStringLiteral("stats.json")));

    SftpDownloader downloader;
    downloader.setTimeout(error.isEmpty() ? 60 : 2);
    downloader.setMaxFileSize(quint64(maxSize));
    QVERIFY(cause == Cause::NotConnected || connectTo(downloader, m_sftp.port()));
    QSignalSpy progress(&downloader, &SftpDownloader::progress);
    if (shrink)
        connect(&downloader, &SftpDownloader::progress, this, [&] { QFile::resize(shrinking, 0); });
    QString const from = shrink ? QStringLiteral("/versions/shrinks.bin") : remote;
    int const result = pipelined ? downloader.downloadFileAsync(from, target) : downloader.downloadFile(from, target);

    QCOMPARE(downloader.errors().isEmpty(), error.isEmpty());
    QString const text = downloader.errors().value(0);
    // A libssh text follows the prefix after one blank at most.
    QVERIFY2(
        text.left(error.size()) == error && !text.mid(error.size()).startsWith(QLatin1Char(' ')), qPrintable(text));
    QCOMPARE(downloader.errors().size(), error.isEmpty() ? 0 : 1);
    QCOMPARE(downloader.cause(), cause);
    QCOMPARE(result, error.isEmpty() ? 0 : -1);
    if (local == QLatin1String("full"))
        QVERIFY(QFileInfo::exists(QStringLiteral("/dev/full")) && QFile::remove(target));
    else if (!error.isEmpty())
        QVERIFY(!QFileInfo::exists(target));
    if (!error.isEmpty())
        return;
    QCOMPARE(digest(target), digest(source));
    qint64 previous = 0;
    for (QList<QVariant> const &emitted : qAsConst(progress)) {
        QVERIFY(emitted.at(0).toLongLong() > previous && emitted.at(1).toLongLong() == QFileInfo(source).size());
        previous = emitted.at(0).toLongLong();
    }
    QCOMPARE(previous, QFileInfo(source).size());
    int const seen = SftpServerProcess::readStats(path(QStringLiteral("stats.json"))).value("max_outstanding").toInt();
    QVERIFY(inFlight >= 0 ? seen == inFlight : seen <= 20);
}

void tst_Transport::sftpConnect_data()
{
    QTest::addColumn<QString>(
        "change"); // how the server's key changes after a first contact: "", "same type" or a type
    QTest::addColumn<int>("pin"); // 0: no pinned key; 1: the served key; 2: another
    QTest::addColumn<QString>("password");
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<QString>("error"); // %SHA1%, %SHA256%: the served key's fingerprints

    QString const changed(
        "Host key for server changed: it is now:\n%1\nFor security reasons, connection will be stopped");
    QString const right = QStringLiteral("vsfetch-pass");
    QTest::newRow("first contact: the key is recorded") << "" << 0 << right << Cause::None << "";
    QTest::newRow("a new key of the same type: refused with its fingerprint")
        << "same type" << 0 << right << Cause::HostKeyRefused << changed.arg("%SHA1%");
    QTest::newRow("a key of another type: refused")
        << "ecdsa-sha2-nistp256" << 0 << right << Cause::HostKeyRefused
        << "The host key for this server was not found but an othertype of key exists.\nAn attacker might change "
           "the default server key toconfuse your client into thinking the key does not exist";
    QTest::newRow("pinned key, first contact: accepted, nothing recorded") << "" << 1 << right << Cause::None << "";
    QTest::newRow("pinned key, another one recorded: accepted, the record untouched")
        << "same type" << 1 << right << Cause::None << "";
    QTest::newRow("another key pinned: refused as changed")
        << "" << 2 << right << Cause::HostKeyRefused << changed.arg("%SHA256%");
    QTest::newRow("wrong password") << "" << 0 << "vscheck-pass" << Cause::LoginRefused
                                    << "Error authenticating with password: ";
    QTest::newRow("nobody listening") << "closed" << 0 << right << Cause::ConnectFailed
                                      << "Error connecting to host ! Error code: ";
}

void tst_Transport::sftpConnect()
{
    QFETCH(QString, change);
    QFETCH(int, pin);
    QFETCH(QString, password);
    QFETCH(Cause, cause);
    QFETCH(QString, error);

    QTemporaryDir keys;
    QVERIFY(QDir(QFileInfo(m_knownHosts).path()).removeRecursively());
    SftpServerProcess server;
    SftpServerProcess::Options options;
    options.root = keys.path();
    options.hostKey = keys.filePath(QStringLiteral("first"));
    QString problem;
    QVERIFY2(server.start(options, &problem), qPrintable(problem));
    if (!change.isEmpty() && change != QLatin1String("closed")) {
        SftpDownloader first;
        QVERIFY(connectTo(first, server.port()));
        options.port = server.port();
        options.hostKey = keys.filePath(QStringLiteral("second"));
        options.keyType = change == QLatin1String("same type") ? QString() : change;
        QVERIFY2(server.start(options, &problem), qPrintable(problem));
    }
    int const port = server.port();
    if (change == QLatin1String("closed"))
        server.stop();
    QByteArray const known = digest(m_knownHosts);
    QString const sha1 = fingerprint(options.hostKey + ".pub", false);
    QString const sha256 = fingerprint(options.hostKey + ".pub", true);
    QVERIFY(sha1.size() == 59 && sha256.startsWith(QStringLiteral("SHA256:")));
    error.replace(QStringLiteral("%SHA1%"), sha1).replace(QStringLiteral("%SHA256%"), sha256);
    if (change.isEmpty() && !pin)
        QTest::ignoreMessage(
            QtInfoMsg, qPrintable("The server is unknown. Do you trust the host key?\nPublic key hash: " + sha1));

    updatetrust::setHostKeyFingerprint(pin ? (pin == 1 ? sha256 : "SHA256:" + QByteArray(43, 'A')) : QString());
    SftpDownloader downloader;
    int const result = downloader.connectToHost("127.0.0.1", port, "vsfetch", password);
    updatetrust::setHostKeyFingerprint(QString());

    QCOMPARE(downloader.cause(), cause);
    QCOMPARE(result == 0, cause == Cause::None);
    QCOMPARE(downloader.errors().size(), error.isEmpty() ? 0 : 1);
    QVERIFY2(downloader.errors().value(0).left(error.size()) == error, qPrintable(downloader.errors().value(0)));
    if (cause == Cause::HostKeyRefused || cause == Cause::ConnectFailed || pin) {
        QCOMPARE(digest(m_knownHosts), known); // refused and pinned keys are never written down
    } else {
        QByteArray const entry = "[127.0.0.1]:" + QByteArray::number(port) + " ssh-ed25519";
        QVERIFY(envtest::readAll(m_knownHosts).startsWith(entry));
    }
    // Nothing is left to read from after a refusal.
    QCOMPARE(downloader.downloadFile("/x", path("out/refused")), cause == Cause::None ? -1 : -1);
    QCOMPARE(downloader.cause(), cause == Cause::None ? Cause::RemoteMissing : Cause::NotConnected);
}

void tst_Transport::sftpList()
{
    SftpDownloader downloader;
    QVERIFY(connectTo(downloader, m_sftp.port()));
    for (QString const folder : {"/list", "/../../list"}) {
        QMultiHash<int, QString> entries;
        QCOMPARE(downloader.listDirectory(folder, &entries), 0);
        QStringList folders = entries.values(0), files = entries.values(1);
        folders.sort();
        files.sort();
        // Folders under 0, files under 1, nothing filtered; no way above the served root.
        QCOMPARE(folders, QStringList({".", "..", "empty", "setup"}));
        QCOMPARE(files, QStringList({"setup 1.2.3.exe", "vsver.json"}));
    }
    QMultiHash<int, QString> none;
    QCOMPARE(downloader.listDirectory("/list/missing", &none), -1);
    QVERIFY(downloader.errors().value(0).startsWith("Directory not opened: ") && none.isEmpty());
    QCOMPARE(downloader.cause(), Cause::RemoteMissing);
}

void tst_Transport::https_data()
{
    QTest::addColumn<Server>("from");
    QTest::addColumn<QString>("address"); // %PORT%, %PLAINPORT%: the https and the http server's ports
    QTest::addColumn<int>("error"); // the error reported; -1: no download reported
    QTest::addColumn<QString>("content"); // "/...": that served file; "-": no file; "*": some file; else the text
    QTest::addColumn<bool>("infoMode");
    QTest::addColumn<QString>("redirect"); // the last redirect reported
    QTest::addColumn<bool>("follow"); // the caller follows redirects, ten at most
    QTest::addColumn<int>("limit"); // the size limit; negative: the process's file size limit
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("target"); // under out/; "t": a longer file is in the way
    auto row = [](char const *name, Server from, QString const &address, int error, QString const &content,
                   bool infoMode = false, QString const &redirect = "", bool follow = false, int limit = 0,
                   int timeout = 0, QString const &target = "t") {
        QTest::newRow(name) << from << address << error << content << infoMode << redirect << follow << limit << timeout
                            << target;
    };
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
    row("a big file arrives whole", Main, "/big.bin", ok, "/big.bin");
    redirect("301 to an absolute address", Main, 301, main + small, main + small);
    redirect("302 to a bare path keeps scheme and host", Main, 302, "/files/a.exe", main + "/files/a.exe");
    redirect("303 to a relative name: against the request's folder", Main, 303, "n/b", main + "/redirect/n/b");
    redirect("307 to another https host", Main, 307, "https://other.example/c", "https://other.example/c");
    redirect("307 scheme-relative stays on https", Main, 307, "//localhost:%PORT%/d", "https://localhost:%PORT%/d");
    redirect("308 while reading a page", Main, 308, "/V_2.1.exe", main + "/V_2.1.exe", true);
    redirect("http to http", Plain, 302, small, "http://127.0.0.1:%PLAINPORT%" + small, true);
    redirect("http up to https", Plain, 301, main + small, main + small);
    row("two redirects followed end at the file", Main,
        "/redirect/301?to=%2Fredirect%2F307%3Fto%3D%252Fversions%252Fsmall.bin", ok, small, false, main + small, true);
    row("a redirect loop runs until the caller stops", Main, "/loop/0", -1, "", false, main + "/loop/11", true);
    row("304 with a Location is not a redirect", Main, "/r304", ok, "*");
    row("306 with a Location is not a redirect", Main, "/r306", ok, "*");
    row("302 without a Location ends as a download", Main, "/redirect/302", ok, "*");
    row("305 use-proxy ends as a download", Main, "/redirect/305?to=https%3A%2F%2Fother.example%2F", ok, "*");
    row("https down to http while fetching: error, no file", Main, down, QNetworkReply::InsecureRedirectError, absent);
    row("https down to http while reading a page: body kept", Main, down, QNetworkReply::InsecureRedirectError, "*",
        true);
    row("https to ftp", Main, "/redirect/302?to=ftp%3A%2F%2F127.0.0.1%2Fa", unknownScheme, absent);
    row("http to a local file", Plain, "/redirect/302?to=file%3A%2F%2F%2Fetc%2Fpasswd", unknownScheme, absent);
    row("404 while fetching leaves no file", Main, "/status/404", QNetworkReply::ContentNotFoundError, absent);
    row("404 while reading a page keeps the body", Main, "/status/404", QNetworkReply::ContentNotFoundError,
        "status body\n", true);
    row("500 while fetching leaves no file", Main, "/status/500", QNetworkReply::InternalServerError, absent);
    row("a body cut off while fetching leaves no file", Main, "/cut/200000/1000", anyError, absent);
    row("a body cut off while reading a page keeps what arrived", Main, "/cut/200000/1000", anyError,
        QString(1000, 'c'), true);
    row("nobody listening", Closed, small, QNetworkReply::ConnectionRefusedError, absent);
    row("a server that speaks only TLS 1.1", Tls11, small, QNetworkReply::SslHandshakeFailedError, absent);
    row("a trusted certificate for another host name", OtherHost, small, QNetworkReply::SslHandshakeFailedError,
        absent);
    row("a server that stops sending is given up", Main, "/trickle/5/4000", QNetworkReply::TimeoutError, absent, false,
        "", false, 0, 300);
    row("a slow but steady server is waited for", Main, "/trickle/10/300", ok, "tttttttttt", false, "", false, 0, 1500);
    row("a body one byte over the limit is refused", Main, small, canceled, absent, false, "", false, 99);
    row("an endless body stops at the limit", Main, "/endless", canceled, absent, false, "", false, 100000);
    row("the file system's size limit: refused with its reason", Main, "/versions/c25.bin", canceled, absent, false, "",
        false, -256 * 1024);
    row("a folder that does not exist", Main, small, -1, "", false, "", false, 0, 0, "no/x");
    row("a folder in the way", Main, small, -1, "", false, "", false, 0, 0, ".");
}

void tst_Transport::https()
{
    QFETCH(Server, from);
    QFETCH(QString, address);
    QFETCH(bool, infoMode);
    QFETCH(QString, target);
    QFETCH(int, limit);
    QFETCH(int, timeout);
    QFETCH(bool, follow);
    QFETCH(QString, redirect);
    QFETCH(int, error);
    QFETCH(QString, content);

    QUrl url(from == Closed ? QString() : m_https[from].url(expand(address)));
    if (from == Closed) {
        QTcpServer listener; // a port that was free a moment ago
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        url = QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(listener.serverPort()).arg(address));
    }
    QString const file = path("out/" + target);
    QFile::remove(file);
    QVERIFY(target != QLatin1String("t") || envtest::writeFile(file, QByteArray(300 * 1024, 'x')));

    QList<QNetworkReply::NetworkError> errors;
    QStringList texts, redirects;
    qint64 received = 0;
    std::function<void(QUrl const &)> fetch = [&](QUrl const &next) {
        UrlFileDownloader downloader(nullptr);
        downloader.setMaxSize(qMax(limit, 0));
        downloader.setTransferTimeout(timeout);
        connect(&downloader, &UrlFileDownloader::redirected, this, [&](QString const &to) {
            redirects << to;
            if (follow && redirects.size() <= 10)
                fetch(QUrl(to));
        });
        connect(&downloader, &UrlFileDownloader::downloaded, this,
            [&](QNetworkReply::NetworkError code, QString const &text, QString const &name) {
                errors << code;
                texts << text;
                QCOMPARE(name, file);
            });
        connect(&downloader, &UrlFileDownloader::downloadProgress, this, [&](qint64 bytes) { received = bytes; });
        downloader.startDownload(next, file, infoMode);
    };
    struct rlimit saved {
    }, limited{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limited = saved;
    limited.rlim_cur = rlim_t(-limit);
    auto const previous = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(limit >= 0 || setrlimit(RLIMIT_FSIZE, &limited) == 0);
    QtMessageHandler const handler = qInstallMessageHandler(quiet);
    fetch(url);
    qInstallMessageHandler(handler);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

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
