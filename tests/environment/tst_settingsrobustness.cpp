#include "environment.h"
#include "envtesting.h"
#include "messagecapture.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
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

// A file as a host leaves it: the user's language and one value of its own,
// stored by Qt as an object.
QByteArray hostFile(QVariant const &value)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("host.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("UI_SETTINGS/LANG"), QStringLiteral("pl_PL"));
        settings.setValue(QStringLiteral("HOST/value"), value);
    }
    return readAll(path);
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
    QTest::addColumn<bool>("keptAside"); // reported unread and copied to .bak before the write
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
    QTest::newRow("polygon with a huge count in a date-time value")
        << "[APP_SETTINGS]\nK=@DateTime(\\0\\0\\0G\\0" + hugeCount << true << QColor();
    QTest::newRow("date-time of an unknown kind of time, whose rewrite crashes")
        << QByteArray("[HOST]\nwhen=@DateTime(\\0\\0\\0\\x10\\0\\0\\0W\\0\\x61\\0r\\0s\\0\\x61\\0w)\n") << true
        << QColor();
    QTest::newRow("host's string list shorter than declared: read, copied before the write") << QByteArray(
        "[UI_SETTINGS]\nLANG=pl_PL\n[HOST]\nvalue=@Variant(\\0\\0\\0\\xb\\0\\0\\0\\x1\\0\\0\\0\\x8\\0x)\n")
                                                                                             << true << QColor();
    // A host's own values of any type Qt stores load, keep the user's
    // settings, and survive a write unchanged.
    const QVariantMap map{{QStringLiteral("a"), 1}, {QStringLiteral("b"), QStringList{QStringLiteral("x")}}};
    const QList<QPair<const char *, QVariant>> hostValues{{"QPointF", QPointF(1.5, -2)},
        {"QUrl", QUrl(QStringLiteral("https://example.com/a?b=c,d"))}, {"QDate", QDate(2024, 2, 29)},
        {"QDateTime", QDateTime(QDate(2024, 2, 29), QTime(13, 14, 15), Qt::OffsetFromUTC, 3600)}, {"QVariantMap", map},
        {"QByteArray", QByteArray("\0\1,;=\"\\ x", 10)}, {"QRect", QRect(1, 2, 3, 4)},
        {"QStringList", QStringList{QStringLiteral("a"), QStringLiteral("b,c")}},
        {"QPolygon", QVariant::fromValue(QPolygon(QVector<QPoint>{{1, 2}, {3, 4}}))},
        {"QVariantList", QVariantList{1, QStringLiteral("x"), QVariantList{QSize(2, 3)}}}};
    for (auto const &host : hostValues)
        QTest::newRow(QByteArray("host's ") + host.first) << hostFile(host.second) << false << QColor();
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
    QMap<QString, QVariant> before;
    if (!keptAside) {
        QSettings file(settingsFile(), QSettings::IniFormat);
        for (QString const &key : file.allKeys())
            before.insert(key, file.value(key));
    }
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
    if (before.contains(QStringLiteral("UI_SETTINGS/LANG")))
        QCOMPARE(env->getSetting(LANG, QVariant::String), before.value(QStringLiteral("UI_SETTINGS/LANG")));

    env->writeSettings();
    QCOMPARE(readAll(backupFile()), keptAside ? content : QByteArray());
    {
        // Entries the library does not own keep their values, type and all.
        QSettings file(settingsFile(), QSettings::IniFormat);
        for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
            if (!it.key().startsWith(QLatin1String("UI_SETTINGS/"))
                && !it.key().startsWith(QLatin1String("APP_SETTINGS/")))
                QVERIFY2(file.value(it.key()) == it.value() && file.value(it.key()).userType() == it.value().userType(),
                    qPrintable(it.key()));
        }
    }
    messages.clear();
    env->loadSettings(false, QString());
    QVERIFY2(!messages.contains(QtInfoMsg, QStringLiteral("Cannot read settings file:")), "what was written loads");
}

QTEST_MAIN(TestSettingsRobustness)
#include "tst_settingsrobustness.moc"
