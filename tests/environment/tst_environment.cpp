#include "deployment.h"
#include "envtesting.h"
#include "messagecapture.h"
#include "settingsvariants_p.h"
#include "stderrtofile.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QPolygon>
#include <QtTest>

#include <sys/stat.h>

using namespace envtest;
using Probe = std::function<QString(Environment *)>;
Q_DECLARE_METATYPE(Probe)

class TestEnvironment : public QObject
{
    Q_OBJECT

public:
    enum Fault { NoFault, FolderInTheWay, Fifo, FolderVanishes, BackupBlocked };
    Q_ENUM(Fault)
    static const int studio = Environment::APP_STUDIO, otherApp = 3;

    static QString dataDir() { return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0); }
    static QString iniPath() { return dataDir() + QStringLiteral("/config/uiconfig.ini"); }
    static EnvSettingKey keyOf(QString const &name) { return EnvSettingKeyEnumClass::s_idNames.key(name, NONE); }
    static Environment *fresh(int appType = studio)
    {
        Environment::m_instance.reset();
        if (appType != studio)
            startUpWithoutLogger(Environment::instance(), appType);
        return Environment::instance();
    }
    static QVariantMap entriesOf(QString const &path)
    {
        QVariantMap entries;
        QSettings settings(path, QSettings::IniFormat);
        for (QString const &key : settings.allKeys())
            entries.insert(key, settings.value(key));
        return entries;
    }
    // "KEY=value|KEY": keys with a value or without one; %l is the system's
    // locale, %w the default work folder, %p the fixed update page.
    static QVariantMap entries(QString text)
    {
        text.replace("%l", QLocale::system().name()).replace("%w", Environment::VS_WORK_DIR);
        QVariantMap map;
        for (QString const &item : text.replace("%p", deployment::updatesPageUrl).split('|', Qt::SkipEmptyParts))
            map.insert(item.section('=', 0, 0), item.contains('=') ? QVariant(item.section('=', 1)) : QVariant());
        return map;
    }
    // What the environment holds by key name: a font's text form, a colour as
    // #AARRGGBB, or a setting's text (null when there is none).
    static QString held(Environment *env, QString const &name)
    {
        if (name.endsWith(QLatin1String("_COLOR")))
            return env->getUiColor(keyOf(name)).name(QColor::HexArgb);
        return name.endsWith(QLatin1String("_FONT")) ? env->getUiFont(keyOf(name)).toString()
                                                     : env->getSetting(keyOf(name), QVariant::String).toString();
    }

private slots:
    void initTestCase();
    void init();
    void settingsFile_data();
    void settingsFile();
    void backupsNeverOverwritten();
    void startup_data();
    void startup();
    void properFont();
    void answers_data();
    void answers();

private:
    QTemporaryDir m_root; // the application folder: translations, renamed fonts
    QtMessageHandler m_testHandler = nullptr;
};

void TestEnvironment::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    m_testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_testHandler);
    const QDir qm(QStringLiteral(ENV_TEST_QM_DIR)), root(m_root.path());
    QVERIFY(root.mkdir("translations"));
    for (QString const &file : qm.entryList({"*.qm"}))
        QVERIFY(QFile::copy(qm.filePath(file), root.filePath("translations/" + file)));
}

void TestEnvironment::init()
{
    TracerManager::unregister();
    qInstallMessageHandler(m_testHandler);
    Environment::m_instance.reset();
    QDir(dataDir()).removeRecursively();
    QFile::remove(dataDir());
}

void TestEnvironment::settingsFile_data()
{
    QTest::addColumn<int>("appType");
    QTest::addColumn<bool>("skipFonts");
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<QString>("named"); // a file the host names, in a temporary folder
    QTest::addColumn<QString>("loaded"); // see held(); no value: none
    QTest::addColumn<QString>("change"); // no value: removed from the store
    QTest::addColumn<QString>("after"); // the file's entries (APP_SETTINGS/ if no section); *: any; #: how many
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("unread"); // reported unread, copied aside before the write
    auto row = [](QString const &name, int app, bool skip, QByteArray before, QString named, QString loaded,
                   QString change, QString after, Fault fault = NoFault, bool unread = false) {
        QTest::newRow(qPrintable(name)) << app << skip << before << named << loaded << change << after << fault
                                        << unread;
    };
    // Files Qt cannot read completely or the library cannot write: the defaults, then one change.
    auto unread
        = [&](QString const &name, QByteArray content, bool kept, Fault fault = NoFault, QString colour = "#ff000000") {
              row(name, studio, false, content, "", "COMPONENT_DATA_BANK=FileDataBank|APP_FONT_COLOR=" + colour,
                  "LOG_FILE=changed.log", !fault || fault == FolderVanishes ? "LOG_FILE=changed.log" : "LOG_FILE",
                  fault, kept);
          };
    const QString secure = EnvSettingKeyEnumClass::idName(SECURE_ARG_2001);
    row("first run, studio: defaults; the write makes the folders", studio, false, QByteArray(), "",
        "LANG=%l|STYLE=default|WORK_DIR=%w|LOG_FILE=app.log|LOG_LEVEL=error|COMPONENT_DATA_BANK=FileDataBank|APP_MODE|"
        "KORAX_DIARY_INPUT_DIR=%w|KORAX_DIARY_OUTPUT_DIR=%w|UPDATES_HTTP_URL=%p|APP_VERSION=|UPDATES_HTTP_URL_TEST|"
        "PRESENTATION_MODE|GUI_LE_SELECTED_COLOR=#ffffd200|GUI_CABINET_NAME_FONT_COLOR=#ffd2d2d2",
        "",
        "#=21|UI_SETTINGS/APP_FONT=*|UI_SETTINGS/GUI_LE_COLLISION_COLOR=*|UPDATES_HTTP_URL=%p|APP_VERSION|APP_MODE");
    row("first run, another application, fonts skipped: no studio entries", otherApp, true, QByteArray(), "",
        "KORAX_DIARY_INPUT_DIR|UPDATES_HTTP_URL|OPEN_RECENT_FILES", "",
        "#=6|UI_SETTINGS/LANG=%l|UI_SETTINGS/STYLE=default|WORK_DIR=%w|LOG_FILE=*|LOG_LEVEL=*|COMPONENT_DATA_BANK=*");
    row("entries the library does not own survive; the page is fixed", studio, true,
        "[UI_SETTINGS]\nLANG=pl_PL\nCUSTOM=keep\n[APP_SETTINGS]\nUPDATES_HTTP_URL=https://old\nUPDATES_LOCAL_DIR=/u\n"
        "FOREIGN=f\n"
            + secure.toLatin1() + "=serial\n[OTHER]\nx=y\n",
        "", "LANG=pl_PL|UPDATES_LOCAL_DIR=/u|UPDATES_HTTP_URL=%p|" + secure + "=serial", "",
        "UI_SETTINGS/CUSTOM=keep|FOREIGN=f|OTHER/x=y|UPDATES_HTTP_URL=%p|UPDATES_LOCAL_DIR=/u|" + secure + "=serial");
    row("an empty WORK_DIR: the default work folder, the entry goes; diary folders follow it", studio, true,
        "[APP_SETTINGS]\nWORK_DIR=\nKORAX_DIARY_OUTPUT_DIR=/o\n", "",
        "KORAX_DIARY_INPUT_DIR=%w|KORAX_DIARY_OUTPUT_DIR=/o", "", "WORK_DIR");
    row("settings emptied or removed lose their entries; LANG and STYLE stay", studio, true,
        "[APP_SETTINGS]\nLOG_FILE=a\nOPEN_RECENT_FILES=b\nPRESENTATION_MODE=c\n", "", "PRESENTATION_MODE=c",
        "LOG_FILE|OPEN_RECENT_FILES=|LANG=|STYLE|AUTOSSAVE_TIME=10",
        "LOG_FILE|OPEN_RECENT_FILES|PRESENTATION_MODE=c|UI_SETTINGS/LANG=|UI_SETTINGS/STYLE=|AUTOSSAVE_TIME=10");
    const QByteArray mode2 = "[APP_SETTINGS]\nAPP_MODE=2\n";
    row("APP_MODE removed from the store: removed from the file", studio, true, mode2, "", "APP_MODE=2", "APP_MODE",
        "APP_MODE");
    row("APP_MODE empty: the file's entry stays", studio, true, mode2, "", "", "APP_MODE=", "APP_MODE=2");
    row("a colour typed as text loads", studio, false, "[UI_SETTINGS]\nAPP_FONT_COLOR=#00ff00\n", "",
        "APP_FONT_COLOR=#ff00ff00", "", "");
    row("fonts skipped: the file's font entries stay", studio, true,
        "[UI_SETTINGS]\nAPP_FONT=\"DejaVu Sans,30,-1,5,50,0,0,0,0,0\"\n", "", "", "",
        "UI_SETTINGS/APP_FONT=DejaVu Sans,30,-1,5,50,0,0,0,0,0");
    row("a file the host names is read and written", studio, true, "[APP_SETTINGS]\nLOG_FILE=other.log\n", "named.ini",
        "LOG_FILE=other.log", "LOG_LEVEL=debug", "LOG_LEVEL=debug");
    const QByteArray colour = "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0\\x43\\x1\\xff\\xff\\xd2\\xd2\\xd2\\xd2"
                              "\\xd2\\xd2\\0\\0)\n";
    unread("a colour as Qt writes it loads", colour, false, NoFault, "#ffd2d2d2");
    unread("a colour of an out-of-range model is dropped", QByteArray(colour).replace("\\x1\\xff", "\\xe\\xff"), false);
    unread("unterminated section", "[APP_SETTINGS\nLOG_LEVEL=info\n[UI_SETTINGS]\nX=1\n", true);
    unread("polygon with a huge count is not handed to Qt",
        "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0GUI_LE_SELECTED_COLOR=\\0\\0)\n", true);
    unread("host's string list shorter than declared: read, copied before the write",
        "[HOST]\nvalue=@Variant(\\0\\0\\0\\xb\\0\\0\\0\\x1\\0\\0\\0\\x8\\0x)\n", true);
    const QVariantMap map{{"a", 1}, {"b", QStringList{"x"}}};
    for (QVariant const &value : QVariantList{QPointF(1.5, -2), QUrl("https://example.com/a?b=c,d"), QDate(2024, 2, 29),
             QDateTime(QDate(2024, 2, 29), QTime(13, 14, 15), Qt::OffsetFromUTC, 3600), map,
             QByteArray("\0\1,;=\"\\ x", 10), QRect(1, 2, 3, 4), QStringList{"a", "b,c"},
             QVariant::fromValue(QPolygon(QVector<QPoint>{{1, 2}, {3, 4}})), QVariantList{1, "x", QSize(2, 3)}}) {
        QTemporaryDir dir; // the file as a host leaves it
        QSettings(dir.filePath("h.ini"), QSettings::IniFormat).setValue(QStringLiteral("HOST/value"), value);
        unread(QStringLiteral("host's %1 survives").arg(value.typeName()), readAll(dir.filePath("h.ini")), false);
    }
    unread("a folder where the file must go", QByteArray(), true, FolderInTheWay);
    unread("a FIFO where the file must go", QByteArray(), true, Fifo);
    unread("folder removed between load and write: written again", "[APP_SETTINGS]\nLOG_LEVEL=info\n", false,
        FolderVanishes);
    unread("no copy of an unread file can be kept: not written", "[A]\nnote\nx=y\n", true, BackupBlocked);
}

// Every entry of the file before the load that the row does not change or name
// keeps its value and type, unless the library owns it (UI_SETTINGS).
void TestEnvironment::settingsFile()
{
    QFETCH(int, appType);
    QFETCH(bool, skipFonts);
    QFETCH(QByteArray, before);
    QFETCH(QString, named);
    QFETCH(QString, loaded);
    QFETCH(QString, change);
    QFETCH(QString, after);
    QFETCH(Fault, fault);
    QFETCH(bool, unread);

    QTemporaryDir dir;
    const QString host = named.isEmpty() ? QString() : dir.filePath(named);
    const QString path = before.isNull() || host.isEmpty() ? iniPath() : host;
    if (fault == FolderInTheWay || fault == BackupBlocked)
        QVERIFY(QDir().mkpath(iniPath() + (fault == BackupBlocked ? ".bak/inside" : "/inside")));
    if (fault == Fifo)
        QVERIFY(QDir().mkpath(dataDir() + "/config") && mkfifo(QFile::encodeName(iniPath()).constData(), 0600) == 0);
    QVERIFY(before.isNull() || writeFile(path, before));
    const QVariantMap kept = unread ? QVariantMap() : entriesOf(path);
    Environment *env = fresh(appType);
    env->setSetting(APP_MODE, QStringLiteral("dropped by the load"));
    MessageCapture messages;
    QVERIFY(env->loadSettings(skipFonts, host));
    QVERIFY2(fault || !before.isNull() || !QFileInfo::exists(dataDir()), "loading creates nothing");
    QVariantMap expected = entries(loaded), changes = entries(change);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(held(env, it.key()) == it.value().toString()
                && held(env, it.key()).isNull() == it.value().toString().isNull(),
            qPrintable(it.key() + ": " + held(env, it.key())));
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        it.value().isValid() ? env->setSetting(keyOf(it.key()), it.value()) : env->removeSetting(keyOf(it.key()));
    QVERIFY(fault != FolderVanishes || QDir(dataDir() + "/config").removeRecursively());
    env->writeSettings();
    QCOMPARE(messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), unread);
    QCOMPARE(readAll(path + QStringLiteral(".bak")), unread && !fault ? before : QByteArray());
    QCOMPARE(messages.contains(QtWarningMsg, "Cannot write settings file:"), fault && fault != FolderVanishes);
    QCOMPARE(messages.contains(QtCriticalMsg, "Cannot keep a copy"), fault == BackupBlocked);
    QVERIFY(fault != BackupBlocked || readAll(iniPath()) == before);
    QCOMPARE(QFileInfo(iniPath()).isDir(), fault == FolderInTheWay);
    QCOMPARE(QFile::exists(iniPath()), path == iniPath());
    const QVariantMap file = fault == Fifo ? QVariantMap() : entriesOf(path);
    expected = entries(after);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QString key = it.key().contains('/') ? it.key() : QStringLiteral("APP_SETTINGS/") + it.key();
        QVERIFY2(it.key() == "#" ? file.size() == it.value().toInt()
                                 : file.contains(key) == it.value().isValid()
                    && (it.value() == "*" || file.value(key).toString() == it.value().toString()),
            qPrintable(key + ": " + file.value(key).toString()));
    }
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        QVERIFY2(it.key().startsWith("UI_SETTINGS/") || changes.contains(it.key().section('/', -1))
                || expected.contains(it.key().section('/', -1))
                || (file.value(it.key()) == it.value() && file.value(it.key()).userType() == it.value().userType()),
            qPrintable(it.key()));
}

void TestEnvironment::backupsNeverOverwritten()
{
    // Seven starts on a file Qt cannot read completely, each written twice:
    // every copy keeps its own name, only the newest five stay.
    QStringList names;
    for (int start = 1; start <= 7; ++start) {
        const QByteArray content = "[APP_SETTINGS]\nnote " + QByteArray::number(start) + "\nLOG_LEVEL=info\n";
        QVERIFY(writeFile(iniPath(), content));
        Environment *env = fresh();
        env->loadSettings(true, QString());
        env->writeSettings();
        env->setSetting(LOG_LEVEL, QStringLiteral("debug"));
        env->writeSettings(); // a complete file now: no second copy
        names << QStringLiteral("uiconfig.ini.bak") + (start > 1 ? QStringLiteral(".%1").arg(start) : QString());
        QCOMPARE(readAll(dataDir() + QStringLiteral("/config/") + names.last()), content);
    }
    QCOMPARE(QDir(dataDir() + QStringLiteral("/config")).entryList({"uiconfig.ini.bak*"}, QDir::Files, QDir::Name),
        names.mid(2));
}

void TestEnvironment::startup_data()
{
    QTest::addColumn<QByteArray>("settings"); // null: none
    QTest::addColumn<int>("options"); // bit 0: thread id, bit 2: append; 8: log to the console
    QTest::addColumn<QString>("logFile"); // in the log folder; empty: none
    QTest::addColumn<QString>("logged"); // and what is not, after a '!'
    auto row = [](const char *name, QByteArray settings, int options, QString file, QString logged) {
        QTest::newRow(name) << settings << options << file << logged;
    };
    row("first run: the error level to app.log", QByteArray(), 0, "app.log",
        "critical-probe|!warning-probe|!earlier run|! [");
    row("info level, own file name", "[APP_SETTINGS]\nLOG_FILE=main.log\nLOG_LEVEL=info\n", 0, "main.log",
        "info-probe|!debug-probe");
    row("first and third options: thread ids, appended", QByteArray(), 5, "app.log", " [|earlier run");
    row("the log folder cannot be made: named", QByteArray(), 0, "", "Cannot create path: |/log\"|critical-probe");
    row("console log: every level, no log folder", "[APP_SETTINGS]\nLOG_LEVEL=error\n", 8, "", "debug-probe");
}

void TestEnvironment::startup()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, options);
    QFETCH(QString, logFile);
    QFETCH(QString, logged);

    const QString logPath = dataDir() + QStringLiteral("/log");
    QVERIFY(settings.isNull() || writeFile(iniPath(), settings));
    QVERIFY(options & 8
        || writeFile(logFile.isEmpty() && settings.isNull() ? logPath : logPath + "/app.log", "earlier run\n"));
    QTemporaryDir dir;
    QByteArray log;
    {
        MessageCapture messages;
        {
            StderrToFile console(dir.filePath("stderr"));
            Environment::instance()->setupEnvironmentVariables(
                Environment::APP_STUDIO, false, !(options & 8), options & 1, options & 2, options & 4);
            qDebug("debug-probe");
            qInfo("info-probe");
            qWarning("warning-probe");
            qCritical("critical-probe");
            TracerManager::unregister();
        }
        for (auto const &entry : messages.entries()) // all there is when no logger took the output over
            log += entry.message.toUtf8() + '\n';
    }
    log = options & 8 ? readAll(dir.filePath("stderr")) : logFile.isEmpty() ? log : readAll(logPath + '/' + logFile);
    for (QString const &text : logged.split('|'))
        QVERIFY2(log.contains(text.mid(text.startsWith('!')).toUtf8()) != text.startsWith('!'), qPrintable(text));
    QVERIFY2(!(options & 8) || !QFileInfo::exists(logPath), "no log folder without a file log");
    QVERIFY(QDir(Environment::instance()->getPriceListDir()).exists());
    QCOMPARE(QFileInfo::exists(iniPath()), !settings.isNull()); // start-up writes no settings
}

void TestEnvironment::properFont()
{
    // Real fonts with the fallback chain's names, DejaVu Sans renamed, are
    // registered from the end of the chain on: each newly registered one wins.
    const QStringList chain{"MS Sans Serif", "Arial", "Verdana", "MS Shell Dlg 2", "Helvetica", "Tahoma", "Calibri"};
    for (QString const &family : chain)
        QVERIFY2(!QFontDatabase().families().contains(family), "a font of the chain is installed: cannot isolate it");
    const QStringList renamed{ENV_TEST_SOURCE_DIR "/../support/rename_font.py",
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", m_root.filePath("fonts")};
    QCOMPARE(QProcess::execute(ENV_SYSTEM_PYTHON, renamed + chain), 0);
    QCOMPARE(Environment::getProperFont("Calibri", 14, false, false).family(),
        QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()); // none of the chain
    for (QString const &family : chain) {
        QFontDatabase::addApplicationFont(m_root.filePath("fonts/" + QString(family).remove(' ') + ".ttf"));
        const QFont font = Environment::getProperFont("Calibri", 14, false, true);
        QVERIFY(font.family() == family && QFontInfo(font).family() == family); // the registered file itself
        QVERIFY(font.pixelSize() == 14 && font.weight() == QFont::Normal && font.italic());
    }
    QCOMPARE(Environment::getProperFont("calibri", 14, false, false).family(), QStringLiteral("Tahoma"));
    QCOMPARE(Environment::getProperFont("DejaVu Serif", 14, false, false).family(), QStringLiteral("DejaVu Serif"));

    // The defaults replace only their own keys, sized in pixels.
    QHash<EnvSettingKey, QFont> fonts{{APPLICATION_FONT, QFont("DejaVu Serif")}};
    QHash<EnvSettingKey, QColor> colours{{GUI_LE_COLLISION_COLOR, Qt::red}};
    Environment::setDefaultFonts(&fonts, &colours);
    QVERIFY(fonts.size() == 6 && colours.size() == 6 && fonts.value(GUI_CABINET_NAME_FONT).bold());
    QVERIFY(fonts.value(APPLICATION_FONT) == QFont("DejaVu Serif") && colours.value(GUI_LE_COLLISION_COLOR) == Qt::red);
    QCOMPARE(QFontInfo(fonts.value(GUI_NODE_NAME_FONT)).pixelSize(), 15);

    // A host without a GUI platform (a command-line tool) has no font database:
    // asking it would abort. The same checks run in a child without one.
    QCOMPARE(QProcess::execute(QCoreApplication::applicationFilePath(), {"--without-gui"}), 0);
}

int runWithoutGui()
{
    QStandardPaths::setTestModeEnabled(true);
    const QFont font = Environment::getProperFont(QStringLiteral("Calibri"), 18, true, true);
    Environment *env = TestEnvironment::fresh();
    env->loadSettings(false, QString());
    env->getUiFont(GUI_NODE_NAME_FONT).setPixelSize(21);
    env->writeSettings();
    const bool ok = env->getUiFont(GUI_CABINET_NAME_FONT).pixelSize() == 18 && font.pixelSize() == 18 && font.bold()
        && font.italic() && env->getUiColor(GUI_LE_SELECTED_COLOR) == QColor(255, 210, 0);
    TestEnvironment::fresh()->loadSettings(false, QString());
    const bool saved = Environment::instance()->getUiFont(GUI_NODE_NAME_FONT).pixelSize() == 21;
    Environment::m_instance.reset();
    return ok && saved ? 0 : 1;
}

// What the environment answers, as a text, for the rules that are values.
void TestEnvironment::answers_data()
{
    QTest::addColumn<Probe>("probe");
    QTest::addColumn<QString>("expected");
    auto row = [](QString const &name, Probe probe, QString expected) {
        QTest::newRow(qPrintable(name)) << probe << expected;
    };

    // The scan of a settings file for stored objects Qt would die on. A known hole: Qt unescapes "\x40" to '@'
    // and reads the object that follows.
    auto scan = [](QByteArray raw) {
        return [=](Environment *) { return QString::number(int(settingsvariants::scan(raw))); };
    };
    const QString clean = QString::number(int(settingsvariants::Verdict::Clean)),
                  unsafe = QString::number(int(settingsvariants::Verdict::Unsafe));
    const QByteArray huge = "(\\0\\0\\0GUI_L)\n"; // a polygon of 0x55495f4c points: Qt reserves them and dies
    row("scan: polygon with a huge count", scan("[A]\nK=@Variant" + huge), unsafe);
    row("scan: spelt with escapes after the '@'", scan("[A]\nK=@\\x56\\x61riant" + huge), unsafe);
    row("scan: '@' spelt as an escape", scan("[A]\nK=\\x40Variant" + huge), unsafe);
    row("scan: list element on a continued line", scan("[A]\nK=a\\\n, @Variant" + huge), unsafe);
    row("scan: after a comment that holds a quote", scan("[A]\nK=a;\"\nL=@Variant" + huge), unsafe);
    row("scan: no object in '@@' or quotes", scan("[A]\nJ=@@x\nK=\"a\\nL=@Variant(\\0\\0\\0G\"\n"), clean);
    row("scan: list with a huge count", scan("[A]\nK=@Variant(\\0\\0\\0\\tUI_L)\n"), unsafe);
    row("scan: date-time form", scan("[A]\nK=@DateTime(\\0\\0\\0G\\0UI_L)\n"), unsafe);
    row("scan: string list shorter than declared",
        scan("[A]\nK=@Variant(\\0\\0\\0\\xb\\0\\0\\0\\x1\\0\\0\\0\\x8\\0x)\n"),
        QString::number(int(settingsvariants::Verdict::Incomplete)));

    // The folders under /opt/vs (%w: the default work folder, %d: the data folder), then those made for projects.
    auto layout = [](QString work, int mode, int appType = studio) {
        return [=](Environment *) {
            QTemporaryDir dir;
            Environment *e = fresh(appType);
            e->setRootAppPath("/opt/vs");
            e->setWorkPath(work);
            e->setAppMode(Environment::AppMode(mode));
            QString answer = QStringList({e->getDataPath(), e->getProjectTempDir(), e->getPriceListDir(),
                                             e->getSchemeTableDefaultName(), e->getLogPath(), e->getConfigPath()})
                                 .join('|')
                                 .replace(Environment::VS_WORK_DIR, "%w")
                                 .replace(dataDir(), "%d");
            e->setWorkPath(dir.filePath("w") + work.mid(2));
            e->setProjectDirectories();
            e->setProjectDirectories(); // again on the made tree: nothing changes
            QStringList made;
            for (QDirIterator it(dir.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
                 it.hasNext();)
                made << QDir(dir.path()).relativeFilePath(it.next());
            made.sort();
            return answer + " " + made.join(' ');
        };
    };
    const QString below = "|/w/prj/~temp/|/w/userdata/priceLists|/w/userdata/schemeTable/defaultTable.vstab|%d/log|";
    const QString made = " w w/prj w/userdata w/userdata/priceLists";
    row("layout: an empty work folder counts as none", layout("", 0),
        "/opt/vs/data|%wprj/~temp/|%wuserdata/priceLists|%wuserdata/schemeTable/defaultTable.vstab|%d/log|%d/config"
            + made);
    row("layout: a work folder with a slash gets no second one; an unknown mode works as the default", layout("/w/", 7),
        "/opt/vs/data" + below + "%d/config" + made);
    row("layout: without a slash, one; local configuration under the application folder; another application "
        "makes the work folder only",
        layout("/w", Environment::MODE_LOCAL_CONFIG, otherApp), "/opt/vs/data" + below + "/opt/vs/config w");
    auto temp = [](QString sub) { // below the temporary folder %t, made; "blocked" is a file
        return [=](Environment *e) {
            const QString root = QStandardPaths::standardLocations(QStandardPaths::TempLocation).value(0);
            writeFile(root + "/t/blocked", "a file");
            const QString path = e->getTempPath(sub);
            return QString(path).replace(root, "%t") + (QFileInfo(path).isDir() ? "" : " (missing)");
        };
    };
    row("temporary folder: backslashes split", temp("\\t\\a//b\\"), "%t/t/a/b/");
    row("temporary folder: a level that cannot be made gives the folder itself", temp("\\t\\blocked\\deeper"), "%t");

    row( // each stored in turn: kept as it is, bounded when read
        "autosave: 0 to 60 kept, 5 outside, 0 for a text, 5 when missing from the file",
        [](Environment *e) {
            QString answer;
            for (QVariant const &minutes : QVariantList{60, 61, 0, -1, "ten"})
                answer += QString::number((e->setSetting(AUTOSSAVE_TIME, minutes), e->getAutosaveTime())) + ' ';
            fresh()->loadSettings(true, QString()); // no file written
            return answer + QString::number(Environment::instance()->getAutosaveTime());
        },
        "60 5 0 5 0 5");

    // "+p" adds, "-p" deletes, "*p|q" adds in one call; %t is the project temporary folder, %T in capitals.
    auto recent = [](QVariant initial, QStringList operations) {
        return [=](Environment *e) {
            QTemporaryDir work;
            e->setWorkPath(work.path());
            e->setSetting(OPEN_RECENT_FILES, initial);
            const QString temp = e->getProjectTempDir();
            for (QString operation : operations) {
                const QString path = operation.replace("%t", temp).replace("%T", temp.toUpper()).mid(1);
                if (operation.startsWith('+'))
                    e->addOpenRecentFile(path);
                else if (operation.startsWith('-'))
                    e->deleteOpenRecentFile(path);
                else
                    e->addOpenRecentFiles(path.split('|'));
            }
            const QString held = e->getSetting(OPEN_RECENT_FILES, QVariant::String).toString();
            fresh()->loadSettings(true, QString()); // written at once
            const QString read = Environment::instance()->getSetting(OPEN_RECENT_FILES, QVariant::String).toString();
            return QString(held).replace(temp.toUpper(), "%T") + (read == held ? "" : " but read " + read);
        };
    };
    row("recent: the first file keeps the empty entry", recent(QVariant(), {"+A"}), "A;");
    row("recent: adding moves to the front, duplicates go", recent("C;A;B;A", {"+A"}), "A;C;B");
    row("recent: delete removes every copy, also the empty entry", recent("X;Y;X;Z;", {"-X", "-", "-W"}), "Y;Z");
    row("recent: files in the project temporary folder never enter", recent("A;", {"+%tx", "+/m%tx"}), "A; but read ");
    row("recent: that folder in capitals is another", recent("A;", {"+%Tx"}), "%Tx;A;");
    row("recent: sixteen keep the last fifteen", recent(QVariant(), {"*1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|16"}),
        "16;15;14;13;12;11;10;9;8;7;6;5;4;3;2");

    const QString root = m_root.path();
    auto switchTo = [=](QStringList locales) { // the labels and the language after switching in turn
        return [=](Environment *e) {
            e->setRootAppPath(root);
            QString answer;
            for (QString const &locale : locales)
                answer += e->switchLanguage(QLocale(locale)) ? "" : "failed: ";
            answer += e->selectFileExtFilters(Environment::KORAX_LOG_FILE | Environment::ORLA_EXPORT_FILE).join('|')
                + '|' + e->getSetting(LANG, QVariant::String).toString();
            Environment::m_instance.reset(); // its translator leaves the application
            return answer + QCoreApplication::translate("Environment", "log file").remove("log file");
        };
    };
    row("languages: a language's file serves its countries", switchTo({"pt_PT"}),
        "ficheiro de registo [KORAX] (pu pu0*)|ORLA export file (*.vor)|pt_PT");
    row("languages: German then Polish leaves one translator", switchTo({"de_DE", "pl_PL"}),
        "plik dziennika [KORAX] (pu pu0*)|ORLA export file (*.vor)|pl_PL");
    row("languages: a failed switch leaves texts untranslated and the language", switchTo({"de_DE", "hu_HU"}),
        "failed: log file [KORAX] (pu pu0*)|ORLA export file (*.vor)|de_DE");

    // The password in force after setting these in turn, after a reload (never
    // in the file), and from its stored form in a new instance.
    auto password = [](QStringList passwords) {
        return [=](Environment *e) {
            for (QString const &password : passwords)
                e->setOrlaExportPassword(password);
            const QString plain = e->getOrlaExportPassword(false);
            const QString held = e->getSetting(ORLA_EXPORT_SETS, QVariant::String).toString();
            e->writeSettings();
            e->loadSettings(true, QString());
            QString answer = (plain == ENV_EXPORT_PASSWORD ? "built-in" : plain) + '|'
                + (e->getOrlaExportPassword(false) == ENV_EXPORT_PASSWORD ? "built-in" : "another");
            fresh()->setSetting(ORLA_EXPORT_SETS, held);
            return answer
                + (held.isEmpty() || Environment::instance()->getOrlaExportPassword(false) == plain ? "" : " lost");
        };
    };
    row("password: none set, the built-in one", password({}), "built-in|built-in");
    row("password: an empty one is no built-in one", password({""}), "|built-in");
    row("password: the longest the cipher takes", password({QString(511, 'p')}), QString(511, 'p') + "|built-in");
    row("password: beyond the cipher's bound the one in force stays", password({"zażółć ₾", QString(512, 'p')}),
        "zażółć ₾|built-in");
}

void TestEnvironment::answers()
{
    QFETCH(Probe, probe);
    QFETCH(QString, expected);
    QCOMPARE(probe(Environment::instance()), expected);
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
