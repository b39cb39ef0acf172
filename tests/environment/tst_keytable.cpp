#include "crypto.h"
#include "environment.h"

#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

class TestKeyTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void idName_data();
    void idName();
    void tableShape();
    void decipheredNames_data();
    void decipheredNames();
    void defaultDeploymentData();
};

void TestKeyTable::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestKeyTable::idName_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("NONE has a name") << int(NONE) << "NONE";
    QTest::newRow("LANG") << int(LANG) << "LANG";
    QTest::newRow("diary input") << int(KORAX_DIARY_INPUT_DIR) << "KORAX_DIARY_INPUT_DIR";
    QTest::newRow("doubled S kept") << int(AUTOSSAVE_TIME) << "AUTOSSAVE_TIME";
    QTest::newRow("after the reserved numbers") << int(APP_FONT) << "APP_FONT";
    QTest::newRow("export password key") << int(ORLA_EXPORT_SETS) << "ORLA_EXPORT_SETS";
    for (int reserved : {26, 27, 28, 33, 34})
        QTest::newRow(qPrintable(QStringLiteral("reserved %1").arg(reserved)))
            << reserved << QStringLiteral("=%1").arg(reserved);
    QTest::newRow("unknown number") << 9999 << "=9999";
    QTest::newRow("between the enciphered blocks") << 1700 << "=1700";
    QTest::newRow("negative number") << -5 << "=-5";
}

void TestKeyTable::idName()
{
    QFETCH(int, key);
    QFETCH(QString, expected);
    QCOMPARE(EnvSettingKeyEnumClass::idName(EnvSettingKey(key)), expected);
}

void TestKeyTable::tableShape()
{
    auto const &table = EnvSettingKeyEnumClass::s_idNames;
    QCOMPARE(table.size(), 49);

    const QRegularExpression hex(QStringLiteral("^[0-9a-f]+$"));
    int plain = 0;
    int enciphered = 0;
    QSet<QString> names;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const int number = int(it.key());
        names.insert(it.value());
        if (number >= 1600) {
            ++enciphered;
            QVERIFY2(hex.match(it.value()).hasMatch(), qPrintable(it.value()));
            QCOMPARE(it.value().size() % 32, 0);
        } else {
            ++plain;
            QVERIFY(number >= 0 && number <= 36);
        }
        // idName gives the stored text itself, enciphered ones included.
        QCOMPARE(EnvSettingKeyEnumClass::idName(it.key()), it.value());
    }
    QCOMPARE(plain, 32);
    QCOMPARE(enciphered, 17);
    QCOMPARE(names.size(), 49);
}

void TestKeyTable::decipheredNames_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("plain");

    // The deployment data this build was configured with; the update server's
    // keys keep "." and "/" escaped.
    auto escaped = [](QString text) {
        return text.replace(QLatin1String("."), QLatin1String("$d$")).replace(QLatin1String("/"), QLatin1String("$s$"));
    };
    QTest::newRow("check account") << int(SECURE_ARG_1605) << escaped(QStringLiteral(ENV_UPDATE_CHECK_USER));
    QTest::newRow("check password") << int(SECURE_ARG_1606) << escaped(QStringLiteral(ENV_UPDATE_CHECK_PASSWORD));
    QTest::newRow("fetch account") << int(SECURE_ARG_1603) << escaped(QStringLiteral(ENV_UPDATE_FETCH_USER));
    QTest::newRow("fetch password") << int(SECURE_ARG_1604) << escaped(QStringLiteral(ENV_UPDATE_FETCH_PASSWORD));
    QTest::newRow("host, dots escaped") << int(SECURE_ARG_1602) << escaped(QStringLiteral(ENV_UPDATE_HOST));
    QTest::newRow("version folder, slash escaped")
        << int(SECURE_ARG_1607) << escaped(QStringLiteral(ENV_UPDATE_VERSION_DIR));
    QTest::newRow("export password, not escaped") << int(SECURE_ARG_1601) << QStringLiteral(ENV_EXPORT_PASSWORD);
}

void TestKeyTable::decipheredNames()
{
    QFETCH(int, key);
    QFETCH(QString, plain);
    const QString stored = EnvSettingKeyEnumClass::idName(EnvSettingKey(key));
    QVERIFY(stored != plain);
    QCOMPARE(Crypto::decodeEnumIdName(QStringLiteral("EnvSettingKey"), stored), plain);
}

void TestKeyTable::defaultDeploymentData()
{
    if (QStringLiteral(ENV_UPDATE_CHECK_USER) != QLatin1String("vscheck"))
        QSKIP("built with other deployment data");
    QCOMPARE(Crypto::decodeEnumIdName(QStringLiteral("EnvSettingKey"), EnvSettingKeyEnumClass::idName(SECURE_ARG_1605)),
        QStringLiteral("vscheck"));
    QCOMPARE(Crypto::decodeEnumIdName(QStringLiteral("EnvSettingKey"), EnvSettingKeyEnumClass::idName(SECURE_ARG_1602)),
        QStringLiteral("127$d$0$d$0$d$1"));
}

QTEST_GUILESS_MAIN(TestKeyTable)
#include "tst_keytable.moc"
