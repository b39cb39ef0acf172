#include "crypto.h"
#include "environment.h"
#include "messagecapture.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

class TestExportPassword : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void defaultPassword();
    void roundTrip_data();
    void roundTrip();
    void removeOrLoadBringsDefaultBack();
    void storedFormOutlivesTheSingleton();
    void foreignStoredValue_data();
    void foreignStoredValue();
    void passwordBeyondCipherBoundKeepsCurrent();

private:
    static QString held() { return Environment::instance()->getSetting(ORLA_EXPORT_SETS, QVariant::String).toString(); }
};

namespace
{

const QString enumName = QStringLiteral("EnvSettingKey");

} // namespace

void TestExportPassword::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestExportPassword::init()
{
    Environment::m_instance.reset();
}

void TestExportPassword::cleanup()
{
    Environment::m_instance.reset();
}

void TestExportPassword::defaultPassword()
{
    Environment *env = Environment::instance();
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral(ENV_TEST_EXPORT_PASSWORD));
    QCOMPARE(env->getOrlaExportPassword(true), EnvSettingKeyEnumClass::s_idNames.value(SECURE_ARG_1601));
    QVERIFY(!env->getOrlaExportPassword(true).isEmpty());
}

void TestExportPassword::roundTrip_data()
{
    QTest::addColumn<QString>("password");

    QTest::newRow("plain") << "secret";
    QTest::newRow("empty is a password, not the default") << "";
    QTest::newRow("the default's text itself") << ENV_TEST_EXPORT_PASSWORD;
    QTest::newRow("non-Latin letters") << "zażółć gęślą jaźń ₾";
    QTest::newRow("longest the cipher takes") << QString(511, QLatin1Char('p'));
}

void TestExportPassword::roundTrip()
{
    QFETCH(QString, password);

    Environment *env = Environment::instance();
    env->setOrlaExportPassword(password);
    QCOMPARE(env->getOrlaExportPassword(false), password);
    QCOMPARE(env->getOrlaExportPassword(true), Crypto::encodeEnumIdName(enumName, password));

    const QString stored = held();
    QVERIFY(!stored.isEmpty());
    QCOMPARE(stored.size() % 2, 0);
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]+$")).match(stored).hasMatch(), qPrintable(stored));
    QVERIFY(password.isEmpty() || !stored.contains(password.toUtf8().toHex()));
}

void TestExportPassword::removeOrLoadBringsDefaultBack()
{
    Environment *env = Environment::instance();
    env->setOrlaExportPassword(QStringLiteral("secret"));
    env->removeSetting(ORLA_EXPORT_SETS);
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral(ENV_TEST_EXPORT_PASSWORD));
    env->setOrlaExportPassword(QStringLiteral("secret"));
    env->writeSettings();
    QVERIFY(env->loadSettings(true, QString()));
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral(ENV_TEST_EXPORT_PASSWORD));
}

void TestExportPassword::storedFormOutlivesTheSingleton()
{
    // The cipher key is fixed, not per process or per singleton.
    Environment::instance()->setOrlaExportPassword(QStringLiteral("secret"));
    const QString stored = held();
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    env->setSetting(ORLA_EXPORT_SETS, stored);
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral("secret"));
}

void TestExportPassword::foreignStoredValue_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("empty text") << "";
    QTest::newRow("not hex") << "not a stored form";
    QTest::newRow("odd hex") << "abc";
    QTest::newRow("one block of zeros") << QString(32, QLatin1Char('0'));
}

void TestExportPassword::foreignStoredValue()
{
    QFETCH(QString, value);

    // Presence decides: the default does not come back, whatever the value.
    Environment *env = Environment::instance();
    env->setSetting(ORLA_EXPORT_SETS, value);
    const QString plain = env->getOrlaExportPassword(false);
    QVERIFY(plain != QStringLiteral(ENV_TEST_EXPORT_PASSWORD));
    QVERIFY(env->getOrlaExportPassword(true) != EnvSettingKeyEnumClass::idName(SECURE_ARG_1601));
}

void TestExportPassword::passwordBeyondCipherBoundKeepsCurrent()
{
    Environment *env = Environment::instance();
    env->setOrlaExportPassword(QStringLiteral("secret"));
    MessageCapture capture;
    env->setOrlaExportPassword(QString(512, QLatin1Char('p')));
    QCOMPARE(capture.count(QtWarningMsg, QStringLiteral("Cannot encode export password")), 1);
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral("secret"));

    Environment::m_instance.reset();
    env = Environment::instance();
    env->setOrlaExportPassword(QString(600, QLatin1Char('p')));
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral(ENV_TEST_EXPORT_PASSWORD));
}

QTEST_GUILESS_MAIN(TestExportPassword)
#include "tst_exportpassword.moc"
