#include "sftpdownloader.h"
#include "sftpserverprocess.h"
#include "updatetrust_p.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace
{

constexpr qint64 chunk = 32768; // the pipelined request length on libssh 0.10
constexpr qint64 twentyFiveChunks = 24 * chunk + 1000;
constexpr qint64 bigSize = 50 * 1024 * 1024;

struct LogLine {
    QtMsgType type;
    QString function;
    QString category;
    QString message;
};
QVector<LogLine> s_log;

void captureLog(QtMsgType type, QMessageLogContext const &context, QString const &message)
{
    s_log.append({type, QString::fromLatin1(context.function), QString::fromLatin1(context.category), message});
}

QByteArray digest(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

bool writeRandomFile(QString const &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator random(seed);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (file.write(block.constData(), qMin<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

// SHA-1 of the key blob of an OpenSSH public key line, colon-separated
// lower-case hex, as libssh prints it.
QString sha1Fingerprint(QString const &publicKeyPath)
{
    QFile file(publicKeyPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> const fields = file.readAll().split(' ');
    if (fields.size() < 2)
        return {};
    QByteArray const hash = QCryptographicHash::hash(QByteArray::fromBase64(fields[1]), QCryptographicHash::Sha1);
    return QString::fromLatin1(hash.toHex(':'));
}

// The fingerprint as the server's operator reads it off its key: "SHA256:...".
QString opensshFingerprint(QString const &keyPath)
{
    QProcess keygen;
    keygen.start(QStringLiteral("ssh-keygen"), {QStringLiteral("-lf"), keyPath});
    if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0)
        return {};
    return QString::fromLatin1(keygen.readAllStandardOutput()).section(QLatin1Char(' '), 1, 1);
}

// The user's home folder as the real password database has it, read past
// nss_wrapper.
QString realHome()
{
    QFile passwd(QStringLiteral("/etc/passwd"));
    if (!passwd.open(QIODevice::ReadOnly))
        return {};
    QByteArray const uid = QByteArray::number(getuid());
    while (!passwd.atEnd()) {
        QList<QByteArray> const fields = passwd.readLine().trimmed().split(':');
        if (fields.size() >= 6 && fields[2] == uid)
            return QString::fromLocal8Bit(fields[5]);
    }
    return {};
}

QString fileState(QString const &path)
{
    QFileInfo const info(path);
    if (!info.exists())
        return QStringLiteral("absent");
    return QStringLiteral("%1 bytes, modified %2, %3")
        .arg(info.size())
        .arg(info.lastModified().toMSecsSinceEpoch())
        .arg(QString::fromLatin1(digest(path)));
}

} // namespace

class TestSftpDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void firstContactRecordsTheKey();
    void refusedHostKey_data();
    void refusedHostKey();
    void pinnedHostKey_data();
    void pinnedHostKey();
    void refusedLogin_data();
    void refusedLogin();
    void download_data();
    void download();
    void failedDownloadLeavesNoFile_data();
    void failedDownloadLeavesNoFile();
    void openFailures_data();
    void openFailures();
    void localWriteFails_data();
    void localWriteFails();
    void oversizedFileRefused_data();
    void oversizedFileRefused();
    void twoDownloadsOnOneSession();
    void notConnected();
    void listDirectory_data();
    void listDirectory();

private:
    void connectDownloader(SftpDownloader &downloader);
    // Infos logged while a downloader connects to the test's server.
    QVector<LogLine> infosOfAConnection();
    static int fetch(SftpDownloader &downloader, bool pipelined, QString const &remote, QString const &local)
    {
        return pipelined ? downloader.downloadFileAsync(remote, local) : downloader.downloadFile(remote, local);
    }
    QString knownHostsPath() const { return m_home + QStringLiteral("/.ssh/known_hosts"); }

    QTemporaryDir m_work;
    QString m_root;
    QString m_control;
    QString m_stats;
    QString m_home;
    QString m_realKnownHosts;
    QString m_realKnownHostsBefore;
    SftpServerProcess m_server;
};

void TestSftpDownloader::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_work.isValid());

    // libssh writes where the password database points; that must be the
    // test's own home, never the real one.
    passwd const *user = getpwuid(getuid());
    QVERIFY(user);
    m_home = QString::fromLocal8Bit(user->pw_dir);
    QVERIFY2(m_home.startsWith(QStringLiteral(ENV_TEST_BINARY_DIR "/")),
        qPrintable(QStringLiteral("not isolated (run it through ctest): home is ") + m_home));
    m_realKnownHosts = realHome() + QStringLiteral("/.ssh/known_hosts");
    QVERIFY(m_realKnownHosts != knownHostsPath());
    m_realKnownHostsBefore = fileState(m_realKnownHosts);
    QVERIFY(QDir(m_home + QStringLiteral("/.ssh")).removeRecursively());

    m_root = m_work.filePath(QStringLiteral("root"));
    m_control = m_work.filePath(QStringLiteral("control.json"));
    m_stats = m_work.filePath(QStringLiteral("stats.json"));
    QDir root;
    for (char const *folder : {"versions", "big", "list/setup", "list/old", "list/empty"})
        QVERIFY(root.mkpath(m_root + QLatin1Char('/') + QLatin1String(folder)));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/versions/empty.bin"), 0, 1));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/versions/small.bin"), 100, 2));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/versions/one.bin"), chunk, 3));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/versions/c25.bin"), twentyFiveChunks, 4));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/big/random50.bin"), bigSize, 5));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/list/vsver.json"), 10, 6));
    QVERIFY(writeRandomFile(m_root + QStringLiteral("/list/setup 1.2.3.exe"), 10, 7));

    QString error;
    SftpServerProcess::Options options;
    options.root = m_root;
    options.control = m_control;
    options.stats = m_stats;
    options.hostKey = m_work.filePath(QStringLiteral("host_key"));
    QVERIFY2(m_server.start(options, &error), qPrintable(error));
}

void TestSftpDownloader::init()
{
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QFile::remove(m_stats);
    s_log.clear();
}

void TestSftpDownloader::cleanupTestCase()
{
    m_server.stop();
    QCOMPARE(fileState(m_realKnownHosts), m_realKnownHostsBefore);
}

void TestSftpDownloader::connectDownloader(SftpDownloader &downloader)
{
    int const result = downloader.connectToHost(
        QStringLiteral("127.0.0.1"), m_server.port(), QStringLiteral("vsfetch"), QStringLiteral("vsfetch-pass"));
    QVERIFY2(result == 0, qPrintable(downloader.errors().join(QLatin1Char('\n'))));
    QVERIFY(downloader.errors().isEmpty());
}

QVector<LogLine> TestSftpDownloader::infosOfAConnection()
{
    s_log.clear();
    QtMessageHandler const previous = qInstallMessageHandler(captureLog);
    {
        SftpDownloader downloader;
        connectDownloader(downloader);
    }
    qInstallMessageHandler(previous);
    QVector<LogLine> lines;
    for (LogLine const &line : qAsConst(s_log)) {
        // libssh's own lines come through the log too.
        if (line.type == QtInfoMsg && !line.message.startsWith(QLatin1String("libssh: ")))
            lines.append(line);
    }
    return lines;
}

void TestSftpDownloader::firstContactRecordsTheKey()
{
    QVERIFY(QDir(m_home + QStringLiteral("/.ssh")).removeRecursively());
    QString const fingerprint = sha1Fingerprint(m_work.filePath(QStringLiteral("host_key.pub")));
    QVERIFY(!fingerprint.isEmpty());

    QVector<LogLine> const lines = infosOfAConnection();
    QStringList messages;
    for (LogLine const &line : qAsConst(lines))
        messages.append(line.message);
    // libssh 0.10 answers "unknown" rather than "not found" when no
    // known-hosts file exists; newer ones may say "not found" first.
    QVERIFY2(lines.size() == 1 || lines.size() == 2, qPrintable(messages.join(QStringLiteral("\n--\n"))));
    if (lines.size() == 2)
        QCOMPARE(lines.first().message,
            QStringLiteral("Could not find known host file.\nIf you accept the host key "
                           "here, the file will beautomatically created."));
    QCOMPARE(lines.last().message,
        QStringLiteral("The server is unknown. Do you trust the host key?\nPublic key hash: ") + fingerprint);
    for (LogLine const &line : qAsConst(lines)) {
        QCOMPARE(line.category, QStringLiteral("default"));
        QCOMPARE(line.function, QStringLiteral("int SftpDownloader::verifyKnownhost()"));
    }

    QFile knownHosts(knownHostsPath());
    QVERIFY(knownHosts.open(QIODevice::ReadOnly));
    QByteArray const recorded = knownHosts.readAll();
    QVERIFY2(recorded.startsWith("[127.0.0.1]:" + QByteArray::number(m_server.port()) + " ssh-ed25519 "),
        recorded.constData());

    // Known from now on: nothing more to say.
    QVERIFY(infosOfAConnection().isEmpty());
}

void TestSftpDownloader::refusedHostKey_data()
{
    QTest::addColumn<QString>("keyType");
    QTest::addColumn<bool>("sameType");

    QTest::newRow("a new key of the same type: changed, refused with its fingerprint") << QString() << true;
    QTest::newRow("a key of another type: refused") << QStringLiteral("ecdsa-sha2-nistp256") << false;
}

void TestSftpDownloader::refusedHostKey()
{
    QFETCH(QString, keyType);
    QFETCH(bool, sameType);

    QTemporaryDir keys;
    QVERIFY(keys.isValid());
    SftpServerProcess server;
    SftpServerProcess::Options options;
    options.root = m_root;
    options.hostKey = keys.filePath(QStringLiteral("first"));
    QString error;
    QVERIFY2(server.start(options, &error), qPrintable(error));
    {
        SftpDownloader downloader;
        QCOMPARE(downloader.connectToHost(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("vscheck"),
                     QStringLiteral("vscheck-pass")),
            0);
    }
    QByteArray const knownBefore = digest(knownHostsPath());

    // The same address, another key.
    options.port = server.port();
    options.hostKey = keys.filePath(QStringLiteral("second"));
    options.keyType = keyType;
    QVERIFY2(server.start(options, &error), qPrintable(error));
    SftpDownloader downloader;
    int const result = downloader.connectToHost(
        QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("vscheck"), QStringLiteral("vscheck-pass"));
    QCOMPARE(result, -1);
    QCOMPARE(downloader.errors().size(), 1);
    if (sameType) {
        QString const fingerprint = sha1Fingerprint(keys.filePath(QStringLiteral("second.pub")));
        QVERIFY(!fingerprint.isEmpty());
        QCOMPARE(downloader.errors().first(),
            QStringLiteral("Host key for server changed: it is now:\n") + fingerprint
                + QStringLiteral("\nFor security reasons, connection will be stopped"));
    } else {
        QCOMPARE(downloader.errors().first(),
            QStringLiteral("The host key for this server was not found but an othertype of key exists.\nAn "
                           "attacker might change the default server key toconfuse your client into thinking the "
                           "key does not exist"));
    }
    // Refused keys are never written down, and nothing is left to read from.
    QCOMPARE(digest(knownHostsPath()), knownBefore);
    QCOMPARE(downloader.downloadFile(QStringLiteral("/versions/small.bin"), m_work.filePath(QStringLiteral("x"))), -1);
    QVERIFY(!QFile::exists(m_work.filePath(QStringLiteral("x"))));
}

void TestSftpDownloader::pinnedHostKey_data()
{
    QTest::addColumn<bool>("rightKey");
    QTest::addColumn<bool>("knownBefore"); // the known-hosts file records another key of the server

    QTest::newRow("right key, first contact: accepted, no known-hosts file made") << true << false;
    QTest::newRow("right key, known-hosts file records another: accepted, file untouched") << true << true;
    QTest::newRow("another key: refused as a changed key") << false << false;
}

// A pinned key alone decides; the known-hosts file is neither read nor written.
void TestSftpDownloader::pinnedHostKey()
{
    QFETCH(bool, rightKey);
    QFETCH(bool, knownBefore);

    QTemporaryDir keys;
    QVERIFY(keys.isValid());
    QVERIFY(QDir(m_home + QStringLiteral("/.ssh")).removeRecursively());
    SftpServerProcess server;
    SftpServerProcess::Options options;
    options.root = m_root;
    options.hostKey = keys.filePath(QStringLiteral("first"));
    QString error;
    QVERIFY2(server.start(options, &error), qPrintable(error));
    if (knownBefore) {
        SftpDownloader first;
        QCOMPARE(first.connectToHost(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("vscheck"),
                     QStringLiteral("vscheck-pass")),
            0);
        // The same address, another key.
        options.port = server.port();
        options.hostKey = keys.filePath(QStringLiteral("second"));
        QVERIFY2(server.start(options, &error), qPrintable(error));
    }
    QByteArray const knownHosts = digest(knownHostsPath());
    QString const served = opensshFingerprint(options.hostKey + QStringLiteral(".pub"));
    QVERIFY(served.startsWith(QStringLiteral("SHA256:")));
    QString const other = opensshFingerprint(m_work.filePath(QStringLiteral("host_key.pub")));
    QVERIFY(!other.isEmpty() && other != served);

    updatetrust::setHostKeyFingerprint(rightKey ? served : other);
    SftpDownloader downloader;
    int const result = downloader.connectToHost(
        QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("vscheck"), QStringLiteral("vscheck-pass"));
    updatetrust::setHostKeyFingerprint(QString());

    if (rightKey) {
        QVERIFY2(result == 0, qPrintable(downloader.errors().join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(result, -1);
        QCOMPARE(downloader.errors(),
            QStringList(QStringLiteral("Host key for server changed: it is now:\n") + served
                + QStringLiteral("\nFor security reasons, connection will be stopped")));
    }
    QCOMPARE(digest(knownHostsPath()), knownHosts);
    QCOMPARE(QFileInfo::exists(knownHostsPath()), knownBefore);
}

void TestSftpDownloader::refusedLogin_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");

    QTest::newRow("wrong password") << QStringLiteral("vsfetch") << QStringLiteral("vscheck-pass");
    QTest::newRow("unknown user") << QStringLiteral("nobody-here") << QStringLiteral("vsfetch-pass");
    QTest::newRow("empty password") << QStringLiteral("vscheck") << QString();
}

void TestSftpDownloader::refusedLogin()
{
    QFETCH(QString, user);
    QFETCH(QString, password);

    SftpDownloader downloader;
    int const result = downloader.connectToHost(QStringLiteral("127.0.0.1"), m_server.port(), user, password);
    QVERIFY(result != 0);
    QCOMPARE(downloader.errors().size(), 1);
    QString const prefix = QStringLiteral("Error authenticating with password: ");
    QVERIFY2(downloader.errors().first().startsWith(prefix), qPrintable(downloader.errors().first()));
    QVERIFY(downloader.errors().first().size() > prefix.size());
}

void TestSftpDownloader::download_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<bool>("pipelined");
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<int>("signalCount"); // -1: not counted
    QTest::addColumn<int>("maxOutstanding"); // -1: not checked
    QTest::addColumn<int>("reads"); // -1: not checked

    QString const empty = QStringLiteral("/versions/empty.bin");
    QString const small = QStringLiteral("/versions/small.bin");
    QString const one = QStringLiteral("/versions/one.bin");
    QString const c25 = QStringLiteral("/versions/c25.bin");
    QString const big = QStringLiteral("/big/random50.bin");
    QJsonObject const none;

    QTest::newRow("empty file, plain: empty local file, no signal") << empty << false << none << 0 << -1 << -1;
    QTest::newRow("empty file, pipelined: no request at all") << empty << true << none << 0 << 0 << 0;
    QTest::newRow("less than a chunk, plain") << small << false << none << 1 << -1 << -1;
    QTest::newRow("less than a chunk, pipelined") << small << true << none << 1 << 1 << 1;
    QTest::newRow("exactly one chunk, pipelined: one request, one signal") << one << true << none << 1 << 1 << 1;
    QTest::newRow("exactly one chunk, plain: 16384-byte reads") << one << false << none << 2 << -1 << -1;
    QTest::newRow("25 chunks, pipelined: 20 in flight, never more, 25 signals")
        << c25 << true << QJsonObject{{QStringLiteral("hold_reads"), 20}} << 25 << 20 << 25;
    QTest::newRow("25 chunks, plain") << c25 << false << none << int((twentyFiveChunks + 16383) / 16384) << 1 << -1;
    QTest::newRow("short replies, pipelined: the rest is asked again, no hole")
        << c25 << true << QJsonObject{{QStringLiteral("short_reads"), 1000}} << -1 << -1 << -1;
    QTest::newRow("short replies crossing chunk ends, pipelined")
        << c25 << true << QJsonObject{{QStringLiteral("short_reads"), 30000}} << -1 << -1 << -1;
    QTest::newRow("short replies while requests are held, pipelined")
        << c25 << true << QJsonObject{{QStringLiteral("short_reads"), 20000}, {QStringLiteral("hold_reads"), 20}} << -1
        << 20 << -1;
    QTest::newRow("short replies, plain")
        << c25 << false << QJsonObject{{QStringLiteral("short_reads"), 1000}} << -1 << -1 << -1;
    QTest::newRow("random 50 MB, plain: byte for byte") << big << false << none << -1 << -1 << -1;
    QTest::newRow("random 50 MB, pipelined: byte for byte") << big << true << none << -1 << -1 << -1;
}

void TestSftpDownloader::download()
{
    QFETCH(QString, remote);
    QFETCH(bool, pipelined);
    QFETCH(QJsonObject, faults);
    QFETCH(int, signalCount);
    QFETCH(int, maxOutstanding);
    QFETCH(int, reads);

    QVERIFY(SftpServerProcess::writeControl(m_control, faults));
    QString const source = m_root + remote;
    qint64 const size = QFileInfo(source).size();
    // A longer file already in place must be replaced, not patched.
    QString const local = m_work.filePath(QStringLiteral("download.bin"));
    QVERIFY(writeRandomFile(local, size + 70000, 99));

    SftpDownloader downloader;
    connectDownloader(downloader);
    QSignalSpy progress(&downloader, &SftpDownloader::progress);
    int const result = fetch(downloader, pipelined, remote, local);
    QVERIFY2(result == 0, qPrintable(downloader.errors().join(QLatin1Char('\n'))));
    QVERIFY(downloader.errors().isEmpty());

    QCOMPARE(QFileInfo(local).size(), size);
    QCOMPARE(digest(local), digest(source));

    if (signalCount >= 0)
        QCOMPARE(progress.count(), signalCount);
    qint64 previous = 0;
    for (QList<QVariant> const &emitted : qAsConst(progress)) {
        QCOMPARE(emitted.at(1).toLongLong(), size);
        QVERIFY(emitted.at(0).toLongLong() > previous);
        previous = emitted.at(0).toLongLong();
    }
    QCOMPARE(previous, size);

    QJsonObject const stats = SftpServerProcess::readStats(m_stats);
    if (maxOutstanding >= 0)
        QCOMPARE(stats.value(QStringLiteral("max_outstanding")).toInt(), maxOutstanding);
    if (reads >= 0)
        QCOMPARE(stats.value(QStringLiteral("reads")).toInt(), reads);
    if (pipelined)
        QVERIFY(stats.value(QStringLiteral("max_outstanding")).toInt() <= 20);
}

void TestSftpDownloader::failedDownloadLeavesNoFile_data()
{
    QTest::addColumn<bool>("pipelined");
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<QString>("error");

    // Past the first 20 chunks: the pipelined client asks for them only after
    // the first replies came, so some data surely arrived before the drop.
    QJsonObject const drop{{QStringLiteral("drop_after"), 21 * chunk + 1}};
    QJsonObject const stall{{QStringLiteral("stall_after"), 100000}};
    QString const lost = QStringLiteral("Error while reading file: ");
    QString const silent = QStringLiteral("Error while reading file: the server did not answer for 2 seconds");

    QTest::newRow("server gone mid-transfer, plain") << false << drop << lost;
    QTest::newRow("server gone mid-transfer, pipelined") << true << drop << lost;
    QTest::newRow("server stops answering, plain: no endless wait") << false << stall << silent;
    QTest::newRow("server stops answering, pipelined: no endless wait") << true << stall << silent;
}

void TestSftpDownloader::failedDownloadLeavesNoFile()
{
    QFETCH(bool, pipelined);
    QFETCH(QJsonObject, faults);
    QFETCH(QString, error);

    QVERIFY(SftpServerProcess::writeControl(m_control, faults));
    QString const local = m_work.filePath(QStringLiteral("partial.bin"));
    QFile::remove(local);

    SftpDownloader downloader;
    downloader.setTimeout(2);
    connectDownloader(downloader);
    QSignalSpy progress(&downloader, &SftpDownloader::progress);
    QString const remote = QStringLiteral("/versions/c25.bin");
    QCOMPARE(fetch(downloader, pipelined, remote, local), -1);
    QCOMPARE(downloader.errors().size(), 1);
    QVERIFY2(downloader.errors().first().startsWith(error), qPrintable(downloader.errors().first()));
    QVERIFY(!progress.isEmpty());
    QVERIFY(progress.constLast().at(0).toLongLong() < twentyFiveChunks);
    QVERIFY(!QFile::exists(local));
}

void TestSftpDownloader::openFailures_data()
{
    QTest::addColumn<bool>("pipelined");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("error"); // the whole text, or its start when it ends in libssh's message
    QTest::addColumn<bool>("libsshMessage");

    QString const missingFolder = QStringLiteral("no-such-folder/file.bin");
    QString const existing = QStringLiteral("/versions/small.bin");
    QString const missing = QStringLiteral("/versions/missing.bin");

    QTest::newRow("missing remote file, plain")
        << false << missing << QStringLiteral("a.bin") << QStringLiteral("Can't open file for reading: ") << true;
    QTest::newRow("missing remote file, pipelined: no blank after the colon")
        << true << missing << QStringLiteral("a.bin") << QStringLiteral("Can't open file for reading:") << true;
    QTest::newRow("remote folder instead of a file, plain")
        << false << QStringLiteral("/versions") << QStringLiteral("a.bin") << QString() << true;
    QTest::newRow("local folder missing, plain")
        << false << existing << missingFolder << QStringLiteral("Can't open file for writing: ") << false;
    QTest::newRow("local folder missing, pipelined: no blank after the colon")
        << true << existing << missingFolder << QStringLiteral("Can't open file for writing:") << false;
}

void TestSftpDownloader::openFailures()
{
    QFETCH(bool, pipelined);
    QFETCH(QString, remote);
    QFETCH(QString, local);
    QFETCH(QString, error);
    QFETCH(bool, libsshMessage);

    QString const localPath = m_work.filePath(local);
    QFile::remove(localPath);
    SftpDownloader downloader;
    connectDownloader(downloader);
    QSignalSpy progress(&downloader, &SftpDownloader::progress);
    QCOMPARE(fetch(downloader, pipelined, remote, localPath), -1);
    QCOMPARE(downloader.errors().size(), 1);
    QString const text = downloader.errors().first();
    if (libsshMessage) {
        QVERIFY2(text.startsWith(error), qPrintable(text));
        QVERIFY(text.size() > error.size());
        QVERIFY2(text.at(error.size()) != QLatin1Char(' ') || error.endsWith(QLatin1Char(' ')), qPrintable(text));
    } else {
        QCOMPARE(text, error + localPath);
    }
    QVERIFY(progress.isEmpty());
    QVERIFY(!QFile::exists(localPath));
}

void TestSftpDownloader::oversizedFileRefused_data()
{
    QTest::addColumn<bool>("pipelined");
    QTest::newRow("plain") << false;
    QTest::newRow("pipelined") << true;
}

// A caller's size limit holds on the size the server states, before anything
// is written: a hostile server cannot fill the disk.
void TestSftpDownloader::oversizedFileRefused()
{
    QFETCH(bool, pipelined);
    QString const localPath = m_work.filePath(QStringLiteral("limited.bin"));
    QFile::remove(localPath);
    SftpDownloader downloader;
    connectDownloader(downloader);
    downloader.setMaxFileSize(10);
    QSignalSpy progress(&downloader, &SftpDownloader::progress);
    QCOMPARE(fetch(downloader, pipelined, QStringLiteral("/versions/small.bin"), localPath), -1);
    QVERIFY(downloader.remoteSize() > 10);
    QCOMPARE(downloader.errors(),
        QStringList(QStringLiteral("Remote file is too large: %1 bytes (at most 10)").arg(downloader.remoteSize())));
    QVERIFY(progress.isEmpty());
    QVERIFY(!QFile::exists(localPath));
}

void TestSftpDownloader::localWriteFails_data()
{
    QTest::addColumn<bool>("pipelined");
    QTest::addColumn<QString>("remote");

    QTest::newRow("disk full, plain") << false << QStringLiteral("/versions/c25.bin");
    QTest::newRow("disk full at the last flush, plain") << false << QStringLiteral("/versions/small.bin");
    QTest::newRow("disk full, pipelined") << true << QStringLiteral("/versions/c25.bin");
    QTest::newRow("disk full at the last flush, pipelined") << true << QStringLiteral("/versions/small.bin");
}

void TestSftpDownloader::localWriteFails()
{
    QFETCH(bool, pipelined);
    QFETCH(QString, remote);

    struct stat full;
    if (::stat("/dev/full", &full) != 0)
        QSKIP("this system has no /dev/full");
    // A device of its own, so even a wrong clean-up could only remove that;
    // a link to /dev/full would be replaced, not written through.
    QString const local = m_work.filePath(QStringLiteral("full"));
    QFile::remove(local);
    if (::mknod(QFile::encodeName(local).constData(), S_IFCHR | 0600, full.st_rdev) != 0)
        QSKIP("cannot make a device node here (needs root)");

    SftpDownloader downloader;
    connectDownloader(downloader);
    QCOMPARE(fetch(downloader, pipelined, remote, local), -1);
    QCOMPARE(
        downloader.errors(), QStringList{QStringLiteral("Error writing: ") + QString::fromLocal8Bit(strerror(ENOSPC))});
    QVERIFY(QFileInfo::exists(QStringLiteral("/dev/full")));
    QVERIFY(QFile::remove(local));
}

void TestSftpDownloader::twoDownloadsOnOneSession()
{
    SftpDownloader downloader;
    connectDownloader(downloader);
    QString const first = m_work.filePath(QStringLiteral("first.bin"));
    QString const second = m_work.filePath(QStringLiteral("second.bin"));
    QCOMPARE(downloader.downloadFileAsync(QStringLiteral("/versions/missing.bin"), first), -1);
    QCOMPARE(downloader.downloadFile(QStringLiteral("/versions/one.bin"), first), 0);
    QCOMPARE(downloader.downloadFileAsync(QStringLiteral("/versions/c25.bin"), second), 0);
    QVERIFY(downloader.errors().isEmpty());
    QCOMPARE(digest(first), digest(m_root + QStringLiteral("/versions/one.bin")));
    QCOMPARE(digest(second), digest(m_root + QStringLiteral("/versions/c25.bin")));
}

void TestSftpDownloader::notConnected()
{
    SftpDownloader downloader;
    QString const local = m_work.filePath(QStringLiteral("never.bin"));
    QCOMPARE(downloader.downloadFile(QStringLiteral("/versions/one.bin"), local), -1);
    QCOMPARE(downloader.errors().size(), 1);
    QCOMPARE(downloader.downloadFileAsync(QStringLiteral("/versions/one.bin"), local), -1);
    QCOMPARE(downloader.errors().size(), 1);
    QMultiHash<int, QString> entries;
    QCOMPARE(downloader.listDirectory(QStringLiteral("/"), &entries), -1);
    QVERIFY(!QFile::exists(local));

    // Nobody listening: the connection itself fails, with libssh's code.
    SftpServerProcess closed;
    QTemporaryDir root;
    SftpServerProcess::Options options;
    options.root = root.path();
    QString error;
    QVERIFY2(closed.start(options, &error), qPrintable(error));
    int const port = closed.port();
    closed.stop();
    QVERIFY(downloader.connectToHost(
                QStringLiteral("127.0.0.1"), port, QStringLiteral("vsfetch"), QStringLiteral("vsfetch-pass"))
        != 0);
    QCOMPARE(downloader.errors().size(), 1);
    QVERIFY2(downloader.errors().first().startsWith(QStringLiteral("Error connecting to host ! Error code: ")),
        qPrintable(downloader.errors().first()));
}

void TestSftpDownloader::listDirectory_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("folders under 0, files under 1, nothing filtered")
        << QStringLiteral("/list")
        << QStringList{QStringLiteral("."), QStringLiteral(".."), QStringLiteral("empty"), QStringLiteral("old"),
               QStringLiteral("setup")}
        << QStringList{QStringLiteral("setup 1.2.3.exe"), QStringLiteral("vsver.json")};
    QTest::newRow("empty folder") << QStringLiteral("/list/empty")
                                  << QStringList{QStringLiteral("."), QStringLiteral("..")} << QStringList();
    QTest::newRow("no way above the served root")
        << QStringLiteral("/../..")
        << QStringList{QStringLiteral("."), QStringLiteral(".."), QStringLiteral("big"), QStringLiteral("list"),
               QStringLiteral("versions")}
        << QStringList();
}

void TestSftpDownloader::listDirectory()
{
    QFETCH(QString, folder);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, files);

    SftpDownloader downloader;
    connectDownloader(downloader);
    QMultiHash<int, QString> entries;
    QCOMPARE(downloader.listDirectory(folder, &entries), 0);
    QVERIFY(downloader.errors().isEmpty());
    QStringList foundFolders = entries.values(0);
    QStringList foundFiles = entries.values(1);
    foundFolders.sort();
    foundFiles.sort();
    QCOMPARE(foundFolders, folders);
    QCOMPARE(foundFiles, files);
    QCOMPARE(entries.size(), folders.size() + files.size());

    QMultiHash<int, QString> none;
    QCOMPARE(downloader.listDirectory(folder + QStringLiteral("/missing"), &none), -1);
    QCOMPARE(downloader.errors().size(), 1);
    QVERIFY2(downloader.errors().first().startsWith(QStringLiteral("Directory not opened: ")),
        qPrintable(downloader.errors().first()));
    QVERIFY(none.isEmpty());
}

QTEST_GUILESS_MAIN(TestSftpDownloader)
#include "tst_sftpdownloader.moc"
