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
    void properFont();
    void settingsWithFontsLoadAndWrite();
};

void TestAppearanceWithoutGui::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(!qobject_cast<QGuiApplication *>(QCoreApplication::instance()));
}

void TestAppearanceWithoutGui::properFont()
{
    const QFont font = Environment::getProperFont(QStringLiteral("Calibri"), 18, true, true);
    QCOMPARE(font.pixelSize(), 18);
    QCOMPARE(font.weight(), 75);
    QVERIFY(font.italic());
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
