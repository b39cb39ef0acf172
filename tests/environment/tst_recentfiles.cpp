#include "environment.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestRecentFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listRules_data();
    void listRules();
    void temporaryFolderPathIgnored_data();
    void temporaryFolderPathIgnored();
    void survivesWriteAndLoad();
    void semicolonInPath();

private:
    QString stored() const { return m_env->getSetting(OPEN_RECENT_FILES, QVariant::String).toString(); }
    QString settingsFile() const { return m_env->getConfigPath() + QStringLiteral("/uiconfig.ini"); }
    QString inFile() const
    {
        QSettings settings(settingsFile(), QSettings::IniFormat);
        return settings.value(QStringLiteral("APP_SETTINGS/OPEN_RECENT_FILES")).toString();
    }

    QScopedPointer<QTemporaryDir> m_work;
    Environment *m_env = nullptr;
};

void TestRecentFiles::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestRecentFiles::init()
{
    Environment::m_instance.reset();
    m_env = Environment::instance();
    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    m_env->setWorkPath(m_work->path());
    QVERIFY(QDir().mkpath(m_env->getConfigPath()));
    QFile::remove(settingsFile());
}

void TestRecentFiles::cleanup()
{
    Environment::m_instance.reset();
    m_env = nullptr;
    m_work.reset();
}

void TestRecentFiles::listRules_data()
{
    QTest::addColumn<QVariant>("initial");
    // "+p" adds p, "-p" deletes p, "*p,q" adds p and q in one call.
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QString>("expected");

    const QVariant none;
    QTest::newRow("first file keeps the empty entry") << none << QStringList{"+A"} << "A;";
    QTest::newRow("A, B, A") << none << QStringList{"+A", "+B", "+A"} << "A;B;";
    QTest::newRow("letter case makes a second entry")
        << none << QStringList{"+/p/a.vsp", "+/p/A.vsp"} << "/p/A.vsp;/p/a.vsp;";
    QTest::newRow("delete removes every copy") << QVariant(QStringLiteral("X;Y;X;Z")) << QStringList{"-X"} << "Y;Z";
    QTest::newRow("delete of an unlisted path keeps the text")
        << QVariant(QStringLiteral("A;B;")) << QStringList{"-C"} << "A;B;";
    QTest::newRow("delete of the empty entry") << QVariant(QStringLiteral("A;B;")) << QStringList{"-"} << "A;B";
    QTest::newRow("delete from nothing") << none << QStringList{"-A"} << "";
    QTest::newRow("several at once: last ends first") << none << QStringList{"*X,Y,Z"} << "Z;Y;X;";
    QTest::newRow("adding moves a listed path to the front")
        << QVariant(QStringLiteral("A;B;C")) << QStringList{"+C"} << "C;A;B";
    QTest::newRow("adding removes duplicates held before")
        << QVariant(QStringLiteral("A;B;A")) << QStringList{"+A"} << "A;B";
    QTest::newRow("value held as a number is split as its text") << QVariant(42) << QStringList{"+A"} << "A;42";
    QStringList sixteen;
    QStringList lastFifteen;
    for (int i = 1; i <= 16; ++i) {
        sixteen << QStringLiteral("/p/%1").arg(i);
        if (i > 1)
            lastFifteen.prepend(sixteen.last());
    }
    QTest::newRow("sixteen keep the last fifteen")
        << none << QStringList{QLatin1Char('*') + sixteen.join(QLatin1Char(','))} << lastFifteen.join(QLatin1Char(';'));
}

void TestRecentFiles::listRules()
{
    QFETCH(QVariant, initial);
    QFETCH(QStringList, operations);
    QFETCH(QString, expected);

    m_env->setSetting(OPEN_RECENT_FILES, initial);
    for (QString const &operation : operations) {
        const QString path = operation.mid(1);
        if (operation.startsWith(QLatin1Char('+')))
            m_env->addOpenRecentFile(path);
        else if (operation.startsWith(QLatin1Char('-')))
            m_env->deleteOpenRecentFile(path);
        else
            m_env->addOpenRecentFiles(path.split(QLatin1Char(',')));
        // Written at once, every time.
        QCOMPARE(inFile(), stored());
    }
    QCOMPARE(stored(), expected);
}

void TestRecentFiles::temporaryFolderPathIgnored_data()
{
    QTest::addColumn<QString>("pathInTemp");

    QTest::newRow("file in the temporary folder") << "%1x.vsp";
    QTest::newRow("temporary folder anywhere in the text") << "/mnt/copy%1x.vsp";
}

void TestRecentFiles::temporaryFolderPathIgnored()
{
    QFETCH(QString, pathInTemp);

    m_env->addOpenRecentFile(QStringLiteral("/projects/a.vsp"));
    QVERIFY(QFile::exists(settingsFile()));
    QVERIFY(QFile::remove(settingsFile()));

    const QString tempDir = m_env->getProjectTempDir();
    QVERIFY(tempDir.startsWith(m_work->path()));
    m_env->addOpenRecentFile(pathInTemp.arg(tempDir));
    QCOMPARE(stored(), QStringLiteral("/projects/a.vsp;"));
    QVERIFY2(!QFile::exists(settingsFile()), "nothing may be written");

    // The same folder name in another letter case is not the temporary folder.
    const QString upper = tempDir.toUpper() + QStringLiteral("x.vsp");
    m_env->addOpenRecentFile(upper);
    QCOMPARE(stored(), upper + QStringLiteral(";/projects/a.vsp;"));
}

void TestRecentFiles::survivesWriteAndLoad()
{
    m_env->addOpenRecentFiles({QStringLiteral("/projects/one.vsp"), QStringLiteral("/projects/two, with comma.vsp"),
        QStringLiteral("/projects/zażółć \"quoted\".vsp")});
    const QString written = stored();
    QCOMPARE(
        written, QStringLiteral("/projects/zażółć \"quoted\".vsp;/projects/two, with comma.vsp;/projects/one.vsp;"));

    Environment::m_instance.reset();
    m_env = Environment::instance();
    QVERIFY(m_env->loadSettings(true, QString()));
    QCOMPARE(m_env->getSetting(OPEN_RECENT_FILES, QVariant::String).toString(), written);

    m_env->addOpenRecentFile(QStringLiteral("/projects/one.vsp"));
    QCOMPARE(
        stored(), QStringLiteral("/projects/one.vsp;/projects/zażółć \"quoted\".vsp;/projects/two, with comma.vsp;"));
}

void TestRecentFiles::semicolonInPath()
{
    // The list format has no escape for ";": such a path comes back as two
    // entries, takes two of the fifteen places and cannot be deleted by its name.
    const QString path = QStringLiteral("/projects/a;b.vsp");
    m_env->addOpenRecentFile(path);
    QCOMPARE(stored(), QStringLiteral("/projects/a;b.vsp;"));

    m_env->deleteOpenRecentFile(path);
    QCOMPARE(stored(), QStringLiteral("/projects/a;b.vsp;"));

    m_env->addOpenRecentFile(QStringLiteral("/projects/b.vsp"));
    QCOMPARE(stored().split(QLatin1Char(';')),
        QStringList(
            {QStringLiteral("/projects/b.vsp"), QStringLiteral("/projects/a"), QStringLiteral("b.vsp"), QString()}));

    m_env->deleteOpenRecentFile(QStringLiteral("/projects/a"));
    m_env->deleteOpenRecentFile(QStringLiteral("b.vsp"));
    QCOMPARE(stored(), QStringLiteral("/projects/b.vsp;"));
    QCOMPARE(inFile(), stored());
}

QTEST_GUILESS_MAIN(TestRecentFiles)
#include "tst_recentfiles.moc"
