#include "environment.h"

#include <QDir>
#include <QStandardPaths>
#include <QtTest>

class TestAutosave : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void bounds_data();
    void bounds();
    void storedUnbounded();
    void absentReadsZero();
    void missingFromSettingsFileReadsFive();
};

void TestAutosave::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestAutosave::init()
{
    Environment::m_instance.reset();
}

void TestAutosave::bounds_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("expected");

    QTest::newRow("61 above the bound") << QVariant(61) << 5;
    QTest::newRow("60 is the upper bound") << QVariant(60) << 60;
    QTest::newRow("0 is the lower bound") << QVariant(0) << 0;
    QTest::newRow("-1 below the bound") << QVariant(-1) << 5;
    QTest::newRow("huge") << QVariant(INT_MAX) << 5;
    QTest::newRow("text from the settings file") << QVariant(QStringLiteral("7")) << 7;
    QTest::newRow("text above the bound") << QVariant(QStringLiteral("61")) << 5;
    QTest::newRow("text that is no number reads 0") << QVariant(QStringLiteral("ten")) << 0;
    QTest::newRow("empty text reads 0") << QVariant(QStringLiteral("")) << 0;
}

void TestAutosave::bounds()
{
    QFETCH(QVariant, stored);
    QFETCH(int, expected);

    Environment *env = Environment::instance();
    env->setSetting(AUTOSSAVE_TIME, stored);
    QCOMPARE(env->getAutosaveTime(), expected);
}

void TestAutosave::storedUnbounded()
{
    Environment *env = Environment::instance();
    env->setAutosaveTime(61);
    QCOMPARE(env->getSetting(AUTOSSAVE_TIME, QVariant::String), QVariant(61));
    env->setAutosaveTime(-1);
    QCOMPARE(env->getSetting(AUTOSSAVE_TIME, QVariant::String), QVariant(-1));
    QCOMPARE(env->getAutosaveTime(), 5);
}

void TestAutosave::absentReadsZero()
{
    // Before the settings are loaded the key is absent: an empty text, read as 0.
    QCOMPARE(Environment::instance()->getAutosaveTime(), 0);
}

void TestAutosave::missingFromSettingsFileReadsFive()
{
    Environment *env = Environment::instance();
    QFile::remove(env->getConfigPath() + QStringLiteral("/uiconfig.ini"));
    QVERIFY(env->loadSettings(true, QString()));
    QVERIFY(!env->getSetting(AUTOSSAVE_TIME, QVariant::String).isValid());
    QCOMPARE(env->getAutosaveTime(), 5);
}

QTEST_GUILESS_MAIN(TestAutosave)
#include "tst_autosave.moc"
