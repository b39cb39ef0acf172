#include "environment.h"

#include <QStandardPaths>
#include <QtTest>

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void oneInstance();
    void absentKeyGivesNullOfAskedType_data();
    void absentKeyGivesNullOfAskedType();
    void valuesHeldUnconverted();
    void invalidValueIgnored();
    void removeSetting();
    void appMode();
    void loadDropsEarlierValues();
};

void TestSettingsStore::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSettingsStore::init()
{
    Environment::m_instance.reset();
}

void TestSettingsStore::oneInstance()
{
    QVERIFY(Environment::m_instance.isNull());
    Environment *first = Environment::instance();
    QCOMPARE(Environment::instance(), first);
    QCOMPARE(Environment::m_instance.data(), first);
}

void TestSettingsStore::absentKeyGivesNullOfAskedType_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("text") << int(QVariant::String);
    QTest::newRow("number") << int(QVariant::Int);
    QTest::newRow("list") << int(QVariant::StringList);
}

void TestSettingsStore::absentKeyGivesNullOfAskedType()
{
    QFETCH(int, type);
    const QVariant value = Environment::instance()->getSetting(APP_MODE, QVariant::Type(type));
    QCOMPARE(int(value.type()), type);
    QVERIFY(value.isNull());
}

void TestSettingsStore::valuesHeldUnconverted()
{
    Environment *env = Environment::instance();
    env->setSetting(APP_MODE, 5);
    const QVariant value = env->getSetting(APP_MODE, QVariant::String);
    QCOMPARE(value.type(), QVariant::Int);
    QCOMPARE(value.toInt(), 5);
}

void TestSettingsStore::invalidValueIgnored()
{
    Environment *env = Environment::instance();
    env->setSetting(STYLE, QVariant());
    QVERIFY(env->getSetting(STYLE, QVariant::String).isNull());
    env->setSetting(STYLE, QStringLiteral("dark"));
    env->setSetting(STYLE, QVariant());
    QCOMPARE(env->getSetting(STYLE, QVariant::String).toString(), QStringLiteral("dark"));
}

void TestSettingsStore::removeSetting()
{
    Environment *env = Environment::instance();
    env->removeSetting(STYLE);
    env->setSetting(STYLE, QStringLiteral("dark"));
    env->removeSetting(STYLE);
    QVERIFY(env->getSetting(STYLE, QVariant::String).isNull());
}

void TestSettingsStore::appMode()
{
    Environment *env = Environment::instance();
    QCOMPARE(env->getAppMode(), Environment::MODE_DEFAULT);
    env->setAppMode(Environment::MODE_LOCAL_CONFIG);
    QCOMPARE(int(env->getAppMode()), 4);
}

void TestSettingsStore::loadDropsEarlierValues()
{
    Environment *env = Environment::instance();
    env->setSetting(ORLA_EXPORT_SETS, QStringLiteral("abcd"));
    env->setSetting(PRESENTATION_MODE, QStringLiteral("on"));
    env->loadSettings(true, QString());
    QVERIFY(env->getSetting(ORLA_EXPORT_SETS, QVariant::String).isNull());
    QVERIFY(env->getSetting(PRESENTATION_MODE, QVariant::String).isNull());
    // Present with an invalid value, not absent.
    QVERIFY(!env->getSetting(OPEN_RECENT_FILES, QVariant::String).isValid());
}

QTEST_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
