#include "environment.h"
#include "envtesting.h"
#include "messagecapture.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <optional>

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace
{

QString configDir()
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0) + QStringLiteral("/config");
}

QString settingsFile()
{
    return configDir() + QStringLiteral("/uiconfig.ini");
}

QString backupFile()
{
    return settingsFile() + QStringLiteral(".bak");
}

QByteArray readAll(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(QString const &path, QByteArray const &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Every entry Qt can read from the file, with its text.
QMap<QString, QString> entriesOf(QString const &path)
{
    QMap<QString, QString> entries;
    QSettings settings(path, QSettings::IniFormat);
    for (QString const &key : settings.allKeys())
        entries.insert(key, settings.value(key).toString());
    return entries;
}

QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20261206);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / int(sizeof(quint32)));
    return bytes;
}

// Root reads and writes any file whatever its mode. Dropping the two
// capabilities that allow it from this thread's effective set makes the mode
// count again; they stay permitted and come back at the end of the scope.
class ModeBitsApply
{
public:
    ModeBitsApply()
    {
#ifdef Q_OS_LINUX
        if (geteuid() != 0) {
            m_applies = true;
            return;
        }
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_dropped = syscall(SYS_capset, &m_header, reduced) == 0;
        m_applies = m_dropped;
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

    bool applies() const
    {
        return m_applies;
    }

private:
    bool m_applies = false;
#ifdef Q_OS_LINUX
    bool m_dropped = false;
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
#endif
};

} // namespace

class TestSettingsRobustness : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        NoFault,
        NoReadPermission,
        NoWritePermission,
        FolderInTheWay,
        Fifo,
        FolderVanishes,
        FolderBecomesFile
    };
    Q_ENUM(Fault)

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void userFileNeverLost_data();
    void userFileNeverLost();
    void storedObjects_data();
    void storedObjects();
};

void TestSettingsRobustness::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSettingsRobustness::init()
{
    QFile::remove(configDir());
    QDir(configDir()).removeRecursively();
}

void TestSettingsRobustness::cleanup()
{
    Environment::m_instance.reset();
    if (QFileInfo(settingsFile()).isFile())
        QFile::setPermissions(settingsFile(), QFile::ReadOwner | QFile::WriteOwner);
}

void TestSettingsRobustness::userFileNeverLost_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Fault>("fault");

    const QByteArray ini = "[APP_SETTINGS]\nLOG_LEVEL=info\nFOREIGN=kept\n";
    const int tenMegabytes = 10 * 1024 * 1024;
    QTest::newRow("binary") << noise(4096) << NoFault;
    QTest::newRow("10 MB of binary") << noise(tenMegabytes) << NoFault;
    QTest::newRow("10 MB entry") << ini + "BIG=" + QByteArray(tenMegabytes, 'x') + "\n" << NoFault;
    QTest::newRow("no read permission") << ini << NoReadPermission;
    QTest::newRow("no write permission") << ini << NoWritePermission;
    QTest::newRow("a folder where the file must go") << QByteArray() << FolderInTheWay;
    QTest::newRow("a FIFO where the file must go") << QByteArray() << Fifo;
    QTest::newRow("folder removed between load and write") << ini << FolderVanishes;
    QTest::newRow("broken file, folder removed between load and write") << "[APP_SETTINGS\n" + ini << FolderVanishes;
    QTest::newRow("folder replaced by a file between load and write") << ini << FolderBecomesFile;
}

void TestSettingsRobustness::userFileNeverLost()
{
    QFETCH(QByteArray, content);
    QFETCH(Fault, fault);

    switch (fault) {
    case FolderInTheWay: QVERIFY(QDir().mkpath(settingsFile() + QStringLiteral("/inside"))); break;
    case Fifo:
#ifdef Q_OS_LINUX
        QVERIFY(QDir().mkpath(configDir()));
        QCOMPARE(mkfifo(QFile::encodeName(settingsFile()).constData(), 0600), 0);
#else
        QSKIP("FIFOs are made here with mkfifo");
#endif
        break;
    default: QVERIFY(writeFile(settingsFile(), content));
    }
    const QMap<QString, QString> readable
        = QFileInfo(settingsFile()).isFile() ? entriesOf(settingsFile()) : QMap<QString, QString>();
    if (fault == NoReadPermission)
        QVERIFY(QFile::setPermissions(settingsFile(), {}));
    if (fault == NoWritePermission)
        QVERIFY(QFile::setPermissions(settingsFile(), QFile::ReadOwner));
    std::optional<ModeBitsApply> modeBits;
    if (fault == NoReadPermission || fault == NoWritePermission) {
        modeBits.emplace();
        if (!modeBits->applies())
            QSKIP("runs as root without the right to drop CAP_DAC_OVERRIDE: the file's mode cannot take effect");
        QCOMPARE(QFile(settingsFile()).open(QIODevice::ReadOnly), fault == NoWritePermission);
    }

    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    MessageCapture messages;
    startUpWithoutLogger(env, Environment::APP_STUDIO, false);
    QVERIFY2(QDir(env->getProjectDir()).exists(), "start-up completes");
    QCOMPARE(env->getSetting(COMPONENT_DATA_BANK, QVariant::String).toString(), QStringLiteral("FileDataBank"));
    const bool loadError = messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:"));

    if (fault == FolderVanishes)
        QVERIFY(QDir(configDir()).removeRecursively());
    if (fault == FolderBecomesFile) {
        QVERIFY(QDir(configDir()).removeRecursively());
        QVERIFY(writeFile(configDir(), "not a folder"));
    }
    env->setSetting(LOG_FILE, QStringLiteral("changed.log"));
    env->writeSettings();

    modeBits.reset();

    switch (fault) {
    case NoReadPermission:
    case NoWritePermission:
        QCOMPARE(loadError, fault == NoReadPermission);
        QCOMPARE(readAll(settingsFile()), content);
        break;
    case FolderInTheWay:
    case Fifo:
        QVERIFY(loadError);
        QVERIFY(messages.contains(QtWarningMsg, QStringLiteral("Cannot write settings file:")));
        QCOMPARE(QFileInfo(settingsFile()).isDir(), fault == FolderInTheWay);
        QVERIFY(QFileInfo::exists(settingsFile()));
        break;
    case FolderBecomesFile: QCOMPARE(readAll(configDir()), QByteArray("not a folder")); break;
    case FolderVanishes:
        // What was loaded is written again.
        QCOMPARE(entriesOf(settingsFile()).value(QStringLiteral("APP_SETTINGS/LOG_FILE")), "changed.log");
        QCOMPARE(entriesOf(settingsFile()).value(QStringLiteral("APP_SETTINGS/LOG_LEVEL")), "info");
        break;
    default:
        if (loadError) {
            QCOMPARE(readAll(backupFile()), content);
        } else {
            // Everything Qt read is written back.
            const QMap<QString, QString> written = entriesOf(settingsFile());
            for (auto it = readable.constBegin(); it != readable.constEnd(); ++it)
                QVERIFY2(written.value(it.key()) == it.value(), qPrintable(it.key()));
        }
        QCOMPARE(entriesOf(settingsFile()).value(QStringLiteral("APP_SETTINGS/LOG_FILE")), "changed.log");
    }
}

void TestSettingsRobustness::storedObjects_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("keptAside"); // not handed to QSettings: kept in .bak, defaults used
    QTest::addColumn<QColor>("appFontColour"); // invalid: the default

    // Each unsafe row crashes a QGuiApplication host inside QSettings::allKeys()
    // (a count of 0x55495f4c points or list entries).
    const QByteArray hugeCount = "UI_L)\n";
    QTest::newRow("colour with an out-of-range model is dropped") << QByteArray(
        "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0\\x43\\xe\\xff\\xff\\xd2\\xd2\\xd2\\xd2\\xd2"
        "\\xd2\\0\\0)\n") << false << QColor();
    QTest::newRow("polygon with a huge count, as fuzzing found it")
        << QByteArray("[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0GUI_LE_SELECTED_COLOR=\\0\\0)\n") << true
        << QColor();
    QTest::newRow("polygon in a value quoted in halves")
        << "[APP_SETTINGS]\nK=\"@Var\"iant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("polygon as a list element")
        << "[APP_SETTINGS]\nK=a, @Variant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("polygon spelled with escapes")
        << "[APP_SETTINGS]\nK=@\\x56\\x61riant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("polygon as a list element on a continued line")
        << "[APP_SETTINGS]\nK=a\\\n, @Variant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("polygon after a comment that holds a quote")
        << "[APP_SETTINGS]\nK=a;\"\nL=@Variant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("polygon after a comment that ends in a backslash")
        << "[APP_SETTINGS]\nK=a;b\\\nL=@Variant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("polygon after an escaped '=' in the key")
        << "[APP_SETTINGS]\nK\\=x=@Variant(\\0\\0\\0G" + hugeCount << true << QColor();
    QTest::newRow("quoted text that only looks like a stored polygon")
        << "[APP_SETTINGS]\nK=\"a\\nL=@Variant(\\0\\0\\0G" + hugeCount.left(4) + "\"\n"
        << false << QColor();
    QTest::newRow("list with a huge count")
        << "[APP_SETTINGS]\nK=@Variant(\\0\\0\\0\\t" + hugeCount << true << QColor();
    QTest::newRow("font and colour as Qt writes them still load") << QByteArray(
        "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0\\x43\\x1\\xff\\xff\\xd2\\xd2\\xd2\\xd2\\xd2"
        "\\xd2\\0\\0)\nGUI_CABINET_NAME_FONT=@Variant(\\0\\0\\0@\\0\\0\\0\\x16\\0\\x44\\0\\x65\\0j\\0\\x61"
        "\\0V\\0u\\0 \\0S\\0\\x61\\0n\\0s\\xbf\\xf0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\x12\\x5\\x1\\0K\\x10)\n")
                                                                  << false << QColor(210, 210, 210);
}

void TestSettingsRobustness::storedObjects()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, keptAside);
    QFETCH(QColor, appFontColour);

    QVERIFY(writeFile(settingsFile(), content));
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    MessageCapture messages;
    startUpWithoutLogger(env, Environment::APP_STUDIO, false);
    QCOMPARE(messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), keptAside);
    if (!appFontColour.isValid()) {
        QHash<EnvSettingKey, QColor> defaults;
        Environment::setDefaultFonts(nullptr, &defaults);
        appFontColour = defaults.value(APP_FONT_COLOR);
    }
    QCOMPARE(env->getUiColor(APP_FONT_COLOR), appFontColour);

    env->writeSettings();
    QCOMPARE(readAll(backupFile()), keptAside ? content : QByteArray());
    messages.clear();
    env->loadSettings(false, QString());
    QVERIFY2(!messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), "what was written loads");
}

QTEST_MAIN(TestSettingsRobustness)
#include "tst_settingsrobustness.moc"
