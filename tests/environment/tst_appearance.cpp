#include "environment.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

const QString systemFontMark = QStringLiteral("<system general font>");

// Families of the fallback chain, none of which Debian's font packages bring.
const QStringList chainFamilies{QStringLiteral("Tahoma"), QStringLiteral("Helvetica"), QStringLiteral("MS Shell Dlg 2"),
    QStringLiteral("Verdana"), QStringLiteral("Arial"), QStringLiteral("MS Sans Serif")};

} // namespace

class TestAppearance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void properFontChain_data();
    void properFontChain();
    void properFontSizeAndStyle_data();
    void properFontSizeAndStyle();
    void defaultFonts_data();
    void defaultFonts();
    void defaultColors_data();
    void defaultColors();
    void defaultsReplaceOnlyTheirKeys();
    void uiFontAndColourAccess();

private:
    void registerFamilies(QStringList const &families);

    QTemporaryDir m_fontDir;
    QHash<QString, QString> m_fontFiles;
    QList<int> m_registered;
};

void TestAppearance::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_fontDir.isValid());

    // Real fonts with the chain's family names: copies of DejaVu Sans renamed.
    const QString source = QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
    QVERIFY2(QFile::exists(source), "fonts-dejavu-core is needed");
    QStringList families = chainFamilies;
    families << QStringLiteral("Calibri");
    QProcess python;
    python.start(QStringLiteral(ENV_SYSTEM_PYTHON),
        QStringList{QStringLiteral(ENV_TEST_SOURCE_DIR "/../support/rename_font.py"), source, m_fontDir.path()}
            + families);
    QVERIFY(python.waitForFinished(120000));
    QVERIFY2(python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0,
        python.readAllStandardError().constData());
    for (QString const &family : families) {
        const QString file = m_fontDir.filePath(QString(family).remove(QLatin1Char(' ')) + QStringLiteral(".ttf"));
        QVERIFY2(QFile::exists(file), qPrintable(file));
        m_fontFiles.insert(family, file);
    }

    const QStringList installed = QFontDatabase().families();
    for (QString const &family : families) {
        if (installed.contains(family))
            QSKIP("this machine has a font of the fallback chain installed; the chain cannot be isolated");
    }
}

void TestAppearance::init()
{
    Environment::m_instance.reset();
}

void TestAppearance::cleanup()
{
    for (int id : qAsConst(m_registered))
        QFontDatabase::removeApplicationFont(id);
    m_registered.clear();
}

void TestAppearance::registerFamilies(QStringList const &families)
{
    for (QString const &family : families) {
        const int id = QFontDatabase::addApplicationFont(m_fontFiles.value(family));
        QVERIFY2(id >= 0, qPrintable(family));
        m_registered << id;
        QCOMPARE(QFontDatabase::applicationFontFamilies(id), QStringList{family});
    }
}

void TestAppearance::properFontChain_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<QString>("expected");

    QTest::newRow("the family asked for wins")
        << QStringList{"Calibri", "Tahoma"} << QStringLiteral("Calibri") << QStringLiteral("Calibri");
    QTest::newRow("missing family falls back to Tahoma")
        << QStringList{"Tahoma", "Verdana"} << QStringLiteral("Calibri") << QStringLiteral("Tahoma");
    QTest::newRow("Helvetica before MS Shell Dlg 2")
        << QStringList{"MS Shell Dlg 2", "Helvetica"} << QStringLiteral("Calibri") << QStringLiteral("Helvetica");
    QTest::newRow("MS Shell Dlg 2 before Verdana")
        << QStringList{"Verdana", "MS Shell Dlg 2"} << QStringLiteral("Calibri") << QStringLiteral("MS Shell Dlg 2");
    QTest::newRow("Verdana before Arial")
        << QStringList{"Arial", "Verdana"} << QStringLiteral("Calibri") << QStringLiteral("Verdana");
    QTest::newRow("Arial before MS Sans Serif")
        << QStringList{"MS Sans Serif", "Arial"} << QStringLiteral("Calibri") << QStringLiteral("Arial");
    QTest::newRow("last of the chain") << QStringList{"MS Sans Serif"} << QStringLiteral("Calibri")
                                       << QStringLiteral("MS Sans Serif");
    QTest::newRow("names compare case-sensitively")
        << QStringList{"Calibri", "Verdana"} << QStringLiteral("calibri") << QStringLiteral("Verdana");
    QTest::newRow("a family of the system")
        << QStringList{"Tahoma"} << QStringLiteral("DejaVu Serif") << QStringLiteral("DejaVu Serif");
    QTest::newRow("nothing of the chain: the system font")
        << QStringList{} << QStringLiteral("No Such Family") << systemFontMark;
}

void TestAppearance::properFontChain()
{
    QFETCH(QStringList, installed);
    QFETCH(QString, asked);
    QFETCH(QString, expected);

    registerFamilies(installed);
    const bool systemFont = expected == systemFontMark;
    if (systemFont)
        expected = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();

    const QFont font = Environment::getProperFont(asked, 14, false, false);
    QCOMPARE(font.family(), expected);
    // The font really resolves to the registered file, not to a substitute
    // (the system font's family may itself be an alias).
    if (!systemFont)
        QCOMPARE(QFontInfo(font).family(), expected);
    QCOMPARE(font.pixelSize(), 14);
}

void TestAppearance::properFontSizeAndStyle_data()
{
    QTest::addColumn<QString>("asked");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("italic");

    QTest::newRow("Calibri 18 bold") << QStringLiteral("Calibri") << 18 << true << false;
    QTest::newRow("missing family 11 normal") << QStringLiteral("Segoe Nothing") << 11 << false << false;
    QTest::newRow("italic") << QStringLiteral("Calibri") << 15 << false << true;
    QTest::newRow("bold italic, large") << QStringLiteral("Calibri") << 64 << true << true;
    QTest::newRow("one pixel") << QStringLiteral("Tahoma") << 1 << false << false;
}

void TestAppearance::properFontSizeAndStyle()
{
    QFETCH(QString, asked);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(bool, italic);

    registerFamilies({QStringLiteral("Tahoma")});
    const QFont font = Environment::getProperFont(asked, pixelSize, bold, italic);
    QCOMPARE(font.family(), QStringLiteral("Tahoma"));
    QCOMPARE(font.pixelSize(), pixelSize);
    QCOMPARE(font.pointSize(), -1);
    QCOMPARE(font.weight(), bold ? 75 : 50);
    QCOMPARE(font.italic(), italic);
    QCOMPARE(QFontInfo(font).pixelSize(), pixelSize);
}

void TestAppearance::defaultFonts_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<int>("colourKey");
    QTest::addColumn<QColor>("colour");

    const QColor black(Qt::black);
    QTest::newRow("application font") << int(APP_FONT) << "MS Shell Dlg 2" << 11 << false << int(APP_FONT_COLOR)
                                      << black;
    QTest::newRow("component names") << int(GUI_COMPONENT_NAME_FONT) << "Calibri" << 11 << false
                                     << int(GUI_COMPONENT_NAME_FONT_COLOR) << black;
    QTest::newRow("cabinet names") << int(GUI_CABINET_NAME_FONT) << "Calibri" << 18 << true
                                   << int(GUI_CABINET_NAME_FONT_COLOR) << QColor(210, 210, 210, 255);
    QTest::newRow("node names") << int(GUI_NODE_NAME_FONT) << "Calibri" << 15 << true << int(GUI_NODE_NAME_FONT_COLOR)
                                << black;
    QTest::newRow("fire-alarm system names")
        << int(GUI_FAS_SYSTEM_NAME_FONT) << "Calibri" << 15 << true << int(GUI_FAS_SYSTEM_NAME_FONT_COLOR) << black;
}

void TestAppearance::defaultFonts()
{
    QFETCH(int, key);
    QFETCH(QString, family);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(int, colourKey);
    QFETCH(QColor, colour);

    registerFamilies({QStringLiteral("Calibri"), QStringLiteral("MS Shell Dlg 2")});
    QHash<EnvSettingKey, QFont> fonts;
    QHash<EnvSettingKey, QColor> colours;
    Environment::setDefaultFonts(&fonts, &colours);
    QCOMPARE(fonts.size(), 5);
    QCOMPARE(colours.size(), 5);

    const QFont font = fonts.value(EnvSettingKey(key));
    QCOMPARE(font.family(), family);
    QCOMPARE(font.pixelSize(), pixelSize);
    QCOMPARE(font.weight(), bold ? 75 : 50);
    QVERIFY(!font.italic());
    QCOMPARE(colours.value(EnvSettingKey(colourKey)), colour);
}

void TestAppearance::defaultColors_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("selected elements") << int(GUI_LE_SELECTED_COLOR) << QColor(255, 210, 0, 255);
    QTest::newRow("colliding elements") << int(GUI_LE_COLLISION_COLOR) << QColor(0, 20, 200, 255);
}

void TestAppearance::defaultColors()
{
    QFETCH(int, key);
    QFETCH(QColor, colour);

    QHash<EnvSettingKey, QColor> colours{{GUI_LE_SELECTED_COLOR, QColor(Qt::cyan)}};
    Environment::setDefaultColors(&colours);
    QCOMPARE(colours.size(), 2);
    QCOMPARE(colours.value(EnvSettingKey(key)), colour);
}

void TestAppearance::defaultsReplaceOnlyTheirKeys()
{
    QFont custom(QStringLiteral("DejaVu Serif"));
    custom.setPixelSize(40);
    QHash<EnvSettingKey, QFont> fonts{{APP_FONT, custom}, {APPLICATION_FONT, custom}};
    QHash<EnvSettingKey, QColor> colours{{APP_FONT_COLOR, QColor(Qt::red)}, {GUI_LE_COLLISION_COLOR, QColor(Qt::red)}};
    Environment::setDefaultFonts(&fonts, &colours);
    QCOMPARE(fonts.value(APP_FONT).pixelSize(), 11);
    QCOMPARE(fonts.value(APPLICATION_FONT), custom);
    QCOMPARE(colours.value(APP_FONT_COLOR), QColor(Qt::black));
    QCOMPARE(colours.value(GUI_LE_COLLISION_COLOR), QColor(Qt::red));

    // Null tables are ignored rather than dereferenced.
    Environment::setDefaultFonts(nullptr, nullptr);
    Environment::setDefaultColors(nullptr);
}

void TestAppearance::uiFontAndColourAccess()
{
    Environment *env = Environment::instance();
    QCOMPARE(env->getUiFont(GUI_NODE_NAME_FONT), QFont());
    QVERIFY(!env->getUiColor(GUI_NODE_NAME_FONT_COLOR).isValid());

    // The references point into the tables, and the entries stay there.
    env->getUiColor(GUI_NODE_NAME_FONT_COLOR) = QColor(Qt::blue);
    QCOMPARE(env->getUiColor(GUI_NODE_NAME_FONT_COLOR), QColor(Qt::blue));
    env->getUiFont(GUI_NODE_NAME_FONT).setPixelSize(33);
    QCOMPARE(env->getUiFont(GUI_NODE_NAME_FONT).pixelSize(), 33);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    env->setUiFont(GUI_NODE_NAME_FONT, font);
    QCOMPARE(env->getUiFont(GUI_NODE_NAME_FONT), font);
    env->setUiColor(GUI_NODE_NAME_FONT_COLOR, QColor(1, 2, 3));
    QCOMPARE(env->getUiColor(GUI_NODE_NAME_FONT_COLOR), QColor(1, 2, 3));
}

QTEST_MAIN(TestAppearance)
#include "tst_appearance.moc"
