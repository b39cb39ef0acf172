#include "environment.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QtTest>

// A host with a plain QCoreApplication (a command-line tool) has no font
// database; asking it would abort the process.
class TestAppearanceWithoutGui : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void properFont_data();
    void properFont();
    void settingsWithFontsLoadAndWrite();
};

void TestAppearanceWithoutGui::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(!qobject_cast<QGuiApplication *>(QCoreApplication::instance()));
}

void TestAppearanceWithoutGui::properFont_data()
{
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("italic");
    QTest::newRow("bold") << 18 << true << false;
    QTest::newRow("normal italic") << 11 << false << true;
}

void TestAppearanceWithoutGui::properFont()
{
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(bool, italic);

    const QFont font = Environment::getProperFont(QStringLiteral("Calibri"), pixelSize, bold, italic);
    QCOMPARE(font.pixelSize(), pixelSize);
    QCOMPARE(font.weight(), bold ? 75 : 50);
    QCOMPARE(font.italic(), italic);
}

void TestAppearanceWithoutGui::settingsWithFontsLoadAndWrite()
{
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    QVERIFY(env->loadSettings(false, QString()));
    QCOMPARE(env->getUiFont(GUI_CABINET_NAME_FONT).pixelSize(), 18);
    QCOMPARE(env->getUiColor(GUI_LE_SELECTED_COLOR), QColor(255, 210, 0));
    env->getUiFont(GUI_NODE_NAME_FONT).setPixelSize(21);
    env->writeSettings();

    Environment::m_instance.reset();
    env = Environment::instance();
    env->loadSettings(false, QString());
    QCOMPARE(env->getUiFont(GUI_NODE_NAME_FONT).pixelSize(), 21);
    Environment::m_instance.reset();
}

QTEST_GUILESS_MAIN(TestAppearanceWithoutGui)
#include "tst_appearance_nogui.moc"
