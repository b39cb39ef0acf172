#include "crypto.h"
#include "environment.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

namespace
{

Crypto exportCipher()
{
    // The values every caller passes: AES-256, ECB, ISO padding.
    return Crypto(QAESEncryption::Aes(2), QAESEncryption::Mode(0), QAESEncryption::Padding(2));
}

const QString enumName = QStringLiteral("EnvSettingKey");

} // namespace

class TestCrypto : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void roundTrip_data();
    void roundTrip();
    void paddedLength_data();
    void paddedLength();
    void matchesOpenSsl_data();
    void matchesOpenSsl();
    void ecbBlocksAreIndependent();
    void wrongKeyGivesNoText();
    void tooLongText();
    void decodeWithoutRemovingPadding();
    void enumIdNameRoundTrip_data();
    void enumIdNameRoundTrip();
    void enumIdNameForm();
    void enumIdNameRejectsForeignInput_data();
    void enumIdNameRejectsForeignInput();
    void tableEntryDeciphers();
};

void TestCrypto::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestCrypto::roundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");

    QTest::newRow("empty") << QString() << QStringLiteral("key");
    QTest::newRow("one byte") << QStringLiteral("a") << QStringLiteral("key");
    QTest::newRow("15 bytes") << QStringLiteral("abcdefghijklmno") << QStringLiteral("key");
    QTest::newRow("16 bytes") << QStringLiteral("abcdefghijklmnop") << QStringLiteral("key");
    QTest::newRow("17 bytes") << QStringLiteral("abcdefghijklmnopq") << QStringLiteral("key");
    QTest::newRow("ends with the padding marker") << QStringLiteral("abc\u0080") << QStringLiteral("key");
    QTest::newRow("non-ASCII text and key") << QStringLiteral("zażółć gęślą jaźń") << QStringLiteral("klucz-ż");
    QTest::newRow("1024 bytes") << QString(1024, QLatin1Char('x')) << QStringLiteral("key");
    QTest::newRow("empty key") << QStringLiteral("secret") << QString();
}

void TestCrypto::roundTrip()
{
    QFETCH(QString, text);
    QFETCH(QString, key);

    const QByteArray cipher = exportCipher().encode(text, key, 1024);
    QVERIFY(!cipher.isEmpty());
    const QByteArray hex = cipher.toHex();
    QCOMPARE(exportCipher().decode(QString::fromLatin1(hex), key, true), text.toUtf8());
    // Upper-case hex is the same cipher text.
    QCOMPARE(exportCipher().decode(QString::fromLatin1(hex).toUpper(), key, true), text.toUtf8());
}

void TestCrypto::paddedLength_data()
{
    QTest::addColumn<int>("plainLength");
    QTest::addColumn<int>("cipherLength");

    // ISO padding always adds at least its marker byte.
    QTest::newRow("0") << 0 << 16;
    QTest::newRow("15") << 15 << 16;
    QTest::newRow("16") << 16 << 32;
    QTest::newRow("17") << 17 << 32;
    QTest::newRow("31") << 31 << 32;
    QTest::newRow("32") << 32 << 48;
}

void TestCrypto::paddedLength()
{
    QFETCH(int, plainLength);
    QFETCH(int, cipherLength);
    const QByteArray cipher = exportCipher().encode(QString(plainLength, QLatin1Char('p')), QStringLiteral("k"), 1024);
    QCOMPARE(cipher.size(), cipherLength);
    QCOMPARE(cipher.toHex().size(), 2 * cipherLength);
}

void TestCrypto::matchesOpenSsl_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::newRow("short") << QStringLiteral("orla-export") << QStringLiteral("some key");
    QTest::newRow("whole block") << QStringLiteral("0123456789abcdef") << QStringLiteral("k");
    QTest::newRow("empty") << QString() << QStringLiteral("k");
}

void TestCrypto::matchesOpenSsl()
{
    // An independent AES-256-ECB decipher of our output must give the text
    // with ISO/IEC 7816-4 padding: 0x80, then zeros to the block end.
    QFETCH(QString, text);
    QFETCH(QString, key);

    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        QSKIP("the openssl command is not installed");

    const QByteArray cipher = exportCipher().encode(text, key, 1024);
    const QByteArray rawKey = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256);
    QProcess process;
    process.start(openssl,
        {QStringLiteral("enc"), QStringLiteral("-d"), QStringLiteral("-aes-256-ecb"), QStringLiteral("-nopad"),
            QStringLiteral("-K"), QString::fromLatin1(rawKey.toHex())});
    QVERIFY(process.waitForStarted());
    process.write(cipher);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitCode(), 0);

    QByteArray expected = text.toUtf8();
    expected.append(char(0x80));
    while (expected.size() % 16)
        expected.append('\0');
    QCOMPARE(process.readAllStandardOutput(), expected);
}

void TestCrypto::ecbBlocksAreIndependent()
{
    const QByteArray cipher = exportCipher().encode(QString(32, QLatin1Char('z')), QStringLiteral("k"), 1024);
    QCOMPARE(cipher.size(), 48);
    QCOMPARE(cipher.mid(0, 16), cipher.mid(16, 16));
}

void TestCrypto::wrongKeyGivesNoText()
{
    const QByteArray cipher = exportCipher().encode(QStringLiteral("secret text"), QStringLiteral("right"), 1024);
    QVERIFY(exportCipher().decode(QString::fromLatin1(cipher.toHex()), QStringLiteral("wrong"), true)
        != QByteArray("secret text"));
}

void TestCrypto::tooLongText()
{
    QVERIFY(exportCipher().encode(QString(1025, QLatin1Char('x')), QStringLiteral("k"), 1024).isEmpty());
    // The bound counts UTF-8 bytes: 513 two-byte letters are 1026 bytes.
    QVERIFY(exportCipher().encode(QString(513, QChar(0x17C)), QStringLiteral("k"), 1024).isEmpty());
    QVERIFY(!exportCipher().encode(QString(512, QChar(0x17C)), QStringLiteral("k"), 1024).isEmpty());
}

void TestCrypto::decodeWithoutRemovingPadding()
{
    const QByteArray cipher = exportCipher().encode(QStringLiteral("abc"), QStringLiteral("k"), 1024);
    const QByteArray raw = exportCipher().decode(QString::fromLatin1(cipher.toHex()), QStringLiteral("k"), false);
    QCOMPARE(raw.size(), 16);
    QVERIFY(raw.startsWith("abc\x80"));
}

void TestCrypto::enumIdNameRoundTrip_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("account") << QStringLiteral("vscheck");
    QTest::newRow("escaped host") << QStringLiteral("127$d$0$d$0$d$1");
    QTest::newRow("non-ASCII") << QStringLiteral("zażółć gęślą jaźń ☃ 日本");
    QTest::newRow("exactly one block") << QStringLiteral("0123456789abcdef");
    QTest::newRow("long") << QString(700, QLatin1Char('q'));
    QTest::newRow("spaces and quotes") << QStringLiteral(" \"a=b\"; [x] ");
    QTest::newRow("embedded NUL") << QString::fromLatin1("a\0b", 3);
}

void TestCrypto::enumIdNameRoundTrip()
{
    QFETCH(QString, text);
    const QString stored = Crypto::encodeEnumIdName(enumName, text);
    QVERIFY(!stored.isEmpty());
    QCOMPARE(Crypto::decodeEnumIdName(enumName, stored), text);
    // Another enumeration's name does not open it.
    QVERIFY(text.isEmpty() || Crypto::decodeEnumIdName(QStringLiteral("OtherEnum"), stored) != text);
}

void TestCrypto::enumIdNameForm()
{
    const QString stored = Crypto::encodeEnumIdName(enumName, QStringLiteral("vscheck"));
    QVERIFY(QRegularExpression(QStringLiteral("^([0-9a-f]{32})+$")).match(stored).hasMatch());
    // The table is generated at build time: the same text gives the same form.
    QCOMPARE(Crypto::encodeEnumIdName(enumName, QStringLiteral("vscheck")), stored);
    QVERIFY(Crypto::encodeEnumIdName(enumName, QStringLiteral("vscheck2")) != stored);
}

void TestCrypto::enumIdNameRejectsForeignInput_data()
{
    QTest::addColumn<QString>("input");
    QTest::newRow("empty") << QString();
    QTest::newRow("plain key name") << QStringLiteral("LOG_FILE");
    QTest::newRow("odd hex length") << QStringLiteral("abc");
    QTest::newRow("hex, not whole blocks") << QStringLiteral("00112233");
    QTest::newRow("reserved-number form") << QStringLiteral("=26");
}

void TestCrypto::enumIdNameRejectsForeignInput()
{
    QFETCH(QString, input);
    QCOMPARE(Crypto::decodeEnumIdName(enumName, input), QString());
}

void TestCrypto::tableEntryDeciphers()
{
    const QString stored = EnvSettingKeyEnumClass::idName(SECURE_ARG_1605);
    QCOMPARE(Crypto::decodeEnumIdName(enumName, stored), QStringLiteral(ENV_UPDATE_CHECK_USER));
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "tst_crypto.moc"
