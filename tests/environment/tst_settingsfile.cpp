#include "deployment.h"
#include "environment.h"
#include "envtesting.h"
#include "messagecapture.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace envtest;

namespace
{

const int otherAppType = 3;
using Values = QMap<int, QString>;

QString configDir()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0) + QStringLiteral("/config");
}

QString settingsFile()
{
    return configDir() + QStringLiteral("/uiconfig.ini");
}

QStringList keysInFile(QString const &path)
{
    QSettings settings(path, QSettings::IniFormat);
    QStringList keys = settings.allKeys();
    keys.sort();
    return keys;
}

QString name(EnvSettingKey key)
{
    return EnvSettingKeyEnumClass::idName(key);
}

// A fresh singleton of the given application type.
Environment *freshEnvironment(int appType)
{
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    if (appType != Environment::APP_STUDIO)
        startUpWithoutLogger(env, appType);
    return env;
}

const QList<EnvSettingKey> writtenWhenNotEmpty{WORK_DIR, LOG_FILE, LOG_LEVEL, COMPONENT_DATA_BANK, UPDATES_HTTP_URL,
    UPDATES_LOCAL_DIR, UPDATES_HTTP_URL_TEST, KORAX_DIARY_INPUT_DIR, KORAX_DIARY_OUTPUT_DIR, OPEN_RECENT_FILES,
    AUTOSSAVE_TIME, APP_VERSION, PRESENTATION_MODE};

} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRunLoad_data();
    void firstRunLoad();
    void firstRunWrite_data();
    void firstRunWrite();
    void unnamedEntriesSurvive();
    void diaryFoldersFollowWorkDir();
    void writtenOnlyWhenNotEmpty_data();
    void writtenOnlyWhenNotEmpty();
    void langAndStyleAlwaysWritten();
    void appModeRules_data();
    void appModeRules();
    void autosaveIntWrittenAsText();
    void fontsAndColoursRoundTrip();
    void skipFontsAndColorsLeavesFileEntries();
    void explicitPath_data();
    void explicitPath();
    void writeGoesToFileOfLastLoad();
    void oddContent_data();
    void oddContent();
    void backupKeptOnlyOnce();
    void backupsNeverOverwritten();
    void noWriteWhenBackupFails();
    void blockedConfigFolder();
};

void TestSettingsFile::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSettingsFile::init()
{
    QDir(configDir()).removeRecursively();
    QFile::remove(configDir());
}

void TestSettingsFile::cleanup()
{
    Environment::m_instance.reset();
}

void TestSettingsFile::firstRunLoad_data()
{
    QTest::addColumn<int>("appType");
    QTest::addColumn<Values>("values"); // non-null texts
    QTest::addColumn<QList<int>>("absent"); // a null text
    QTest::addColumn<QList<int>>("invalid"); // held as an invalid value

    const QString locale = QLocale::system().name();
    const QString work = Environment::VS_WORK_DIR;
    const Values common{{LANG, locale}, {WORK_DIR, work}, {LOG_FILE, "app.log"}, {APP_VERSION, ""}};
    Values studio = common;
    for (auto const &entry : Values{{STYLE, "default"}, {LOG_LEVEL, "error"}, {COMPONENT_DATA_BANK, "FileDataBank"},
             {KORAX_DIARY_INPUT_DIR, work}, {KORAX_DIARY_OUTPUT_DIR, work},
             {UPDATES_HTTP_URL, QString::fromUtf8(deployment::updatesPageUrl)}}
                                 .toStdMap())
        studio.insert(entry.first, entry.second);

    QTest::newRow("studio: diary folders are the work folder, the fixed page, no test page or mode")
        << int(Environment::APP_STUDIO) << studio
        << QList<int>{UPDATES_HTTP_URL_TEST, UPDATES_LOCAL_DIR, PRESENTATION_MODE, APP_MODE, SECURE_ARG_2001,
               ORLA_EXPORT_SETS}
        << QList<int>{OPEN_RECENT_FILES, AUTOSSAVE_TIME};
    QTest::newRow("other application: no studio entries")
        << otherAppType << common
        << QList<int>{KORAX_DIARY_INPUT_DIR, KORAX_DIARY_OUTPUT_DIR, OPEN_RECENT_FILES, AUTOSSAVE_TIME,
               UPDATES_HTTP_URL, APP_MODE}
        << QList<int>{};
}

void TestSettingsFile::firstRunLoad()
{
    QFETCH(int, appType);
    QFETCH(Values, values);
    QFETCH(QList<int>, absent);
    QFETCH(QList<int>, invalid);

    Environment *env = freshEnvironment(appType);
    env->setSetting(APP_MODE, QStringLiteral("dropped by the load"));
    MessageCapture messages;
    QVERIFY(env->loadSettings(false, QString()));
    QVERIFY(!QFile::exists(settingsFile()));
    QVERIFY2(
        !messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), "a missing file is not an error");
    QCOMPARE(messages.entry(QtInfoMsg, QStringLiteral("Settings file:")).category, QStringLiteral("default"));

    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QVariant value = env->getSetting(EnvSettingKey(it.key()), QVariant::String);
        QVERIFY2(value.type() == QVariant::String && !value.isNull(), qPrintable(name(EnvSettingKey(it.key()))));
        QCOMPARE(value.toString(), it.value());
    }
    for (int key : absent) {
        const QVariant value = env->getSetting(EnvSettingKey(key), QVariant::String);
        QVERIFY2(value.type() == QVariant::String && value.isNull(), qPrintable(name(EnvSettingKey(key))));
    }
    for (int key : invalid)
        QVERIFY2(
            !env->getSetting(EnvSettingKey(key), QVariant::String).isValid(), qPrintable(name(EnvSettingKey(key))));
}

void TestSettingsFile::firstRunWrite_data()
{
    QTest::addColumn<int>("appType");
    QTest::addColumn<bool>("skipFontsAndColors");
    QTest::addColumn<QStringList>("expectedKeys");

    const QStringList ui{QStringLiteral("UI_SETTINGS/LANG"), QStringLiteral("UI_SETTINGS/STYLE")};
    QStringList fontsAndColours;
    for (EnvSettingKey key : {APP_FONT, GUI_COMPONENT_NAME_FONT, GUI_CABINET_NAME_FONT, GUI_NODE_NAME_FONT,
             GUI_FAS_SYSTEM_NAME_FONT, APP_FONT_COLOR, GUI_COMPONENT_NAME_FONT_COLOR, GUI_CABINET_NAME_FONT_COLOR,
             GUI_NODE_NAME_FONT_COLOR, GUI_FAS_SYSTEM_NAME_FONT_COLOR, GUI_LE_SELECTED_COLOR, GUI_LE_COLLISION_COLOR})
        fontsAndColours << QStringLiteral("UI_SETTINGS/") + name(key);
    QStringList common;
    for (EnvSettingKey key : {WORK_DIR, LOG_FILE, LOG_LEVEL, COMPONENT_DATA_BANK})
        common << QStringLiteral("APP_SETTINGS/") + name(key);
    QStringList studio = common;
    for (EnvSettingKey key : {UPDATES_HTTP_URL, KORAX_DIARY_INPUT_DIR, KORAX_DIARY_OUTPUT_DIR})
        studio << QStringLiteral("APP_SETTINGS/") + name(key);

    QTest::newRow("studio") << int(Environment::APP_STUDIO) << false << ui + fontsAndColours + studio;
    QTest::newRow("studio, fonts skipped") << int(Environment::APP_STUDIO) << true << ui + studio;
    QTest::newRow("other application") << otherAppType << false << ui + fontsAndColours + common;
    QTest::newRow("other application, fonts skipped") << otherAppType << true << ui + common;
}

void TestSettingsFile::firstRunWrite()
{
    QFETCH(int, appType);
    QFETCH(bool, skipFontsAndColors);
    QFETCH(QStringList, expectedKeys);

    // Start-up of another type loads with fonts skipped, so the tables are
    // still empty here, and it creates no configuration folder.
    Environment *env = freshEnvironment(appType);
    QVERIFY(!QDir(configDir()).exists());

    MessageCapture messages;
    env->loadSettings(skipFontsAndColors, QString());
    QVERIFY2(!QDir(configDir()).exists(), "loading creates nothing");
    env->writeSettings();
    QVERIFY2(QFile::exists(settingsFile()), "the first write creates the folder and the file");
    QVERIFY(messages.contains(QtInfoMsg, QStringLiteral("writing settings file:")));

    expectedKeys.sort();
    QCOMPARE(keysInFile(settingsFile()), expectedKeys);

    const QByteArray raw = readAll(settingsFile());
    QVERIFY(raw.contains("[UI_SETTINGS]"));
    QVERIFY(raw.contains("[APP_SETTINGS]"));
}

void TestSettingsFile::unnamedEntriesSurvive()
{
    const QString secureKey = name(SECURE_ARG_2001);
    const QByteArray original = "[General]\ntop=1\n\n"
                                "[UI_SETTINGS]\nLANG=pl_PL\nCUSTOM_UI=keep me\n\n"
                                "[APP_SETTINGS]\nUPDATES_HTTP_URL=https://old.invalid/page\n"
                                "UPDATES_LOCAL_DIR=/srv/updates\nFOREIGN_KEY=foreign value\n"
        + secureKey.toLatin1()
        + "=serial-123\n\n"
          "[OTHER_SECTION]\nx=y\n";
    QVERIFY(writeFile(settingsFile(), original));

    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(false, QString());
    QCOMPARE(env->getSetting(LANG, QVariant::String).toString(), QStringLiteral("pl_PL"));
    QCOMPARE(env->getSetting(SECURE_ARG_2001, QVariant::String).toString(), QStringLiteral("serial-123"));
    QCOMPARE(env->getSetting(UPDATES_LOCAL_DIR, QVariant::String).toString(), QStringLiteral("/srv/updates"));
    QCOMPARE(
        env->getSetting(UPDATES_HTTP_URL, QVariant::String).toString(), QString::fromUtf8(deployment::updatesPageUrl));
    env->writeSettings();

    // Every entry keeps its value but the page address, which is fixed.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("before.ini")), original));
    QSettings before(dir.filePath(QStringLiteral("before.ini")), QSettings::IniFormat);
    QSettings after(settingsFile(), QSettings::IniFormat);
    QCOMPARE(before.allKeys().size(), 8);
    for (QString const &key : before.allKeys()) {
        QVERIFY2(after.value(key)
                == (key == QLatin1String("APP_SETTINGS/UPDATES_HTTP_URL")
                        ? QString::fromUtf8(deployment::updatesPageUrl)
                        : before.value(key)),
            qPrintable(key));
    }
    QVERIFY2(!QFile::exists(settingsFile() + QStringLiteral(".bak")), "a clean file needs no copy");
}

void TestSettingsFile::diaryFoldersFollowWorkDir()
{
    QVERIFY(writeFile(settingsFile(), "[APP_SETTINGS]\nWORK_DIR=/data/work\nKORAX_DIARY_OUTPUT_DIR=/out\n"));
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    QCOMPARE(env->getSetting(KORAX_DIARY_INPUT_DIR, QVariant::String).toString(), QStringLiteral("/data/work"));
    QCOMPARE(env->getSetting(KORAX_DIARY_OUTPUT_DIR, QVariant::String).toString(), QStringLiteral("/out"));
    QCOMPARE(env->getWorkPath(), QStringLiteral("/data/work"));

    // An empty entry leaves the work folder, and with it the diary folders, at
    // the default instead of the root of the disk.
    QVERIFY(writeFile(settingsFile(), "[APP_SETTINGS]\nWORK_DIR=\n"));
    env->loadSettings(true, QString());
    QCOMPARE(env->getWorkPath(), Environment::VS_WORK_DIR);
    QCOMPARE(env->getSetting(KORAX_DIARY_INPUT_DIR, QVariant::String).toString(), Environment::VS_WORK_DIR);
}

void TestSettingsFile::writtenOnlyWhenNotEmpty_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("remove");

    for (EnvSettingKey key : writtenWhenNotEmpty) {
        const QByteArray keyName = name(key).toLatin1();
        QTest::newRow(keyName + " absent from the store: removed") << int(key) << true;
        QTest::newRow(keyName + " with a text: written") << int(key) << false;
    }
}

void TestSettingsFile::writtenOnlyWhenNotEmpty()
{
    QFETCH(int, key);
    QFETCH(bool, remove);

    QByteArray original = "[APP_SETTINGS]\n";
    for (EnvSettingKey k : writtenWhenNotEmpty)
        original += name(k).toLatin1() + "=old\n";
    QVERIFY(writeFile(settingsFile(), original));

    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    if (remove)
        env->removeSetting(EnvSettingKey(key));
    else
        env->setSetting(EnvSettingKey(key), QStringLiteral("new value"));
    env->writeSettings();

    QSettings file(settingsFile(), QSettings::IniFormat);
    const QString entry = QStringLiteral("APP_SETTINGS/") + name(EnvSettingKey(key));
    if (remove)
        QVERIFY(!file.contains(entry));
    else
        QCOMPARE(file.value(entry).toString(), QStringLiteral("new value"));
    // The others were loaded and are written back.
    for (EnvSettingKey other : writtenWhenNotEmpty) {
        if (other != key)
            QVERIFY2(file.contains(QStringLiteral("APP_SETTINGS/") + name(other)), qPrintable(name(other)));
    }
}

void TestSettingsFile::langAndStyleAlwaysWritten()
{
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    env->setSetting(LANG, QString(QLatin1String("")));
    env->removeSetting(STYLE);
    env->writeSettings();

    const QByteArray raw = readAll(settingsFile());
    QVERIFY2(raw.contains("\nLANG=\n"), raw.constData());
    QVERIFY2(raw.contains("\nSTYLE=\n"), raw.constData());
}

void TestSettingsFile::appModeRules_data()
{
    QTest::addColumn<QVariant>("storeValue"); // invalid: no entry in the store
    QTest::addColumn<QString>("expectedInFile"); // null: no entry in the file

    QTest::newRow("no entry in the store removes the file's") << QVariant() << QString();
    QTest::newRow("a text replaces the file's") << QVariant(QStringLiteral("3")) << QStringLiteral("3");
    QTest::newRow("an int is written as text") << QVariant(1) << QStringLiteral("1");
    QTest::newRow("an empty text leaves the file's entry")
        << QVariant(QString(QLatin1String(""))) << QStringLiteral("2");
}

void TestSettingsFile::appModeRules()
{
    QFETCH(QVariant, storeValue);
    QFETCH(QString, expectedInFile);

    QVERIFY(writeFile(settingsFile(), "[APP_SETTINGS]\nAPP_MODE=2\n"));
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    QCOMPARE(env->getSetting(APP_MODE, QVariant::String).toString(), QStringLiteral("2"));
    env->removeSetting(APP_MODE);
    if (storeValue.isValid())
        env->setSetting(APP_MODE, storeValue);
    env->writeSettings();

    QSettings file(settingsFile(), QSettings::IniFormat);
    if (expectedInFile.isNull())
        QVERIFY(!file.contains(QStringLiteral("APP_SETTINGS/APP_MODE")));
    else
        QCOMPARE(file.value(QStringLiteral("APP_SETTINGS/APP_MODE")).toString(), expectedInFile);
}

void TestSettingsFile::autosaveIntWrittenAsText()
{
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    env->setSetting(AUTOSSAVE_TIME, 10);
    env->writeSettings();
    QVERIFY(readAll(settingsFile()).contains("\nAUTOSSAVE_TIME=10\n"));

    env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    const QVariant value = env->getSetting(AUTOSSAVE_TIME, QVariant::Int);
    QCOMPARE(value.type(), QVariant::String);
    QCOMPARE(value.toString(), QStringLiteral("10"));
}

void TestSettingsFile::fontsAndColoursRoundTrip()
{
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(false, QString());
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setPixelSize(23);
    font.setItalic(true);
    env->setUiFont(GUI_NODE_NAME_FONT, font);
    env->setUiColor(GUI_LE_SELECTED_COLOR, QColor(1, 2, 3, 4));
    env->setUiColor(APPLICATION_FONT_COLOR, QColor(Qt::magenta)); // a key the host adds
    env->writeSettings();

    env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(false, QString());
    QCOMPARE(env->getUiFont(GUI_NODE_NAME_FONT), font);
    QCOMPARE(env->getUiColor(GUI_LE_SELECTED_COLOR), QColor(1, 2, 3, 4));
    QCOMPARE(env->getUiFont(GUI_CABINET_NAME_FONT).pixelSize(), 18);
    QVERIFY(keysInFile(settingsFile()).contains(QStringLiteral("UI_SETTINGS/APPLICATION_FONT_COLOR")));

    // A colour typed in by hand as text converts too.
    QSettings file(settingsFile(), QSettings::IniFormat);
    file.setValue(QStringLiteral("UI_SETTINGS/APP_FONT_COLOR"), QStringLiteral("#00ff00"));
    file.sync();
    env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(false, QString());
    QCOMPARE(env->getUiColor(APP_FONT_COLOR), QColor(Qt::green));
}

void TestSettingsFile::skipFontsAndColorsLeavesFileEntries()
{
    const QByteArray fontLine = "APP_FONT=\"DejaVu Sans,30,-1,5,50,0,0,0,0,0\"";
    QVERIFY(writeFile(settingsFile(), "[UI_SETTINGS]\n" + fontLine + "\n"));

    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    env->writeSettings();
    const QByteArray raw = readAll(settingsFile());
    QVERIFY2(raw.contains(fontLine), raw.constData());

    QStringList expected{QStringLiteral("UI_SETTINGS/APP_FONT"), QStringLiteral("UI_SETTINGS/LANG"),
        QStringLiteral("UI_SETTINGS/STYLE")};
    QStringList ui = keysInFile(settingsFile()).filter(QStringLiteral("UI_SETTINGS/"));
    QCOMPARE(ui, expected);

    // Loading without skipping takes the text form of the font.
    env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(false, QString());
    QCOMPARE(env->getUiFont(APP_FONT).family(), QStringLiteral("DejaVu Sans"));
    QCOMPARE(env->getUiFont(APP_FONT).pointSize(), 30);
}

void TestSettingsFile::explicitPath_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("an existing file is used") << true;
    QTest::newRow("a missing file falls back to the default") << false;
}

void TestSettingsFile::explicitPath()
{
    QFETCH(bool, exists);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("elsewhere.ini"));
    if (exists)
        QVERIFY(writeFile(path, "[APP_SETTINGS]\nLOG_FILE=other.log\n"));

    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, path);
    QCOMPARE(env->getSetting(LOG_FILE, QVariant::String).toString(),
        exists ? QStringLiteral("other.log") : QStringLiteral("app.log"));
    env->setSetting(LOG_LEVEL, QStringLiteral("debug"));
    env->writeSettings();

    const QString written = exists ? path : settingsFile();
    QSettings file(written, QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("APP_SETTINGS/LOG_LEVEL")).toString(), QStringLiteral("debug"));
    QCOMPARE(QFile::exists(settingsFile()), !exists);
    QCOMPARE(QFile::exists(path), exists);
}

void TestSettingsFile::writeGoesToFileOfLastLoad()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->setRootAppPath(root.path());
    env->loadSettings(true, QString());
    env->setAppMode(Environment::MODE_LOCAL_CONFIG);
    env->writeSettings();
    QVERIFY(QFile::exists(settingsFile()));
    QVERIFY(!QFile::exists(root.filePath(QStringLiteral("config/uiconfig.ini"))));

    // The next load follows the mode.
    env->loadSettings(true, QString());
    env->writeSettings();
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("config/uiconfig.ini"))));
}

void TestSettingsFile::oddContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expectError"); // 1 yes, 0 no, -1 as Qt decides

    QByteArray garbage;
    for (int i = 0; i < 512; ++i)
        garbage.append(char((i * 73 + 11) % 256));
    QTest::newRow("binary garbage") << garbage << 1;
    QTest::newRow("NUL bytes only") << QByteArray(64, '\0') << -1;
    QTest::newRow("UTF-8 BOM") << QByteArray("\xef\xbb\xbf[APP_SETTINGS]\nLOG_LEVEL=info\n") << -1;
    QTest::newRow("unterminated section") << QByteArray("[APP_SETTINGS\nLOG_LEVEL=info\n[UI_SETTINGS]\nX=1\n") << 1;
    QTest::newRow("line without equals sign") << QByteArray("[APP_SETTINGS]\njust words\nLOG_LEVEL=info\n") << 1;
    QTest::newRow("unterminated quote") << QByteArray("[APP_SETTINGS]\nLOG_FILE=\"open\n") << -1;
    QTest::newRow("empty file") << QByteArray() << 0;
}

void TestSettingsFile::oddContent()
{
    QFETCH(QByteArray, content);
    QFETCH(int, expectError);

    QVERIFY(writeFile(settingsFile(), content));
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    MessageCapture messages;
    QVERIFY(env->loadSettings(false, QString()));
    const bool hadError = messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:"));
    if (expectError >= 0)
        QCOMPARE(hadError, bool(expectError));

    QCOMPARE(env->getSetting(COMPONENT_DATA_BANK, QVariant::String).toString(), QStringLiteral("FileDataBank"));
    QCOMPARE(env->getSetting(STYLE, QVariant::String).toString(), QStringLiteral("default"));
    QCOMPARE(env->getUiFont(GUI_CABINET_NAME_FONT).pixelSize(), 18);

    env->writeSettings();
    const QString backup = settingsFile() + QStringLiteral(".bak");
    QCOMPARE(QFile::exists(backup), hadError);
    if (hadError) {
        QCOMPARE(readAll(backup), content);
        QVERIFY(messages.contains(QtWarningMsg, QStringLiteral("Settings file was not read completely")));
    }

    // What was written loads cleanly.
    messages.clear();
    env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(false, QString());
    QVERIFY(!messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")));
    QCOMPARE(env->getSetting(COMPONENT_DATA_BANK, QVariant::String).toString(), QStringLiteral("FileDataBank"));
}

void TestSettingsFile::backupKeptOnlyOnce()
{
    const QByteArray original = "[APP_SETTINGS]\nhand-written note\nLOG_LEVEL=info\n";
    QVERIFY(writeFile(settingsFile(), original));
    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    QCOMPARE(env->getSetting(LOG_LEVEL, QVariant::String).toString(), QStringLiteral("info"));

    MessageCapture messages;
    env->writeSettings();
    env->setSetting(LOG_LEVEL, QStringLiteral("debug"));
    env->writeSettings();

    QCOMPARE(readAll(settingsFile() + QStringLiteral(".bak")), original);
    int warnings = 0;
    for (auto const &entry : messages.entries())
        warnings += entry.type == QtWarningMsg;
    QCOMPARE(warnings, 1);
    QSettings file(settingsFile(), QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("APP_SETTINGS/LOG_LEVEL")).toString(), QStringLiteral("debug"));
}

void TestSettingsFile::backupsNeverOverwritten()
{
    // Seven starts, each on a file Qt cannot read completely: every copy keeps
    // its own name, and only the newest five stay.
    QStringList names{QStringLiteral("uiconfig.ini.bak")};
    for (int start = 1; start <= 7; ++start) {
        const QByteArray content = "[APP_SETTINGS]\nnote without a value " + QByteArray::number(start) + "\n";
        QVERIFY(writeFile(settingsFile(), content));
        Environment *env = freshEnvironment(Environment::APP_STUDIO);
        env->loadSettings(true, QString());
        env->writeSettings();
        if (start > 1)
            names << QStringLiteral("uiconfig.ini.bak.%1").arg(start);
        QCOMPARE(readAll(configDir() + QLatin1Char('/') + names.last()), content);
        QCOMPARE(readAll(configDir() + QStringLiteral("/uiconfig.ini.bak")),
            start <= 5 ? QByteArray("[APP_SETTINGS]\nnote without a value 1\n") : QByteArray());
    }
    QStringList kept = QDir(configDir()).entryList({QStringLiteral("uiconfig.ini.bak*")}, QDir::Files);
    kept.sort();
    QCOMPARE(kept, names.mid(2));
}

void TestSettingsFile::noWriteWhenBackupFails()
{
    const QByteArray original = "[APP_SETTINGS]\nhand-written note\nLOG_LEVEL=info\n";
    QVERIFY(writeFile(settingsFile(), original));
    // A folder where the copy must go: neither removable as a file nor a copy target.
    QVERIFY(QDir().mkpath(settingsFile() + QStringLiteral(".bak/inside")));

    Environment *env = freshEnvironment(Environment::APP_STUDIO);
    env->loadSettings(true, QString());
    MessageCapture messages;
    env->writeSettings();
    QVERIFY(messages.contains(QtCriticalMsg, QStringLiteral("Cannot keep a copy of the settings file")));
    QCOMPARE(readAll(settingsFile()), original);
}

void TestSettingsFile::blockedConfigFolder()
{
    // A plain file where the configuration folder must go: nothing can be read
    // or written there, and start-up must still complete with defaults.
    QVERIFY(writeFile(configDir(), "not a folder"));
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    startUpWithoutLogger(env, Environment::APP_STUDIO, false);
    QCOMPARE(env->getSetting(LOG_FILE, QVariant::String).toString(), QStringLiteral("app.log"));
    QVERIFY(QDir(env->getProjectDir()).exists());

    env->writeSettings();
    QCOMPARE(readAll(configDir()), QByteArray("not a folder"));
}

QTEST_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
