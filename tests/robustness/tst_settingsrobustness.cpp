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
    void fuzzFindings_data();
    void fuzzFindings();
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

void TestSettingsRobustness::fuzzFindings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("colourKey");

    // Spec byte 0x0e: no such QColor::Spec.
    QTest::newRow("stored colour with an out-of-range spec") << QByteArray(
        "[UI_SETTINGS]\nAPP_FONT_COLOR=@Variant(\\0\\0\\0\\x43\\xe\\xff\\xff\\xd2\\xd2\\xd2\\xd2\\xd2"
        "\\xd2\\0\\0)\n") << int(APP_FONT_COLOR);
}

void TestSettingsRobustness::fuzzFindings()
{
    QFETCH(QByteArray, content);
    QFETCH(int, colourKey);

    QVERIFY(writeFile(settingsFile(), content));
    Environment::m_instance.reset();
    Environment *env = Environment::instance();
    QVERIFY(env->loadSettings(false, QString()));
    QHash<EnvSettingKey, QColor> defaults;
    Environment::setDefaultFonts(nullptr, &defaults);
    QCOMPARE(env->getUiColor(EnvSettingKey(colourKey)), defaults.value(EnvSettingKey(colourKey)));
    env->writeSettings();
}

QTEST_MAIN(TestSettingsRobustness)
#include "tst_settingsrobustness.moc"
