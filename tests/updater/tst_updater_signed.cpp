#include "httpstestserver.h"
#include "sftpupdatefixture.h"
#include "updater.h"
#include "updatetrust_p.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

using namespace updatertest;

namespace
{

// Runs the openssl command; the signatures of these tests are made by it, not
// by the library, so the format is checked against another implementation.
bool openssl(QStringList const &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << "openssl" << arguments << process.readAllStandardError();
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

} // namespace

// A setup program signed by its publisher is installed from each kind of
// source; every other is refused before it starts, and nothing of it is left.
class UpdaterTest : public QObject, public SftpUpdateFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void signedSetupProgram_data();
    void signedSetupProgram();

private:
    QString sign(QString const &key, QByteArray const &message) const;

    QTemporaryDir m_certDir;
    HttpsTestServer m_https;
    QString m_webRoot;
    QString m_updateFolder;
    QString m_publicKey;
    QByteArray m_program;
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    makeServerFiles();
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QVERIFY(startServer(defaultAccounts, m_work.filePath(QStringLiteral("host_key"))));

    m_webRoot = m_work.filePath(QStringLiteral("web"));
    m_updateFolder = m_work.filePath(QStringLiteral("update folder"));
    QVERIFY(QDir().mkpath(m_webRoot + QStringLiteral("/files")) && QDir().mkpath(m_updateFolder));
    QVERIFY(m_certDir.isValid() && m_https.startTrusted(m_certDir.path(), m_webRoot));
    QVERIFY(writeFile(m_webRoot + QStringLiteral("/page.html"),
        "<a href=\"" + m_https.url(QStringLiteral("/files/") + setupName).toUtf8() + "\">Setup</a>\n"));

    for (char const *name : {"key.pem", "other.pem"})
        QVERIFY(openssl({QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("ed25519"),
            QStringLiteral("-out"), m_work.filePath(QLatin1String(name))}));
    // The raw key is the end of the DER form, after its 12-byte prefix.
    QByteArray der;
    QVERIFY(openssl({QStringLiteral("pkey"), QStringLiteral("-in"), m_work.filePath(QStringLiteral("key.pem")),
                        QStringLiteral("-pubout"), QStringLiteral("-outform"), QStringLiteral("DER")},
        &der));
    QCOMPARE(der.size(), 44);
    m_publicKey = QString::fromLatin1(der.mid(12).toBase64());

    QFile program(m_setupPath);
    QVERIFY(program.open(QIODevice::ReadOnly));
    m_program = program.readAll();
}

void UpdaterTest::init()
{
    resetForTest();
}

void UpdaterTest::cleanup()
{
    updatetrust::setPublicKey(QString());
    Environment::instance()->removeSetting(UPDATES_HTTP_URL);
    Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
    m_tmp.reset();
}

void UpdaterTest::cleanupTestCase()
{
    m_server.stop();
    m_https.stop();
}

QString UpdaterTest::sign(QString const &key, QByteArray const &message) const
{
    const QString messagePath = m_work.filePath(QStringLiteral("message"));
    const QString signaturePath = m_work.filePath(QStringLiteral("signature"));
    if (!writeFile(messagePath, message)
        || !openssl({QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-inkey"), m_work.filePath(key),
            QStringLiteral("-rawin"), QStringLiteral("-in"), messagePath, QStringLiteral("-out"), signaturePath}))
        return QString();
    QFile signature(signaturePath);
    return signature.open(QIODevice::ReadOnly) ? QString::fromLatin1(signature.readAll().toBase64()) : QString();
}

void UpdaterTest::signedSetupProgram_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<bool>("keyConfigured");
    QTest::addColumn<QString>("signer"); // key file, or empty for no signature
    QTest::addColumn<QString>("signedVersion");
    QTest::addColumn<QString>("signedName");
    QTest::addColumn<QString>("signature"); // replaces the signature when not empty
    QTest::addColumn<QByteArray>("change"); // "byte" or "grow": done to the program after signing
    QTest::addColumn<QString>("refusal"); // part of what the host is told; empty: installed

    const QString key = QStringLiteral("key.pem");
    const QString version = QStringLiteral("2.1.1.0");
    const QString notOurs = QStringLiteral("is not the one the publisher signed");
    const QVector<QPair<int, char const *>> sources{{Updater::FILE_SERVER_SFTP, "sftp"},
        {Updater::FILE_SERVER_LOCAL_DIR, "update folder"}, {Updater::FILE_SERVER_HTTP_URL, "web page"}};
    for (auto const &source : sources) {
        auto row = [&](char const *what) -> QTestData & {
            return QTest::addRow("%s: %s", source.second, what) << source.first;
        };
        row("valid signature installs") << true << key << version << setupName << QString() << QByteArray()
                                        << QString();
        row("no signature") << true << QString() << version << setupName << QString() << QByteArray()
                            << QStringLiteral("is not signed");
        row("another key") << true << QStringLiteral("other.pem") << version << setupName << QString() << QByteArray()
                           << notOurs;
        row("file changed after signing")
            << true << key << version << setupName << QString() << QByteArray("byte") << notOurs;
        row("signature over another version")
            << true << key << QStringLiteral("2.1.2.0") << setupName << QString() << QByteArray() << notOurs;
        row("signature over another name") << true << key << version << QStringLiteral("VardoStudioSetup_2.1.2.0.exe")
                                           << QString() << QByteArray() << notOurs;
        row("truncated signature") << true << key << version << setupName << QStringLiteral("trunc") << QByteArray()
                                   << QStringLiteral("is malformed");
        row("garbage signature") << true << key << version << setupName << QStringLiteral("not base64 at all!")
                                 << QByteArray() << QStringLiteral("is malformed");
        // The SFTP source knows the signed size before the transfer and stops it.
        row("larger than the signed size")
            << true << key << version << setupName << QString() << QByteArray("grow")
            << (source.first == Updater::FILE_SERVER_SFTP ? QStringLiteral("Remote file is too large") : notOurs);
        row("no key configured: unsigned installs as before")
            << false << QString() << version << setupName << QString() << QByteArray() << QString();
    }
}

void UpdaterTest::signedSetupProgram()
{
    QFETCH(int, source);
    QFETCH(bool, keyConfigured);
    QFETCH(QString, signer);
    QFETCH(QString, signedVersion);
    QFETCH(QString, signedName);
    QFETCH(QString, signature);
    QFETCH(QByteArray, change);
    QFETCH(QString, refusal);

    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(m_program, QCryptographicHash::Sha256).toHex());
    QString sig;
    if (!signer.isEmpty()) {
        sig = sign(signer,
            "env-release-1\n" + signedVersion.toUtf8() + '\n' + signedName.toUtf8() + '\n'
                + QByteArray::number(m_program.size()) + '\n' + sha256.toLatin1() + '\n');
        QVERIFY(!sig.isEmpty());
    }
    if (signature == QLatin1String("trunc"))
        sig.truncate(40);
    else if (!signature.isEmpty())
        sig = signature;
    QByteArray program = m_program;
    if (change == "byte")
        program[program.size() - 2] = 'y';
    else if (change == "grow")
        program += QByteArray(1000, 'x');

    // The program with its MD5 text and signature, where the source finds them.
    const QString folder = source == Updater::FILE_SERVER_SFTP ? QFileInfo(m_setupPath).path()
        : source == Updater::FILE_SERVER_LOCAL_DIR             ? m_updateFolder
                                                               : m_webRoot + QStringLiteral("/files");
    const QString path = folder + QLatin1Char('/') + setupName;
    QVERIFY(writeFile(path, program));
    QVERIFY(QFile::setPermissions(path, QFile::permissions(m_setupPath) | QFile::ExeOwner));
    QVERIFY(writeFile(path + QStringLiteral(".md5"), md5Of(path).toLatin1() + '\n'));
    QFile::remove(path + QStringLiteral(".sig"));
    if (!sig.isEmpty())
        QVERIFY(writeFile(path + QStringLiteral(".sig"), "\n" + sig.toLatin1() + "\n\n"));
    QJsonObject offer = SftpUpdateFixture::offer();
    offer.insert(QStringLiteral("size"), m_program.size());
    offer.insert(QStringLiteral("sha256"), sha256);
    if (!sig.isEmpty())
        offer.insert(QStringLiteral("sig"), sig);
    QVERIFY(writeFile(versionFilePath(), QJsonDocument(QJsonObject{{QStringLiteral("archx86"), offer}}).toJson()));
    Environment::instance()->setSetting(UPDATES_LOCAL_DIR, m_updateFolder);
    Environment::instance()->setSetting(UPDATES_HTTP_URL, m_https.url(QStringLiteral("/page.html")));

    // Empty, not null: no key, whatever the build names.
    updatetrust::setPublicKey(keyConfigured ? m_publicKey : QStringLiteral(""));
    Updater updater(Environment::MODE_SERVER_UPDATES);
    updater.m_fileServers = QVector<int>{source};
    Recorder recorder(&updater);
    connect(&updater, &Updater::setupFileDownloaded, &updater, &Updater::runSetupFile);
    updater.checkForUpdates(false);
    if (!recorder.question.isEmpty())
        updater.updateApp();

    QStringList told;
    for (int i = 0; i < recorder.errors.count(); ++i)
        told << recorder.error(i);
    for (int i = 0; i < recorder.status.count(); ++i)
        told << recorder.statusText(i);
    if (refusal.isEmpty()) {
        QVERIFY2(told.isEmpty(), qPrintable(told.join(QLatin1Char('\n'))));
        QCOMPARE(recorder.close.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_argsFile), 15000);
        return;
    }
    QCOMPARE(told.size(), 1);
    QVERIFY2(told.first().contains(refusal), qPrintable(told.first()));
    QCOMPARE(recorder.close.count(), 0);
    QVERIFY(!QFileInfo::exists(m_argsFile));
    QCOMPARE(tempEntries().filter(QStringLiteral("VardoStudioSetup_")), QStringList());
}

QTEST_GUILESS_MAIN(UpdaterTest)
#include "tst_updater_signed.moc"
