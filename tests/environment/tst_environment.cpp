#include "crypto.h"
#include "deployment.h"
#include "environment.h"
#include "envtesting.h"
#include "messagecapture.h"
#include "settingsvariants_p.h"
#include "stderrtofile.h"
#include "tracermanager.h"

#include <QDirIterator>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <functional>
#include <optional>

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace envtest;

namespace
{

const int otherApp = 3; // any application type but the studio

QString dataDir()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0);
}

QString iniPath()
{
    return dataDir() + QStringLiteral("/config/uiconfig.ini");
}

EnvSettingKey keyOf(QString const &name)
{
    return EnvSettingKey(EnvSettingKeyEnumClass::s_idNames.key(name, NONE));
}

Environment *fresh(int appType = Environment::APP_STUDIO)
{
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    if (appType != Environment::APP_STUDIO)
        startUpWithoutLogger(env, appType);
    return env;
}

// Every entry Qt reads from the file, with its value.
QVariantMap entriesOf(QString const &path)
{
    QVariantMap entries;
    QSettings settings(path, QSettings::IniFormat);
    for (QString const &key : settings.allKeys())
        entries.insert(key, settings.value(key));
    return entries;
}

// What the environment holds, by key name: a font's text form, a colour as
// #AARRGGBB, or a setting's text (null when there is none).
QString held(Environment *env, QString const &name)
{
    if (name.endsWith(QLatin1String("_COLOR")))
        return env->getUiColor(keyOf(name)).name(QColor::HexArgb);
    if (name.endsWith(QLatin1String("_FONT")))
        return env->getUiFont(keyOf(name)).toString();
    return env->getSetting(keyOf(name), QVariant::String).toString();
}

void verifyHeld(Environment *env, QVariantMap const &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QString value = held(env, it.key());
        QVERIFY2(value == it.value().toString() && value.isNull() == it.value().toString().isNull(),
            qPrintable(it.key() + QStringLiteral(": ") + value));
    }
}

// A file as a host leaves it: the user's language and a value of its own.
QByteArray hostFile(QVariant const &value)
{
    QTemporaryDir dir;
    {
        QSettings settings(dir.filePath(QStringLiteral("h.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("UI_SETTINGS/LANG"), QStringLiteral("pl_PL"));
        settings.setValue(QStringLiteral("HOST/value"), value);
    }
    return readAll(dir.filePath(QStringLiteral("h.ini")));
}

// Root reads and writes any file whatever its mode: dropping the two
// capabilities that allow it from this thread makes the mode count again.
class ModeBitsApply
{
public:
    ModeBitsApply()
    {
#ifdef Q_OS_LINUX
        m_applies = geteuid() != 0;
        if (m_applies || syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_applies = m_dropped = syscall(SYS_capset, &m_header, reduced) == 0;
#endif
    }
    ~ModeBitsApply()
    {
#ifdef Q_OS_LINUX
        if (m_dropped)
            syscall(SYS_capset, &m_header, m_saved);
#endif
    }
    ModeBitsApply(ModeBitsApply const &) = delete;
    ModeBitsApply &operator=(ModeBitsApply const &) = delete;
    bool m_applies = false;

private:
#ifdef Q_OS_LINUX
    bool m_dropped = false;
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
#endif
};

// Run as a child without a GUI platform (a command-line host): fonts must not
// reach the font database, which would abort the process.
int runWithoutGui()
{
    QStandardPaths::setTestModeEnabled(true);
    const QFont font = Environment::getProperFont(QStringLiteral("Calibri"), 18, true, true);
    Environment *env = fresh();
    env->loadSettings(false, QString());
    env->getUiFont(GUI_NODE_NAME_FONT).setPixelSize(21);
    const bool defaults = env->getUiFont(GUI_CABINET_NAME_FONT).pixelSize() == 18
        && env->getUiColor(GUI_LE_SELECTED_COLOR) == QColor(255, 210, 0);
    env->writeSettings();
    env = fresh();
    env->loadSettings(false, QString());
    const bool ok = font.pixelSize() == 18 && font.bold() && font.italic() && defaults
        && env->getUiFont(GUI_NODE_NAME_FONT).pixelSize() == 21;
    Environment::m_instance.reset();
    return ok ? 0 : 1;
}

} // namespace

class TestEnvironment : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        NoReadPermission,
        NoWritePermission,
        FolderInTheWay,
        Fifo,
        FolderVanishes,
        FolderBecomesFile,
        BackupBlocked,
        ConfigFolderIsFile
    };
    Q_ENUM(Fault)

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void settingsFile_data();
    void settingsFile();
    void unreadFile_data();
    void unreadFile();
    void scan_data();
    void scan();
    void backupsNeverOverwritten();
    void faults_data();
    void faults();

    void layout_data();
    void layout();
    void projectFolders_data();
    void projectFolders();
    void tempPath_data();
    void tempPath();
    void startup_data();
    void startup();

    void properFont_data();
    void properFont();
    void withoutGui();
    void translations_data();
    void translations();
    void switchLanguage_data();
    void switchLanguage();
    void labelsVisibleToLupdate();
    void keyNames_data();
    void keyNames();
    void fileFilters_data();
    void fileFilters();
    void recentFiles_data();
    void recentFiles();
    void autosave_data();
    void autosave();
    void exportPassword_data();
    void exportPassword();
    void currency_data();
    void currency();

private:
    QTemporaryDir m_root; // the application folder: translations and renamed fonts
    QHash<QString, QString> m_fontFiles;
    QList<int> m_fonts;
    QtMessageHandler m_testHandler = nullptr;
};

void TestEnvironment::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    m_testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_testHandler);
    QVERIFY(QDir(m_root.path()).mkdir(QStringLiteral("translations")));
    const QDir qm(QStringLiteral(ENV_TEST_QM_DIR));
    for (QString const &file : qm.entryList({QStringLiteral("*.qm")}, QDir::Files))
        QVERIFY(QFile::copy(qm.filePath(file), m_root.filePath(QStringLiteral("translations/") + file)));
    QVERIFY(QFile::copy(qm.filePath(QStringLiteral("vardostudio_pl_PL.qm")),
        m_root.filePath(QStringLiteral("translations/vardostudio_en_US.qm"))));

    // Real fonts with the fallback chain's family names: DejaVu Sans renamed.
    const QStringList families{QStringLiteral("Tahoma"), QStringLiteral("Helvetica"), QStringLiteral("MS Shell Dlg 2"),
        QStringLiteral("Verdana"), QStringLiteral("Arial"), QStringLiteral("MS Sans Serif"), QStringLiteral("Calibri")};
    QProcess python;
    python.start(QStringLiteral(ENV_SYSTEM_PYTHON),
        QStringList{QStringLiteral(ENV_TEST_SOURCE_DIR "/../support/rename_font.py"),
            QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"), m_root.filePath(QStringLiteral("fonts"))}
            + families);
    QVERIFY(python.waitForFinished(120000) && python.exitCode() == 0);
    for (QString const &family : families) {
        QVERIFY2(!QFontDatabase().families().contains(family), "a font of the chain is installed: cannot isolate it");
        m_fontFiles.insert(family, m_root.filePath(QStringLiteral("fonts/") + QString(family).remove(' ') + ".ttf"));
    }
}

void TestEnvironment::init()
{
    Environment::m_instance.reset();
    QDir(dataDir()).removeRecursively();
    QFile::remove(dataDir());
}

void TestEnvironment::cleanup()
{
    TracerManager::unregister();
    qInstallMessageHandler(m_testHandler);
    Environment::m_instance.reset();
    if (QFileInfo(iniPath()).isFile())
        QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::WriteOwner);
    for (int id : qAsConst(m_fonts))
        QFontDatabase::removeApplicationFont(id);
    m_fonts.clear();
}

void TestEnvironment::settingsFile_data()
{
    QTest::addColumn<int>("appType");
    QTest::addColumn<bool>("skipFonts");
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<QString>("named"); // a file the host names, in a temporary folder
    QTest::addColumn<QVariantMap>("loaded"); // by key name, see held(); null: none
    QTest::addColumn<QVariantMap>("change"); // invalid: removed from the store
    QTest::addColumn<QVariantMap>("after"); // entries of the file, APP_SETTINGS/ when no section; invalid: absent
    QTest::addColumn<QStringList>("keys"); // all entries of the file, when given

    const QVariant none;
    const QString page = QString::fromUtf8(deployment::updatesPageUrl);
    const QStringList ui{"UI_SETTINGS/LANG", "UI_SETTINGS/STYLE"};
    QStringList fonts;
    for (char const *k : {"APP_FONT", "GUI_COMPONENT_NAME_FONT", "GUI_CABINET_NAME_FONT", "GUI_NODE_NAME_FONT",
             "GUI_FAS_SYSTEM_NAME_FONT", "GUI_LE_SELECTED_COLOR", "GUI_LE_COLLISION_COLOR"})
        fonts << "UI_SETTINGS/" + QString(k)
              << (QString(k).endsWith("_FONT") ? "UI_SETTINGS/" + QString(k) + "_COLOR" : "");
    fonts.removeAll(QString());
    const QStringList common{
        "APP_SETTINGS/WORK_DIR", "APP_SETTINGS/LOG_FILE", "APP_SETTINGS/LOG_LEVEL", "APP_SETTINGS/COMPONENT_DATA_BANK"};
    const QStringList studio = common
        + QStringList{"APP_SETTINGS/UPDATES_HTTP_URL", "APP_SETTINGS/KORAX_DIARY_INPUT_DIR",
            "APP_SETTINGS/KORAX_DIARY_OUTPUT_DIR"};
    const QVariantMap defaults{{"LANG", QLocale::system().name()}, {"WORK_DIR", Environment::VS_WORK_DIR},
        {"LOG_FILE", "app.log"}, {"APP_VERSION", ""}, {"STYLE", "default"}, {"LOG_LEVEL", "error"},
        {"COMPONENT_DATA_BANK", "FileDataBank"}, {"APP_MODE", none}, {"UPDATES_HTTP_URL_TEST", none},
        {"UPDATES_LOCAL_DIR", none}, {"PRESENTATION_MODE", none}};
    QVariantMap studioDefaults = defaults;
    studioDefaults.insert({{"KORAX_DIARY_INPUT_DIR", Environment::VS_WORK_DIR},
        {"KORAX_DIARY_OUTPUT_DIR", Environment::VS_WORK_DIR}, {"UPDATES_HTTP_URL", page},
        {"GUI_LE_SELECTED_COLOR", "#ffffd200"}, {"GUI_CABINET_NAME_FONT_COLOR", "#ffd2d2d2"}});
    QVariantMap otherDefaults = defaults;
    otherDefaults.insert({{"KORAX_DIARY_INPUT_DIR", none}, {"UPDATES_HTTP_URL", none}, {"OPEN_RECENT_FILES", none}});

    QTest::newRow("first run, studio: defaults, the fixed page; the write makes the folders")
        << 0 << false << QByteArray() << "" << studioDefaults << QVariantMap() << QVariantMap() << ui + fonts + studio;
    QTest::newRow("first run, fonts skipped")
        << 0 << true << QByteArray() << "" << QVariantMap() << QVariantMap() << QVariantMap() << ui + studio;
    QTest::newRow("first run, another application: no studio entries")
        << otherApp << false << QByteArray() << "" << otherDefaults << QVariantMap() << QVariantMap()
        << ui + fonts + common;
    QTest::newRow("entries the library does not own survive; the page is fixed")
        << 0 << true
        << "[UI_SETTINGS]\nLANG=pl_PL\nCUSTOM=keep\n[APP_SETTINGS]\nUPDATES_HTTP_URL=https://old\n"
           "UPDATES_LOCAL_DIR=/srv/u\nFOREIGN=f\n"
            + EnvSettingKeyEnumClass::idName(SECURE_ARG_2001).toLatin1() + "=serial\n[OTHER]\nx=y\n"
        << "" << QVariantMap{{"LANG", "pl_PL"}, {"UPDATES_LOCAL_DIR", "/srv/u"}, {"UPDATES_HTTP_URL", page}}
        << QVariantMap()
        << QVariantMap{{"UI_SETTINGS/CUSTOM", "keep"}, {"FOREIGN", "f"}, {"OTHER/x", "y"}, {"UPDATES_HTTP_URL", page},
               {"UPDATES_LOCAL_DIR", "/srv/u"}, {EnvSettingKeyEnumClass::idName(SECURE_ARG_2001), "serial"}}
        << QStringList();
    QTest::newRow("diary folders follow the work folder")
        << 0 << true << QByteArray("[APP_SETTINGS]\nWORK_DIR=/w\nKORAX_DIARY_OUTPUT_DIR=/out\n") << ""
        << QVariantMap{{"KORAX_DIARY_INPUT_DIR", "/w"}, {"KORAX_DIARY_OUTPUT_DIR", "/out"}} << QVariantMap()
        << QVariantMap() << QStringList();
    QTest::newRow("an empty WORK_DIR leaves the default work and diary folders")
        << 0 << true << QByteArray("[APP_SETTINGS]\nWORK_DIR=\n") << ""
        << QVariantMap{{"KORAX_DIARY_INPUT_DIR", Environment::VS_WORK_DIR}} << QVariantMap() << QVariantMap()
        << QStringList();
    QTest::newRow("a setting emptied or removed loses its entry, LANG and STYLE stay")
        << 0 << true << QByteArray("[APP_SETTINGS]\nLOG_FILE=a\nOPEN_RECENT_FILES=b\nPRESENTATION_MODE=c\n") << ""
        << QVariantMap{{"PRESENTATION_MODE", "c"}}
        << QVariantMap{{"LOG_FILE", none}, {"OPEN_RECENT_FILES", ""}, {"LANG", ""}, {"STYLE", none},
               {"AUTOSSAVE_TIME", 10}, {"UPDATES_HTTP_URL_TEST", "t"}}
        << QVariantMap{{"LOG_FILE", none}, {"OPEN_RECENT_FILES", none}, {"PRESENTATION_MODE", "c"},
               {"UI_SETTINGS/LANG", ""}, {"UI_SETTINGS/STYLE", ""}, {"AUTOSSAVE_TIME", "10"},
               {"UPDATES_HTTP_URL_TEST", "t"}}
        << QStringList();
    const QByteArray mode2 = "[APP_SETTINGS]\nAPP_MODE=2\n";
    const QVariantMap loadedMode2{{"APP_MODE", "2"}};
    QTest::newRow("APP_MODE removed from the store: removed from the file")
        << 0 << true << mode2 << "" << loadedMode2 << QVariantMap{{"APP_MODE", none}} << QVariantMap{{"APP_MODE", none}}
        << QStringList();
    QTest::newRow("APP_MODE as a number: written as text")
        << 0 << true << mode2 << "" << loadedMode2 << QVariantMap{{"APP_MODE", 1}} << QVariantMap{{"APP_MODE", "1"}}
        << QStringList();
    QTest::newRow("APP_MODE empty: the file's entry stays")
        << 0 << true << mode2 << "" << loadedMode2 << QVariantMap{{"APP_MODE", ""}} << loadedMode2 << QStringList();
    const QString serif = QFont(QStringLiteral("DejaVu Serif"), 23).toString();
    QTest::newRow("fonts and colours round trip; a colour typed as text loads")
        << 0 << false << QByteArray("[UI_SETTINGS]\nAPP_FONT_COLOR=#00ff00\n") << ""
        << QVariantMap{{"APP_FONT_COLOR", "#ff00ff00"}}
        << QVariantMap{{"GUI_NODE_NAME_FONT", serif}, {"GUI_LE_SELECTED_COLOR", "#04010203"}}
        << QVariantMap{{"UI_SETTINGS/GUI_NODE_NAME_FONT", serif}} << QStringList();
    QTest::newRow("fonts skipped: the file's font entries stay")
        << 0 << true << QByteArray("[UI_SETTINGS]\nAPP_FONT=\"DejaVu Sans,30,-1,5,50,0,0,0,0,0\"\n") << ""
        << QVariantMap() << QVariantMap() << QVariantMap{{"UI_SETTINGS/APP_FONT", "DejaVu Sans,30,-1,5,50,0,0,0,0,0"}}
        << QStringList();
    QTest::newRow("a file the host names is read and written")
        << 0 << true << QByteArray("[APP_SETTINGS]\nLOG_FILE=other.log\n") << "named.ini"
        << QVariantMap{{"LOG_FILE", "other.log"}} << QVariantMap{{"LOG_LEVEL", "debug"}}
        << QVariantMap{{"LOG_LEVEL", "debug"}} << QStringList();
    QTest::newRow("a named file that is missing: the default one")
        << 0 << true << QByteArray() << "missing.ini" << QVariantMap{{"LOG_FILE", "app.log"}}
        << QVariantMap{{"LOG_LEVEL", "debug"}} << QVariantMap{{"LOG_LEVEL", "debug"}} << QStringList();
}

void TestEnvironment::settingsFile()
{
    QFETCH(int, appType);
    QFETCH(bool, skipFonts);
    QFETCH(QByteArray, before);
    QFETCH(QString, named);
    QFETCH(QVariantMap, loaded);
    QFETCH(QVariantMap, change);
    QFETCH(QVariantMap, after);
    QFETCH(QStringList, keys);

    QTemporaryDir dir;
    const QString path = before.isNull() ? iniPath() : named.isEmpty() ? iniPath() : dir.filePath(named);
    if (!before.isNull())
        QVERIFY(writeFile(path, before));
    Environment *env = fresh(appType);
    env->setSetting(APP_MODE, QStringLiteral("dropped by the load"));
    MessageCapture messages;
    QVERIFY(env->loadSettings(skipFonts, named.isEmpty() ? QString() : dir.filePath(named)));
    QVERIFY2(!before.isNull() || !QFileInfo::exists(dataDir()), "loading creates nothing");
    verifyHeld(env, loaded);
    for (auto it = change.cbegin(); it != change.cend(); ++it) {
        const EnvSettingKey key = keyOf(it.key());
        if (it.key().endsWith(QLatin1String("_COLOR")))
            env->setUiColor(key, QColor(it.value().toString()));
        else if (it.key().endsWith(QLatin1String("_FONT")))
            env->getUiFont(key).fromString(it.value().toString());
        else if (it.value().isValid())
            env->setSetting(key, it.value());
        else
            env->removeSetting(key);
    }
    env->writeSettings();
    QVERIFY(!messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")));
    QVERIFY(!QFile::exists(path + QStringLiteral(".bak")));
    QCOMPARE(QFile::exists(iniPath()), path == iniPath());

    const QVariantMap file = entriesOf(path);
    keys.sort();
    if (!keys.isEmpty())
        QCOMPARE(QStringList(file.keys()), keys);
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const QString key = it.key().contains('/') ? it.key() : QStringLiteral("APP_SETTINGS/") + it.key();
        QVERIFY2(file.value(key).isValid() == it.value().isValid(), qPrintable(key));
        QCOMPARE(file.value(key).toString(), it.value().toString());
    }
    // What was written reads back.
    env = fresh(appType);
    env->loadSettings(skipFonts, named.isEmpty() ? QString() : dir.filePath(named));
    for (auto it = change.cbegin(); it != change.cend(); ++it) {
        if (it.key().endsWith(QLatin1String("_COLOR")) || it.key().endsWith(QLatin1String("_FONT")))
            QCOMPARE(held(env, it.key()), it.value().toString());
    }
}

void TestEnvironment::unreadFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("keptAside"); // reported unread and copied aside before the write
    QTest::addColumn<QString>("appFontColour");

    QByteArray garbage;
    for (int i = 0; i < 512; ++i)
        garbage.append(char((i * 73 + 11) % 256));
    const QString black = QStringLiteral("#ff000000");
    QTest::newRow("binary garbage") << garbage << true << black;
    QTest::newRow("unterminated section")
        << QByteArray("[APP_SETTINGS\nLOG_LEVEL=info\n[UI_SETTINGS]\nX=1\n") << true << black;
    QTest::newRow("a hand-written line without '='")
        << QByteArray("[APP_SETTINGS]\nnote\nLOG_LEVEL=info\n") << true << black;
    QTest::newRow("empty file") << QByteArray("") << false << black;
    QTest::newRow("colour of an out-of-range model is dropped") << QByteArray(
        "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0\\x43\\xe\\xff\\xff\\xd2\\xd2\\xd2\\xd2\\xd2"
        "\\xd2\\0\\0)\n") << false << black;
    QTest::newRow("polygon with a huge count is not handed to Qt")
        << QByteArray("[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0GUI_LE_SELECTED_COLOR=\\0\\0)\n") << true
        << black;
    QTest::newRow("date-time of an unknown kind, whose rewrite crashes")
        << QByteArray("[HOST]\nwhen=@DateTime(\\0\\0\\0\\x10\\0\\0\\0W\\0\\x61\\0r\\0s\\0\\x61\\0w)\n") << true
        << black;
    QTest::newRow("host's string list shorter than declared: read, copied before the write") << QByteArray(
        "[UI_SETTINGS]\nLANG=pl_PL\n[HOST]\nvalue=@Variant(\\0\\0\\0\\xb\\0\\0\\0\\x1\\0\\0\\0\\x8\\0x)\n")
                                                                                             << true << black;
    const QVariantMap map{{QStringLiteral("a"), 1}, {QStringLiteral("b"), QStringList{QStringLiteral("x")}}};
    const QList<QPair<const char *, QVariant>> hostValues{{"QPointF", QPointF(1.5, -2)},
        {"QUrl", QUrl(QStringLiteral("https://example.com/a?b=c,d"))}, {"QDate", QDate(2024, 2, 29)},
        {"QDateTime", QDateTime(QDate(2024, 2, 29), QTime(13, 14, 15), Qt::OffsetFromUTC, 3600)}, {"QVariantMap", map},
        {"QByteArray", QByteArray("\0\1,;=\"\\ x", 10)}, {"QRect", QRect(1, 2, 3, 4)},
        {"QStringList", QStringList{QStringLiteral("a"), QStringLiteral("b,c")}},
        {"QPolygon", QVariant::fromValue(QPolygon(QVector<QPoint>{{1, 2}, {3, 4}}))},
        {"QVariantList", QVariantList{1, QStringLiteral("x"), QVariantList{QSize(2, 3)}}}};
    for (auto const &host : hostValues)
        QTest::newRow(QByteArray("host's ") + host.first + " survives") << hostFile(host.second) << false << black;
    QTest::newRow("font and colour as Qt writes them load") << QByteArray(
        "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0\\x43\\x1\\xff\\xff\\xd2\\xd2\\xd2\\xd2\\xd2"
        "\\xd2\\0\\0)\n") << false << QStringLiteral("#ffd2d2d2");
}

void TestEnvironment::unreadFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, keptAside);
    QFETCH(QString, appFontColour);

    QVERIFY(writeFile(iniPath(), content));
    const QVariantMap before = keptAside ? QVariantMap() : entriesOf(iniPath());
    Environment *env = fresh();
    MessageCapture messages;
    startUpWithoutLogger(env, Environment::APP_STUDIO, false);
    QCOMPARE(messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), keptAside);
    QCOMPARE(env->getSetting(COMPONENT_DATA_BANK, QVariant::String).toString(), QStringLiteral("FileDataBank"));
    QCOMPARE(held(env, QStringLiteral("APP_FONT_COLOR")), appFontColour);
    if (before.contains(QStringLiteral("UI_SETTINGS/LANG")))
        QCOMPARE(env->getSetting(LANG, QVariant::String), before.value(QStringLiteral("UI_SETTINGS/LANG")));

    env->writeSettings();
    QCOMPARE(readAll(iniPath() + QStringLiteral(".bak")), keptAside ? content : QByteArray());
    QCOMPARE(messages.contains(QtWarningMsg, QStringLiteral("Settings file was not read completely")), keptAside);
    const QVariantMap after = entriesOf(iniPath());
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!it.key().startsWith(QLatin1String("UI_SETTINGS/")))
            QVERIFY2(after.value(it.key()) == it.value() && after.value(it.key()).userType() == it.value().userType(),
                qPrintable(it.key()));
    }
    messages.clear();
    env->loadSettings(false, QString());
    QVERIFY2(!messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), "what was written loads");
}

void TestEnvironment::scan_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("verdict");

    const int clean = int(settingsvariants::Verdict::Clean), unsafe = int(settingsvariants::Verdict::Unsafe);
    // A polygon that declares 0x55495f4c points: Qt reserves them and dies.
    const QByteArray huge = "(\\0\\0\\0GUI_L)\n";
    QTest::newRow("no stored object") << QByteArray("[A]\nK=@@text\nL=x\n") << clean;
    QTest::newRow("polygon with a huge count") << "[A]\nK=@Variant" + huge << unsafe;
    QTest::newRow("in a value quoted in halves") << "[A]\nK=\"@Var\"iant" + huge << unsafe;
    QTest::newRow("as a list element") << "[A]\nK=a, @Variant" + huge << unsafe;
    QTest::newRow("spelt with escapes after the '@'") << "[A]\nK=@\\x56\\x61riant" + huge << unsafe;
    QTest::newRow("'@' spelt as an escape") << "[A]\nK=\\x40Variant" + huge << unsafe;
    QTest::newRow("list element on a continued line") << "[A]\nK=a\\\n, @Variant" + huge << unsafe;
    QTest::newRow("after a comment that holds a quote") << "[A]\nK=a;\"\nL=@Variant" + huge << unsafe;
    QTest::newRow("after a comment that ends in a backslash") << "[A]\nK=a;b\\\nL=@Variant" + huge << unsafe;
    QTest::newRow("after an escaped '=' in the key") << "[A]\nK\\=x=@Variant" + huge << unsafe;
    QTest::newRow("quoted text that only looks like an object")
        << QByteArray("[A]\nK=\"a\\nL=@Variant(\\0\\0\\0G\"\n") << clean;
    QTest::newRow("list with a huge count") << QByteArray("[A]\nK=@Variant(\\0\\0\\0\\tUI_L)\n") << unsafe;
    QTest::newRow("date-time form") << QByteArray("[A]\nK=@DateTime(\\0\\0\\0G\\0UI_L)\n") << unsafe;
    QTest::newRow("string list shorter than declared")
        << QByteArray("[A]\nK=@Variant(\\0\\0\\0\\xb\\0\\0\\0\\x1\\0\\0\\0\\x8\\0x)\n")
        << int(settingsvariants::Verdict::Incomplete);
}

void TestEnvironment::scan()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, verdict);
    // A known hole: the scan looks for a literal '@', but Qt unescapes "\x40"
    // first and reads the object that follows.
    QEXPECT_FAIL("'@' spelt as an escape", "an escaped '@' is not recognised yet", Continue);
    QCOMPARE(int(settingsvariants::scan(raw)), verdict);
}

void TestEnvironment::backupsNeverOverwritten()
{
    // Seven starts, each on a file Qt cannot read completely and written
    // twice: each copy keeps its own name, only the newest five stay.
    QStringList names{QStringLiteral("uiconfig.ini.bak")};
    for (int start = 1; start <= 7; ++start) {
        const QByteArray content = "[APP_SETTINGS]\nnote " + QByteArray::number(start) + "\nLOG_LEVEL=info\n";
        QVERIFY(writeFile(iniPath(), content));
        Environment *env = fresh();
        env->loadSettings(true, QString());
        QCOMPARE(env->getSetting(LOG_LEVEL, QVariant::String).toString(), QStringLiteral("info"));
        MessageCapture messages;
        env->writeSettings();
        env->setSetting(LOG_LEVEL, QStringLiteral("debug"));
        env->writeSettings();
        QCOMPARE(messages.count(QtWarningMsg, QString()), 1);
        QCOMPARE(entriesOf(iniPath()).value(QStringLiteral("APP_SETTINGS/LOG_LEVEL")).toString(), "debug");
        if (start > 1)
            names << QStringLiteral("uiconfig.ini.bak.%1").arg(start);
        QCOMPARE(readAll(dataDir() + QStringLiteral("/config/") + names.last()), content);
    }
    QStringList kept = QDir(dataDir() + QStringLiteral("/config")).entryList({"uiconfig.ini.bak*"}, QDir::Files);
    kept.sort();
    QCOMPARE(kept, names.mid(2));
}

void TestEnvironment::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("content");

    const QByteArray ini = "[APP_SETTINGS]\nLOG_LEVEL=info\nFOREIGN=kept\n";
    QTest::newRow("no read permission: the file stays") << NoReadPermission << ini;
    QTest::newRow("no write permission: the file stays") << NoWritePermission << ini;
    QTest::newRow("a folder where the file must go") << FolderInTheWay << QByteArray();
    QTest::newRow("a FIFO where the file must go") << Fifo << QByteArray();
    QTest::newRow("folder removed between load and write: written again") << FolderVanishes << ini;
    QTest::newRow("broken file, folder removed between load and write") << FolderVanishes << "[APP_SETTINGS\n" + ini;
    QTest::newRow("folder replaced by a file between load and write") << FolderBecomesFile << ini;
    QTest::newRow("no copy of an unread file can be kept: not written") << BackupBlocked << "[A]\nnote\n" + ini;
    QTest::newRow("a file where the configuration folder must go") << ConfigFolderIsFile << QByteArray();
}

void TestEnvironment::faults()
{
    QFETCH(Fault, fault);
    QFETCH(QByteArray, content);

    const QString config = dataDir() + QStringLiteral("/config");
    if (fault == FolderInTheWay || fault == BackupBlocked)
        QVERIFY(QDir().mkpath(iniPath() + (fault == BackupBlocked ? ".bak/inside" : "/inside")));
    if (fault == Fifo)
        QVERIFY(QDir().mkpath(config) && mkfifo(QFile::encodeName(iniPath()).constData(), 0600) == 0);
    if (fault == ConfigFolderIsFile)
        QVERIFY(writeFile(config, "not a folder"));
    if (!content.isEmpty())
        QVERIFY(writeFile(iniPath(), content));
    if (fault == NoReadPermission || fault == NoWritePermission)
        QVERIFY(QFile::setPermissions(iniPath(), fault == NoReadPermission ? QFile::Permissions() : QFile::ReadOwner));
    std::optional<ModeBitsApply> modeBits;
    if (fault == NoReadPermission || fault == NoWritePermission) {
        modeBits.emplace();
        if (!modeBits->m_applies)
            QSKIP("runs as root without the right to drop CAP_DAC_OVERRIDE: a file's mode cannot take effect");
    }

    Environment *env = fresh();
    MessageCapture messages;
    startUpWithoutLogger(env, Environment::APP_STUDIO, false);
    QVERIFY2(QDir(env->getProjectDir()).exists(), "start-up completes");
    QCOMPARE(env->getSetting(COMPONENT_DATA_BANK, QVariant::String).toString(), QStringLiteral("FileDataBank"));
    if (fault == FolderVanishes || fault == FolderBecomesFile)
        QVERIFY(QDir(config).removeRecursively());
    if (fault == FolderBecomesFile)
        QVERIFY(writeFile(config, "not a folder"));
    env->setSetting(LOG_FILE, QStringLiteral("changed.log"));
    env->writeSettings();
    modeBits.reset();

    if (fault == FolderVanishes) {
        QCOMPARE(entriesOf(iniPath()).value(QStringLiteral("APP_SETTINGS/LOG_FILE")).toString(), "changed.log");
        QCOMPARE(entriesOf(iniPath()).value(QStringLiteral("APP_SETTINGS/LOG_LEVEL")).toString(), "info");
    } else if (fault == FolderBecomesFile || fault == ConfigFolderIsFile) {
        QCOMPARE(readAll(config), QByteArray("not a folder"));
    } else {
        QVERIFY(messages.contains(QtWarningMsg, QStringLiteral("Cannot write settings file:")));
        QCOMPARE(QFileInfo(iniPath()).isDir(), fault == FolderInTheWay);
        if (!content.isEmpty())
            QCOMPARE(readAll(iniPath()), content);
    }
    QCOMPARE(messages.contains(QtCriticalMsg, QStringLiteral("Cannot keep a copy")),
        fault == BackupBlocked || fault == NoReadPermission);
}

void TestEnvironment::layout_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QVariant>("workDir"); // invalid: none in the store
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("getter");
    QTest::addColumn<QString>("expected"); // %d: the data folder

    const QVariant none;
    const QString r = QStringLiteral("/opt/vs");
    QTest::newRow("data folder before start-up") << QString() << none << 0 << "data"
                                                 << "/data";
    QTest::newRow("data files under the data folder") << r << none << 0 << "component types"
                                                      << "/opt/vs/data/comptypes.dat";
    QTest::newRow("work folder by default") << r << none << 0 << "work" << Environment::VS_WORK_DIR;
    QTest::newRow("work folder from the store") << r << QVariant("C:/work") << 0 << "work"
                                                << "C:/work";
    QTest::newRow("an empty work folder counts as none")
        << r << QVariant("") << 0 << "project" << Environment::VS_WORK_DIR + "prj";
    QTest::newRow("project temporary folder")
        << r << none << 0 << "project temp" << Environment::VS_WORK_DIR + "prj/~temp/";
    QTest::newRow("price lists, work folder without slash") << r << QVariant("C:/work") << 0 << "price lists"
                                                            << "C:/work/userdata/priceLists";
    QTest::newRow("price lists, work folder with slash") << r << QVariant("C:/work/") << 0 << "price lists"
                                                         << "C:/work/userdata/priceLists";
    QTest::newRow("default scheme table") << r << QVariant("/w") << 0 << "scheme table"
                                          << "/w/userdata/schemeTable/defaultTable.vstab";
    QTest::newRow("price-list file name") << r << none << 0 << "price list abc"
                                          << "pricelist_abc.vrl";
    QTest::newRow("price-list extension removed, case-sensitively") << r << none << 0 << "strip"
                                                                    << "a.VRL.bak";
    QTest::newRow("configuration in the data folder") << r << none << 0 << "config"
                                                      << "%d/config";
    QTest::newRow("configuration of an unknown mode: as the default") << r << none << 7 << "config"
                                                                      << "%d/config";
    QTest::newRow("local configuration under the application folder")
        << r << none << int(Environment::MODE_LOCAL_CONFIG) << "config"
        << "/opt/vs/config";
    QTest::newRow("the log folder does not follow the mode")
        << r << none << int(Environment::MODE_LOCAL_CONFIG) << "log"
        << "%d/log";
}

void TestEnvironment::layout()
{
    QFETCH(QString, root);
    QFETCH(QVariant, workDir);
    QFETCH(int, mode);
    QFETCH(QString, getter);
    QFETCH(QString, expected);

    const QHash<QString, std::function<QString(Environment *)>> getters{
        {"data", [](Environment *e) { return e->getDataPath(); }},
        {"component types", [](Environment *e) { return e->getComponentTypeFileName(); }},
        {"work", [](Environment *e) { return e->getWorkPath(); }},
        {"project", [](Environment *e) { return e->getProjectDir(); }},
        {"project temp", [](Environment *e) { return e->getProjectTempDir(); }},
        {"price lists", [](Environment *e) { return e->getPriceListDir(); }},
        {"scheme table", [](Environment *e) { return e->getSchemeTableDefaultName(); }},
        {"price list abc", [](Environment *e) { return e->getDefaultPriceListFileName("abc"); }},
        {"strip", [](Environment *e) { return e->priceListFileWithoutExtention("a.vrl.VRL.vrl.bak"); }},
        {"config", [](Environment *e) { return e->getConfigPath(); }},
        {"log", [](Environment *e) { return e->getLogPath(); }}};
    Environment *env = Environment::instance();
    if (!root.isNull())
        env->setRootAppPath(root);
    if (workDir.isValid())
        env->setWorkPath(workDir.toString());
    env->setAppMode(Environment::AppMode(mode));
    QVERIFY(getters.contains(getter));
    QCOMPARE(getters.value(getter)(env), expected.replace(QStringLiteral("%d"), dataDir()));
    QVERIFY2(!QFileInfo::exists(dataDir()), "asking creates nothing");
}

void TestEnvironment::projectFolders_data()
{
    QTest::addColumn<int>("appType");
    QTest::addColumn<QString>("workSuffix");
    QTest::addColumn<QStringList>("expected");

    const QStringList studio{"work", "work/prj", "work/userdata", "work/userdata/priceLists"};
    QTest::newRow("studio") << 0 << "" << studio;
    QTest::newRow("studio, work folder with a slash") << 0 << "/" << studio;
    QTest::newRow("another application: the work folder only") << otherApp << "" << QStringList{"work"};
}

void TestEnvironment::projectFolders()
{
    QFETCH(int, appType);
    QFETCH(QString, workSuffix);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    Environment *env = fresh(appType);
    env->setWorkPath(dir.filePath(QStringLiteral("work")) + workSuffix);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("work"))));
    for (int run = 0; run < 2; ++run) { // a second run on the made tree changes nothing
        env->setProjectDirectories();
        QStringList made;
        for (QDirIterator it(dir.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             it.hasNext();)
            made << QDir(dir.path()).relativeFilePath(it.next());
        made.sort();
        QCOMPARE(made, expected);
    }
}

void TestEnvironment::tempPath_data()
{
    QTest::addColumn<QString>("subPath"); // %1: a unique folder name
    QTest::addColumn<QString>("expected"); // below the temporary folder; empty: the folder itself, nothing made

    QTest::newRow("backslash parts") << "\\%1\\a\\b"
                                     << "/%1/a/b/";
    QTest::newRow("mixed and doubled separators") << "%1\\\\a//b\\"
                                                  << "/%1/a/b/";
    QTest::newRow("only separators") << "\\\\/"
                                     << "/";
    QTest::newRow("empty: the temporary folder") << ""
                                                 << "";
    QTest::newRow("a level that cannot be made: the temporary folder") << "\\%1\\blocked\\deeper"
                                                                       << "";
}

void TestEnvironment::tempPath()
{
    QFETCH(QString, subPath);
    QFETCH(QString, expected);

    const QString tempRoot = QStandardPaths::standardLocations(QStandardPaths::TempLocation).value(0);
    QTemporaryDir unique;
    QVERIFY(writeFile(unique.filePath(QStringLiteral("blocked")), "a file"));
    const QString name = QFileInfo(unique.path()).fileName();
    subPath.replace(QStringLiteral("%1"), name);
    expected.replace(QStringLiteral("%1"), name);
    const QStringList before = QDir(tempRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (subPath.contains(QLatin1String("blocked")))
        QTest::ignoreMessage(QtCriticalMsg,
            qPrintable(QStringLiteral("Nie mozna utworzyc katalogu: \"%1/%2/blocked/\"").arg(tempRoot, name)));
    const QString result = Environment::instance()->getTempPath(subPath);
    QCOMPARE(result, tempRoot + expected);
    QVERIFY(QFileInfo(result).isDir());
    if (expected.isEmpty())
        QCOMPARE(QDir(tempRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void TestEnvironment::startup_data()
{
    QTest::addColumn<QByteArray>("settings"); // null: none
    QTest::addColumn<bool>("logToFile");
    QTest::addColumn<int>("options"); // bit 0: thread id, bit 2: append
    QTest::addColumn<QString>("logFile"); // in the log folder; empty: none made
    QTest::addColumn<QStringList>("logged");
    QTest::addColumn<QStringList>("notLogged");

    QTest::newRow("first run: the error level to app.log")
        << QByteArray() << true << 0 << "app.log" << QStringList{"critical-probe"}
        << QStringList{"warning-probe", "earlier run", " ["};
    QTest::newRow("info level, own file name")
        << QByteArray("[APP_SETTINGS]\nLOG_FILE=main.log\nLOG_LEVEL=info\n") << true << 0 << "main.log"
        << QStringList{"info-probe", "warning-probe"} << QStringList{"debug-probe"};
    QTest::newRow("an empty level is handed on as it is") << QByteArray("[APP_SETTINGS]\nLOG_LEVEL=\n") << true << 0
                                                          << "app.log" << QStringList{"debug-probe"} << QStringList();
    QTest::newRow("first option: thread ids")
        << QByteArray() << true << 1 << "app.log" << QStringList{" ["} << QStringList{"earlier run"};
    QTest::newRow("third option: appended")
        << QByteArray() << true << 4 << "app.log" << QStringList{"earlier run"} << QStringList{" ["};
    QTest::newRow("unknown log file name: no file log") << QByteArray("[APP_SETTINGS]\nLOG_FILE=\n") << true << 0 << ""
                                                        << QStringList{"Unknown log file name"} << QStringList();
    QTest::newRow("the log folder cannot be made: named")
        << QByteArray() << true << 0 << "" << QStringList{"Cannot create path: ", dataDir() + "/log"} << QStringList();
    QTest::newRow("console log: every level, no log folder") << QByteArray("[APP_SETTINGS]\nLOG_LEVEL=error\n") << false
                                                             << 0 << "" << QStringList{"debug-probe"} << QStringList();
}

void TestEnvironment::startup()
{
    QFETCH(QByteArray, settings);
    QFETCH(bool, logToFile);
    QFETCH(int, options);
    QFETCH(QString, logFile);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, notLogged);

    const QString logPath = dataDir() + QStringLiteral("/log");
    if (!settings.isNull())
        QVERIFY(writeFile(iniPath(), settings));
    if (logToFile)
        QVERIFY(writeFile(logFile.isEmpty() && settings.isNull() ? logPath : logPath + "/app.log", "earlier run\n"));
    QTemporaryDir dir;
    const QString console = dir.filePath(QStringLiteral("stderr"));
    Environment *env = Environment::instance();
    QByteArray log;
    {
        MessageCapture messages;
        {
            StderrToFile redirect(console);
            env->setupEnvironmentVariables(
                Environment::APP_STUDIO, false, logToFile, options & 1, options & 2, options & 4);
            qDebug("debug-probe");
            qInfo("info-probe");
            qWarning("warning-probe");
            qCritical("critical-probe");
            TracerManager::unregister();
        }
        const int creating = messages.indexOf(QtInfoMsg, QStringLiteral("creating app environment"));
        QVERIFY2(creating >= 0 && creating < messages.indexOf(QtInfoMsg, QStringLiteral("Settings file:")),
            "announced before the settings are loaded");
        for (auto const &entry : messages.entries())
            log += entry.message.toUtf8() + '\n';
        // A logger that took the output over leaves the capture the start-up lines only.
        QCOMPARE(messages.contains(QtCriticalMsg, QStringLiteral("critical-probe")), logFile.isEmpty() && logToFile);
    }
    if (!logFile.isEmpty())
        log = readAll(logPath + QLatin1Char('/') + logFile);
    if (!logToFile) {
        log = readAll(console);
        QVERIFY2(!QFileInfo::exists(logPath), "no log folder without a file log");
    }
    for (QString const &text : logged)
        QVERIFY2(log.contains(text.toUtf8()), qPrintable(text + QStringLiteral(" in:\n") + log));
    for (QString const &text : notLogged)
        QVERIFY2(!log.contains(text.toUtf8()), qPrintable(text));
    QCOMPARE(env->getRootAppPath(), QCoreApplication::applicationDirPath());
    QVERIFY(QDir(env->getPriceListDir()).exists());
    QCOMPARE(QFileInfo::exists(iniPath()), !settings.isNull());
}

void TestEnvironment::properFont_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("italic");
    QTest::addColumn<QString>("expected"); // empty: the system's general font

    QTest::newRow("the family asked for, bold")
        << QStringList{"Calibri", "Tahoma"} << "Calibri" << 18 << true << false << "Calibri";
    QTest::newRow("a missing family falls back to Tahoma, italic")
        << QStringList{"Tahoma", "Verdana"} << "Calibri" << 11 << false << true << "Tahoma";
    QTest::newRow("Helvetica before MS Shell Dlg 2, large")
        << QStringList{"MS Shell Dlg 2", "Helvetica"} << "Calibri" << 64 << true << true << "Helvetica";
    QTest::newRow("MS Shell Dlg 2 before Verdana")
        << QStringList{"Verdana", "MS Shell Dlg 2"} << "Calibri" << 14 << false << false << "MS Shell Dlg 2";
    QTest::newRow("Verdana before Arial")
        << QStringList{"Arial", "Verdana"} << "Calibri" << 14 << false << false << "Verdana";
    QTest::newRow("Arial before MS Sans Serif")
        << QStringList{"MS Sans Serif", "Arial"} << "Calibri" << 14 << false << false << "Arial";
    QTest::newRow("last of the chain") << QStringList{"MS Sans Serif"} << "Calibri" << 14 << false << false
                                       << "MS Sans Serif";
    QTest::newRow("names compare case-sensitively")
        << QStringList{"Calibri", "Verdana"} << "calibri" << 14 << false << false << "Verdana";
    QTest::newRow("a family of the system")
        << QStringList{"Tahoma"} << "DejaVu Serif" << 14 << false << false << "DejaVu Serif";
    QTest::newRow("nothing of the chain: the system font")
        << QStringList() << "No Such Family" << 14 << false << false << "";
}

void TestEnvironment::properFont()
{
    QFETCH(QStringList, installed);
    QFETCH(QString, asked);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(bool, italic);
    QFETCH(QString, expected);

    for (QString const &family : installed) {
        m_fonts << QFontDatabase::addApplicationFont(m_fontFiles.value(family));
        QCOMPARE(QFontDatabase::applicationFontFamilies(m_fonts.last()), QStringList{family});
    }
    const QFont font = Environment::getProperFont(asked, pixelSize, bold, italic);
    // The font resolves to the registered file, not to a substitute.
    if (!expected.isEmpty())
        QCOMPARE(QFontInfo(font).family(), expected);
    QCOMPARE(
        font.family(), expected.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::GeneralFont).family() : expected);
    QCOMPARE(font.pixelSize(), pixelSize);
    QCOMPARE(font.weight(), bold ? 75 : 50);
    QCOMPARE(font.italic(), italic);

    // The defaults: only their own keys, nothing but pixel sizes.
    QFont custom(QStringLiteral("DejaVu Serif"), 40);
    QHash<EnvSettingKey, QFont> fonts{{APP_FONT, custom}, {APPLICATION_FONT, custom}};
    QHash<EnvSettingKey, QColor> colours{{GUI_LE_COLLISION_COLOR, Qt::red}};
    Environment::setDefaultFonts(&fonts, &colours);
    QCOMPARE(fonts.size(), 6);
    QCOMPARE(fonts.value(APP_FONT).pixelSize(), 11);
    QCOMPARE(fonts.value(GUI_NODE_NAME_FONT).pixelSize(), 15);
    QCOMPARE(fonts.value(APPLICATION_FONT), custom);
    QCOMPARE(colours.value(GUI_LE_COLLISION_COLOR), QColor(Qt::red));
}

void TestEnvironment::withoutGui()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--without-gui")});
    QVERIFY(child.waitForFinished(60000));
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
        child.readAllStandardError().right(2000).constData());
}

void TestEnvironment::translations_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected"); // null: no translator

    QTest::newRow("exact file") << "de_DE"
                                << "Protokolldatei";
    QTest::newRow("a language's file serves its countries") << "pt_PT"
                                                            << "ficheiro de registo";
    QTest::newRow("a language's file serves the bare language") << "pt"
                                                                << "ficheiro de registo";
    QTest::newRow("an empty name means en_US") << ""
                                               << "plik dziennika";
    QTest::newRow("no file") << "hu_HU" << QString();
    QTest::newRow("no fallback across languages") << "de_AT" << QString();
}

void TestEnvironment::translations()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);

    Environment *env = Environment::instance();
    env->setRootAppPath(m_root.path());
    MessageCapture capture;
    const QSharedPointer<QTranslator> translator = env->loadTranslator(name);
    QCOMPARE(translator.isNull(), expected.isNull());
    if (translator)
        QCOMPARE(translator->translate("Environment", "log file"), expected);
    QCOMPARE(capture.count(QtCriticalMsg,
                 QStringLiteral("Cannot load translator: \"vardostudio_%1, translation path: %2/translations\"")
                     .arg(name, m_root.path())),
        int(expected.isNull()));
    QCOMPARE(QCoreApplication::translate("Environment", "log file"), QStringLiteral("log file")); // none installed
}

void TestEnvironment::switchLanguage_data()
{
    QTest::addColumn<QStringList>("locales");
    QTest::addColumn<bool>("lastSwitched");
    QTest::addColumn<QString>("logLabel");
    QTest::addColumn<QString>("csvLabel");

    QTest::newRow("German") << QStringList{"de_DE"} << true << "Protokolldatei"
                            << "CSV-Datei";
    QTest::newRow("German then Polish: one translator left")
        << QStringList{"de_DE", "pl_PL"} << true << "plik dziennika"
        << "csv file";
    QTest::newRow("a failed switch leaves texts untranslated, the language kept")
        << QStringList{"de_DE", "hu_HU"} << false << "log file"
        << "csv file";
    QTest::newRow("a later switch recovers") << QStringList{"de_DE", "hu_HU", "pl_PL"} << true << "plik dziennika"
                                             << "csv file";
}

void TestEnvironment::switchLanguage()
{
    QFETCH(QStringList, locales);
    QFETCH(bool, lastSwitched);
    QFETCH(QString, logLabel);
    QFETCH(QString, csvLabel);

    Environment *env = Environment::instance();
    env->setRootAppPath(m_root.path());
    env->setSetting(LANG, QStringLiteral("en_US"));
    MessageCapture capture;
    QString lang = QStringLiteral("en_US");
    for (QString const &locale : locales) {
        const bool switched = env->switchLanguage(QLocale(locale));
        QCOMPARE(switched, locale != QLatin1String("hu_HU"));
        lang = switched ? locale : lang;
    }
    QCOMPARE(capture.count(QtInfoMsg, QStringLiteral("Set locale START")), locales.size());
    QCOMPARE(capture.entries().last().message.endsWith(QStringLiteral("OK")), lastSwitched);
    QCOMPARE(env->getSetting(LANG, QVariant::String).toString(), lang);
    QCOMPARE(QCoreApplication::translate("Environment", "csv file"), csvLabel);
    QCOMPARE(env->selectFileExtFilters(Environment::KORAX_LOG_FILE | Environment::TLK_DIARY_FILE),
        QStringList({logLabel + " [KORAX] (pu pu0*)", logLabel + " [TESLO] (*.tld)"}));
    // A label the file does not translate stays as it is.
    QCOMPARE(env->getFileExtFilterName(Environment::ORLA_EXPORT_FILE), QStringLiteral("ORLA export file (*.vor)"));
    Environment::m_instance.reset(); // its translator leaves the application
    QCOMPARE(QCoreApplication::translate("Environment", "log file"), QStringLiteral("log file"));
}

void TestEnvironment::labelsVisibleToLupdate()
{
    QFile file(QStringLiteral(ENV_TEST_EXTRACTED_TS));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QSet<QString> sources;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("source"))
            sources.insert(xml.readElementText());
    }
    QVERIFY(!xml.hasError());
    QCOMPARE(sources,
        QSet<QString>({"project file", "log file", "alarm log files", "configuration file", "csv file", "txt file",
            "pdf file", "xml file", "table file", "html file", "Excel file", "MIRTA xml file", "LibreOffice file",
            "ORLA export file"}));
}

void TestEnvironment::keyNames_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("plain"); // the name, deciphered where the table holds it enciphered

    QTest::newRow("doubled S kept") << int(AUTOSSAVE_TIME) << "AUTOSSAVE_TIME";
    QTest::newRow("after the reserved numbers") << int(APP_FONT) << "APP_FONT";
    QTest::newRow("a reserved number") << 26 << "=26";
    QTest::newRow("between the enciphered blocks") << 1700 << "=1700";
    QTest::newRow("negative number") << -5 << "=-5";
    // The deployment data this build was made with; the update server's keys
    // keep "." and "/" escaped.
    auto escaped = [](QString text) { return text.replace(".", "$d$").replace("/", "$s$"); };
    QTest::newRow("check account") << int(SECURE_ARG_1605) << escaped(ENV_UPDATE_CHECK_USER);
    QTest::newRow("fetch password") << int(SECURE_ARG_1604) << escaped(ENV_UPDATE_FETCH_PASSWORD);
    QTest::newRow("host, dots escaped") << int(SECURE_ARG_1602) << escaped(ENV_UPDATE_HOST);
    QTest::newRow("version folder, slash escaped") << int(SECURE_ARG_1607) << escaped(ENV_UPDATE_VERSION_DIR);
    QTest::newRow("export password, not escaped") << int(SECURE_ARG_1601) << ENV_EXPORT_PASSWORD;
}

void TestEnvironment::keyNames()
{
    QFETCH(int, key);
    QFETCH(QString, plain);
    const QString stored = EnvSettingKeyEnumClass::idName(EnvSettingKey(key));
    if (key < SECURE_ARG_1600 || plain.startsWith(QLatin1Char('=')))
        QCOMPARE(stored, plain);
    else
        QVERIFY(stored != plain && Crypto::decodeEnumIdName(QStringLiteral("EnvSettingKey"), stored) == plain);
}

void TestEnvironment::fileFilters_data()
{
    QTest::addColumn<int>("types");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("project and JSON project share the label")
        << 0x3 << QStringList{"project file (*.vsp)", "project file (*.json)"};
    QTest::newRow("a fixed order, not the caller's")
        << int(Environment::XML_FILE | Environment::CSV_FILE | Environment::PROJ_FILE)
        << QStringList{"project file (*.vsp)", "csv file (*.csv)", "xml file (*.xml)"};
    QTest::newRow("PDF, table, HTML, Excel, LibreOffice left out; unused bits add nothing") << int(Environment::PDF_FILE
        | Environment::TABLE_FILE | Environment::HTML_FILE | Environment::EXCEL_FILE | Environment::LIBRECALC_FILE
        | 0x1000 | 0x8000 | 0x20000 | Environment::TXT_FILE) << QStringList{"txt file (*.txt)"};
    QTest::newRow("every bit") << -1
                               << QStringList{"project file (*.vsp)", "project file (*.json)",
                                      "log file [KORAX] (pu pu0*)", "alarm log files [KORAX] (pa pa0*)",
                                      "configuration file (*.krx)", "csv file (*.csv)", "txt file (*.txt)",
                                      "xml file (*.xml)", "MIRTA xml file (*.xml)", "log file [TESLO] (*.tld)",
                                      "ORLA export file (*.vor)"};
}

void TestEnvironment::fileFilters()
{
    QFETCH(int, types);
    QFETCH(QStringList, expected);
    Environment *env = Environment::instance();
    QCOMPARE(env->selectFileExtFilters(QFlags<Environment::FileType>(types)), expected);
    // One name per single type; none for a set or an unused bit.
    QCOMPARE(env->getFileExtFilterName(Environment::FileType(types)), QString());
    QCOMPARE(env->getFileExtFilterName(Environment::PDF_FILE), QStringLiteral("pdf file (*.pdf)"));
}

void TestEnvironment::recentFiles_data()
{
    QTest::addColumn<QVariant>("initial");
    // "+p" adds p, "-p" deletes p, "*p,q" adds p and q in one call; %t is the
    // project temporary folder, %T the same in capitals.
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QString>("expected");

    const QVariant none;
    QTest::newRow("first file keeps the empty entry") << none << QStringList{"+A"} << "A;";
    QTest::newRow("A, B, A") << none << QStringList{"+A", "+B", "+A"} << "A;B;";
    QTest::newRow("letter case makes a second entry") << none << QStringList{"+a", "+A"} << "A;a;";
    QTest::newRow("delete removes every copy") << QVariant("X;Y;X;Z") << QStringList{"-X"} << "Y;Z";
    QTest::newRow("delete of the empty entry") << QVariant("A;B;") << QStringList{"-", "-C"} << "A;B";
    QTest::newRow("several at once: the last ends first") << none << QStringList{"*X|Y|Z"} << "Z;Y;X;";
    QTest::newRow("adding moves a listed path to the front, duplicates go")
        << QVariant("C;A;B;A") << QStringList{"+A"} << "A;C;B";
    QTest::newRow("a value held as a number is split as its text") << QVariant(42) << QStringList{"+A"} << "A;42";
    QTest::newRow("files in the project temporary folder never enter")
        << QVariant("A;") << QStringList{"+%tx.vsp", "+/mnt/copy%tx.vsp"} << "A;";
    QTest::newRow("the temporary folder in other letter case is another")
        << QVariant("A;") << QStringList{"+%Tx.vsp"} << "%Tx.vsp;A;";
    QTest::newRow("';' in a path: two entries") << none << QStringList{"+a;b", "+c", "-a;b"} << "c;a;b;";
    QTest::newRow("non-Latin letters, quotes and commas")
        << none << QStringList{"*/p/zażółć \"q\".vsp|/p/a, b.vsp"} << "/p/a, b.vsp;/p/zażółć \"q\".vsp;";
    QStringList sixteen, lastFifteen;
    for (int i = 1; i <= 16; ++i) {
        sixteen << QString::number(i);
        if (i > 1)
            lastFifteen.prepend(sixteen.last());
    }
    QTest::newRow("sixteen keep the last fifteen")
        << none << QStringList{"*" + sixteen.join('|')} << lastFifteen.join(';');
}

void TestEnvironment::recentFiles()
{
    QFETCH(QVariant, initial);
    QFETCH(QStringList, operations);
    QFETCH(QString, expected);

    QTemporaryDir work;
    Environment *env = fresh();
    env->setWorkPath(work.path());
    env->setSetting(OPEN_RECENT_FILES, initial);
    const QString temp = env->getProjectTempDir();
    expected.replace(QStringLiteral("%T"), temp.toUpper());
    for (QString operation : operations) {
        operation.replace(QStringLiteral("%t"), temp).replace(QStringLiteral("%T"), temp.toUpper());
        const QString path = operation.mid(1);
        if (operation.startsWith('+'))
            env->addOpenRecentFile(path);
        else if (operation.startsWith('-'))
            env->deleteOpenRecentFile(path);
        else
            env->addOpenRecentFiles(path.split('|'));
    }
    QCOMPARE(env->getSetting(OPEN_RECENT_FILES, QVariant::String).toString(), expected);
    // Written at once, and read back as it was.
    env = fresh();
    env->loadSettings(true, QString());
    QCOMPARE(env->getSetting(OPEN_RECENT_FILES, QVariant::String).toString(),
        operations.join(QString()).contains(QLatin1String("%t")) ? QString() : expected);
}

void TestEnvironment::autosave_data()
{
    QTest::addColumn<QVariant>("stored"); // invalid: loaded from a file without the entry
    QTest::addColumn<int>("expected");

    QTest::newRow("60 is the upper bound") << QVariant(60) << 60;
    QTest::newRow("61 above it") << QVariant(61) << 5;
    QTest::newRow("0 is the lower bound") << QVariant(0) << 0;
    QTest::newRow("-1 below it") << QVariant(-1) << 5;
    QTest::newRow("text from the settings file") << QVariant("7") << 7;
    QTest::newRow("text above the bound") << QVariant("61") << 5;
    QTest::newRow("text that is no number reads 0") << QVariant("ten") << 0;
    QTest::newRow("not loaded yet reads 0") << QVariant(QVariant::String) << 0;
    QTest::newRow("missing from the settings file reads 5") << QVariant() << 5;
}

void TestEnvironment::autosave()
{
    QFETCH(QVariant, stored);
    QFETCH(int, expected);

    Environment *env = Environment::instance();
    if (!stored.isValid())
        env->loadSettings(true, QString());
    else if (stored.type() == QVariant::Int)
        env->setAutosaveTime(stored.toInt()); // kept as it is, bounded when read
    else if (!stored.isNull())
        env->setSetting(AUTOSSAVE_TIME, stored);
    QCOMPARE(env->getAutosaveTime(), expected);
}

void TestEnvironment::exportPassword_data()
{
    QTest::addColumn<QStringList>("passwords"); // set one after the other
    QTest::addColumn<QVariant>("stored"); // put in the store as it is
    QTest::addColumn<QString>("expected"); // null: anything but the built-in one

    const QString builtIn = QStringLiteral(ENV_EXPORT_PASSWORD);
    const QVariant none;
    QTest::newRow("none set: the built-in password") << QStringList() << none << builtIn;
    QTest::newRow("plain") << QStringList{"secret"} << none << "secret";
    QTest::newRow("empty is a password, not the built-in one") << QStringList{""} << none << "";
    QTest::newRow("non-Latin letters") << QStringList{"zażółć ₾"} << none << "zażółć ₾";
    QTest::newRow("longest the cipher takes") << QStringList{QString(511, 'p')} << none << QString(511, 'p');
    QTest::newRow("beyond the cipher's bound the one in force stays")
        << QStringList{"secret", QString(512, 'p')} << none << "secret";
    QTest::newRow("beyond the bound, none before: the built-in one")
        << QStringList{QString(600, 'p')} << none << builtIn;
    QTest::newRow("the stored form outlives the process") << QStringList() << QVariant("%stored") << "secret";
    for (char const *foreign : {"", "not a stored form", "abc", "00000000000000000000000000000000"})
        QTest::newRow(qPrintable(QStringLiteral("a foreign stored value \"%1\"").arg(foreign)))
            << QStringList() << QVariant(foreign) << QString();
}

void TestEnvironment::exportPassword()
{
    QFETCH(QStringList, passwords);
    QFETCH(QVariant, stored);
    QFETCH(QString, expected);

    Environment *env = Environment::instance();
    if (stored == QVariant("%stored")) {
        env->setOrlaExportPassword(QStringLiteral("secret"));
        stored = env->getSetting(ORLA_EXPORT_SETS, QVariant::String);
        env = fresh();
    }
    env->setSetting(ORLA_EXPORT_SETS, stored);
    MessageCapture capture;
    for (QString const &password : passwords)
        env->setOrlaExportPassword(password);
    QCOMPARE(capture.count(QtWarningMsg, QStringLiteral("Cannot encode export password")),
        int(passwords.value(passwords.size() - 1).size() > 511));
    const QString plain = env->getOrlaExportPassword(false);
    if (expected.isNull())
        QVERIFY(plain != QStringLiteral(ENV_EXPORT_PASSWORD));
    else
        QCOMPARE(plain, expected);
    QCOMPARE(env->getOrlaExportPassword(true) == Crypto::encodeEnumIdName(QStringLiteral("EnvSettingKey"), plain),
        !expected.isNull());
    const QString held = env->getSetting(ORLA_EXPORT_SETS, QVariant::String).toString();
    if (!passwords.isEmpty() && expected != QStringLiteral(ENV_EXPORT_PASSWORD))
        QVERIFY2(QRegularExpression("^([0-9a-f]{2})+$").match(held).hasMatch()
                && (plain.isEmpty() || !held.contains(plain.toUtf8().toHex())),
            qPrintable(held));
    env->writeSettings();
    QVERIFY(env->loadSettings(true, QString()));
    QCOMPARE(env->getOrlaExportPassword(false), QStringLiteral(ENV_EXPORT_PASSWORD)); // never in the file
}

void TestEnvironment::currency_data()
{
    QTest::addColumn<int>("country");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Poland, a two-byte letter") << int(QLocale::Poland) << QStringLiteral("zł");
    QTest::newRow("Italy, euro without a supported locale") << int(QLocale::Italy) << QStringLiteral("€");
    QTest::newRow("Georgia, lari") << int(QLocale::Georgia) << QStringLiteral("\u20be");
    QTest::newRow("France is not in the table") << int(QLocale::France) << QString();
}

void TestEnvironment::currency()
{
    QFETCH(int, country);
    QFETCH(QString, expected);
    Environment *env = Environment::instance();
    const QString symbol = env->getCurrencySymbol(QLocale::Country(country));
    QCOMPARE(symbol, expected);
    QCOMPARE(symbol.isNull(), expected.isNull());
    // Every supported country has its symbol, among them all.
    const QSet<QString> symbols = env->getAllCurrencySymbols();
    QVERIFY(!symbols.contains(QString()));
    for (QLocale const &locale : env->getSupportedLocales())
        QVERIFY2(symbols.contains(env->getCurrencySymbol(locale.country()))
                && !env->getCurrencySymbol(locale.country()).isEmpty(),
            qPrintable(locale.name()));
    // The fire-alarm systems' list: Italian first, then the supported ones.
    QCOMPARE(env->getFireAlarmSystemsLocalesList(), QVector<QLocale>{QLocale("it_IT")} + env->getSupportedLocales());
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--without-gui") == 0) {
        QCoreApplication app(argc, argv);
        return runWithoutGui();
    }
    QGuiApplication app(argc, argv);
    TestEnvironment test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_environment.moc"
