#include "commonfunc.h"
#include "crypto.h"
#include "envtesting.h"
#include "progressinitvalues.h"
#include "stderrtofile.h"

#include <QtTest>

using Q = QAESEncryption;
struct Cipher {
    Q::Aes aes;
    Q::Mode mode;
    Q::Padding padding, readPadding; // when they differ, decoding gives nothing
};
Q_DECLARE_METATYPE(Cipher)

class TestCommon : public QObject
{
    Q_OBJECT

public slots:
    void take(ProgressInitValues values) { m_taken = values.text(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void digest_data()
    {
        QTest::addColumn<bool>("sha256"); // else MD5
        QTest::addColumn<int>("size"); // -1: no such file, and no digest

        QTest::newRow("MD5 over read blocks and a byte") << false << (3 << 20) + 1;
        QTest::newRow("MD5 of a missing file: none") << false << -1;
        QTest::newRow("SHA-256 over read blocks and a byte") << true << (3 << 20) + 1;
    }

    void digest()
    {
        QFETCH(bool, sha256);
        QFETCH(int, size);
        const QString path = m_dir.filePath(QString::number(size));
        QVERIFY(size < 0 || envtest::writeFile(path, QByteArray(size, 'x')));
        QProcess process;
        process.start(sha256 ? "sha256sum" : "md5sum", {path}); // as the published digests are made
        QVERIFY(process.waitForFinished());
        QCOMPARE((sha256 ? CommonFunc::calculateSha256Sum : CommonFunc::calculateMd5Sum)(path),
            QString::fromLatin1(process.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0));
    }

    void cipher_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Cipher>("cipher");
        QTest::addColumn<QString>("hex"); // as `openssl enc -nopad` gives it for the padded text, key "k"

        const Cipher stored{Q::AES_256, Q::ECB, Q::ISO, Q::ISO}; // as passwords are stored
        QTest::newRow("16 bytes take a whole padding block")
            << "0123456789abcdef" << stored << "c866478d02680b97f83b0a4b5e1d104e7793c9217c74f455ad750e5f88bc5047";
        QTest::newRow("AES-128 CBC: key from the front of SHA-256, equal blocks chained")
            << QString(32, QLatin1Char('a')) << Cipher{Q::AES_128, Q::CBC, Q::PKCS7, Q::PKCS7}
            << "2b30f5c0dfc38176bb45efd6c5595edd8641c303769de74ae958c4a3c23a177b587df62e92f336939640add62cdcd1da";
        QTest::newRow("text travels as UTF-8") << "zażółć" << stored << "88c5e818caec504e3a15a5057d6c0eef";
        QTest::newRow("PKCS7: a last byte 0 is no padding")
            << "abc" << Cipher{Q::AES_256, Q::ECB, Q::ZERO, Q::PKCS7} << "56b26e3c3197e1a25c166b0f5724d887";
        QTest::newRow("ISO: no 0x80 marker, no text")
            << "abc" << Cipher{Q::AES_256, Q::ECB, Q::ZERO, Q::ISO} << "56b26e3c3197e1a25c166b0f5724d887";
        QTest::newRow("more than 1024 UTF-8 bytes: nothing") << QString(513, QChar(0x17C)) << stored << "";
    }

    void cipher()
    {
        QFETCH(QString, text);
        QFETCH(Cipher, cipher);
        QFETCH(QString, hex);
        const QString key = QStringLiteral("k");
        QCOMPARE(Crypto(cipher.aes, cipher.mode, cipher.padding).encode(text, key, 1024).toHex(), hex.toLatin1());
        const QByteArray read = cipher.padding == cipher.readPadding && !hex.isEmpty() ? text.toUtf8() : QByteArray();
        QCOMPARE(Crypto(cipher.aes, cipher.mode, cipher.readPadding).decode(hex, key, true), read);
    }

    void logger_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<bool>("console");
        QTest::addColumn<bool>("append");
        QTest::addColumn<QString>("passing");

        QTest::newRow("ERROR in capitals: critical only, file truncated") << "ERROR" << false << false << "c";
        QTest::newRow("Info in mixed case: info and above, appended") << "Info" << false << true << "iwc";
        QTest::newRow("an unknown level lets everything through") << "verbose" << false << false << "diwc";
        QTest::newRow("console with thread ids: warning and above") << "warning" << true << false << "wc";
    }

    void logger()
    {
        QFETCH(QString, level);
        QFETCH(bool, console);
        QFETCH(bool, append);
        QFETCH(QString, passing);
        const QString path = m_dir.filePath(QStringLiteral("run.log"));
        QVERIFY(envtest::writeFile(path, "earlier run\n"));
        // The console is unbuffered: what it was given is in the file.
        StderrToFile stderrToFile(console ? path : m_dir.filePath(QStringLiteral("stderr.txt")));
        QVERIFY(console ? TracerManager::registerConsoleLogger(level, true, false, false)
                        : TracerManager::registerFileLogger(path, level, false, true, append));
        // A registration that fails leaves the logger in place.
        QVERIFY(!TracerManager::registerFileLogger(m_dir.filePath(QStringLiteral("no/x.log")), level, 0, 0, 0));
        qDebug("d-probe");
        qInfo("i-probe");
        qWarning("w-probe");
        const int line = (qCritical("c-probe"), __LINE__);
        TracerManager::unregister();

        const QByteArray log = envtest::readAll(path);
        QCOMPARE(log.contains("earlier run"), append);
        for (char const probe : QByteArray("diwc"))
            QCOMPARE(log.contains(probe + QByteArray("-probe")), passing.contains(QLatin1Char(probe)));
        const QString pattern = QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT[\\d:.]{12}\\S* critical default( \\[\\w+\\])? "
                                               "\\S*tst_common.cpp:%1 .*TestCommon::logger\\(\\): c-probe$");
        const QRegularExpression format(pattern.arg(line), QRegularExpression::MultilineOption);
        QVERIFY2(QString::fromUtf8(log).contains(format), log.constData());
    }

    // Hosts connect the updater's status signal by name and across threads: the type is known by its name.
    void statusLineQueuedByName()
    {
        QVERIFY(QMetaObject::invokeMethod(this, "take", Qt::QueuedConnection,
            Q_ARG(ProgressInitValues, ProgressInitValues(ProgressInitValues::Warning, "Warning: no connection"))));
        QCoreApplication::processEvents();
        QCOMPARE(m_taken, QStringLiteral("Warning: no connection"));
    }

private:
    QTemporaryDir m_dir;
    QString m_taken;
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"
