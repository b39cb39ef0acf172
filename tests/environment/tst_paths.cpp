#include "environment.h"
#include "envtesting.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace
{

using Getter = std::function<QString(Environment *)>;

QHash<QString, Getter> pathGetters()
{
    return {
        {QStringLiteral("getRootAppPath"), [](Environment *e) { return e->getRootAppPath(); }},
        {QStringLiteral("getDataPath"), [](Environment *e) { return e->getDataPath(); }},
        {QStringLiteral("getToolsPath"), [](Environment *e) { return e->getToolsPath(); }},
        {QStringLiteral("getTranslationsPath"), [](Environment *e) { return e->getTranslationsPath(); }},
        {QStringLiteral("getLibsPath"), [](Environment *e) { return e->getLibsPath(); }},
        {QStringLiteral("getHelpPath"), [](Environment *e) { return e->getHelpPath(); }},
        {QStringLiteral("getComponentTypeFileName"), [](Environment *e) { return e->getComponentTypeFileName(); }},
        {QStringLiteral("getComponentParamsFileName"), [](Environment *e) { return e->getComponentParamsFileName(); }},
        {QStringLiteral("getVersionFileName"), [](Environment *e) { return e->getVersionFileName(); }},
        {QStringLiteral("getFactoryNamesFileName"), [](Environment *e) { return e->getFactoryNamesFileName(); }},
        {QStringLiteral("getWorkPath"), [](Environment *e) { return e->getWorkPath(); }},
        {QStringLiteral("getProjectDir"), [](Environment *e) { return e->getProjectDir(); }},
        {QStringLiteral("getProjectTempDir"), [](Environment *e) { return e->getProjectTempDir(); }},
        {QStringLiteral("getPriceListDir"), [](Environment *e) { return e->getPriceListDir(); }},
        {QStringLiteral("getSchemeTableDir"), [](Environment *e) { return e->getSchemeTableDir(); }},
        {QStringLiteral("getSchemeTableDefaultName"), [](Environment *e) { return e->getSchemeTableDefaultName(); }},
        {QStringLiteral("pricelist abc"), [](Environment *e) { return e->getDefaultPriceListFileName("abc"); }},
        {QStringLiteral("strip a.vrl.vrl"),
            [](Environment *e) { return e->priceListFileWithoutExtention("a.vrl.vrl"); }},
        {QStringLiteral("strip A.VRL"), [](Environment *e) { return e->priceListFileWithoutExtention("A.VRL"); }},
        {QStringLiteral("strip x.vrl.bak"),
            [](Environment *e) { return e->priceListFileWithoutExtention("x.vrl.bak"); }},
    };
}

QString tempRoot()
{
    return QStandardPaths::standardLocations(QStandardPaths::TempLocation).value(0);
}

QStringList foldersUnder(QString const &root)
{
    QStringList result;
    QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        result << QDir(root).relativeFilePath(it.next());
    result.sort();
    return result;
}

} // namespace

class TestPaths : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void getters_data();
    void getters();
    void setWorkPathCreatesNothing();
    void configPath_data();
    void configPath();
    void setProjectDirectories_data();
    void setProjectDirectories();
    void tempPath_data();
    void tempPath();
    void tempPathEmptyCreatesNothing();
    void tempPathLevelCannotBeMade();
};

void TestPaths::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestPaths::init()
{
    Environment::m_instance.reset();
}

void TestPaths::getters_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QVariant>("workDir"); // invalid: no WORK_DIR in the store
    QTest::addColumn<QString>("getter");
    QTest::addColumn<QString>("expected");

    const QString d = Environment::VS_WORK_DIR; // D/VARDOStudio/
    const QVariant none;
    const QString r = QStringLiteral("/opt/vs");

    QTest::newRow("data folder before start-up") << QString() << none << "getDataPath"
                                                 << "/data";
    QTest::newRow("root as set") << r << none << "getRootAppPath" << r;
    QTest::newRow("data") << r << none << "getDataPath"
                          << "/opt/vs/data";
    QTest::newRow("one slash inserted after a root with one") << QStringLiteral("/opt/vs/") << none << "getDataPath"
                                                              << "/opt/vs//data";
    QTest::newRow("tools") << r << none << "getToolsPath"
                           << "/opt/vs/tools";
    QTest::newRow("translations") << r << none << "getTranslationsPath"
                                  << "/opt/vs/translations";
    QTest::newRow("libs") << r << none << "getLibsPath"
                          << "/opt/vs/lib";
    QTest::newRow("help") << r << none << "getHelpPath"
                          << "/opt/vs/help";
    QTest::newRow("component types") << r << none << "getComponentTypeFileName"
                                     << "/opt/vs/data/comptypes.dat";
    QTest::newRow("component params") << r << none << "getComponentParamsFileName"
                                      << "/opt/vs/data/compparams.dat";
    QTest::newRow("version data") << r << none << "getVersionFileName"
                                  << "/opt/vs/data/ver.dat";
    QTest::newRow("factory names") << r << none << "getFactoryNamesFileName"
                                   << "/opt/vs/data/factory.nam";

    QTest::newRow("work folder by default") << r << none << "getWorkPath" << d;
    QTest::newRow("work folder from the store") << r << QVariant("C:/work") << "getWorkPath"
                                                << "C:/work";
    QTest::newRow("empty work folder counts as none") << r << QVariant("") << "getWorkPath" << d;
    QTest::newRow("no project folder at the root") << r << QVariant("") << "getProjectDir" << d + "prj";
    QTest::newRow("default project folder") << r << none << "getProjectDir" << d + "prj";
    QTest::newRow("default project temp folder") << r << none << "getProjectTempDir" << d + "prj/~temp/";
    QTest::newRow("price lists, work folder without slash") << r << QVariant("C:/work") << "getPriceListDir"
                                                            << "C:/work/userdata/priceLists";
    QTest::newRow("price lists, work folder with slash") << r << QVariant("C:/work/") << "getPriceListDir"
                                                         << "C:/work/userdata/priceLists";
    QTest::newRow("project folder, work folder without slash") << r << QVariant("/w") << "getProjectDir"
                                                               << "/w/prj";
    QTest::newRow("scheme tables") << r << QVariant("/w") << "getSchemeTableDir"
                                   << "/w/userdata/schemeTable";
    QTest::newRow("default scheme table")
        << r << none << "getSchemeTableDefaultName" << d + "userdata/schemeTable/defaultTable.vstab";
    QTest::newRow("default price-list file name") << r << none << "pricelist abc"
                                                  << "pricelist_abc.vrl";
    QTest::newRow("extension removed everywhere") << r << none << "strip a.vrl.vrl"
                                                  << "a";
    QTest::newRow("extension removal is case-sensitive") << r << none << "strip A.VRL"
                                                         << "A.VRL";
    QTest::newRow("extension removed in the middle") << r << none << "strip x.vrl.bak"
                                                     << "x.bak";
}

void TestPaths::getters()
{
    QFETCH(QString, root);
    QFETCH(QVariant, workDir);
    QFETCH(QString, getter);
    QFETCH(QString, expected);

    Environment *env = Environment::instance();
    if (!root.isNull())
        env->setRootAppPath(root);
    if (workDir.isValid())
        env->setWorkPath(workDir.toString());
    QVERIFY2(pathGetters().contains(getter), qPrintable(getter));
    QCOMPARE(pathGetters().value(getter)(env), expected);
}

void TestPaths::setWorkPathCreatesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = dir.filePath(QStringLiteral("not/yet"));
    Environment *env = Environment::instance();
    env->setWorkPath(work);
    QCOMPARE(env->getSetting(WORK_DIR, QVariant::String).toString(), work);
    QCOMPARE(env->getWorkPath(), work);
    QVERIFY(!QFileInfo::exists(work));
}

void TestPaths::configPath_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("underRoot");

    QTest::newRow("default mode") << int(Environment::MODE_DEFAULT) << false;
    QTest::newRow("server updates") << int(Environment::MODE_SERVER_UPDATES) << false;
    QTest::newRow("local updates") << int(Environment::MODE_LOCAL_UPDATES) << false;
    QTest::newRow("local updates alt") << int(Environment::MODE_LOCAL_UPDATES_ALT) << false;
    QTest::newRow("local config") << int(Environment::MODE_LOCAL_CONFIG) << true;
    QTest::newRow("unknown mode behaves as default") << 7 << false;
}

void TestPaths::configPath()
{
    QFETCH(int, mode);
    QFETCH(bool, underRoot);

    Environment *env = Environment::instance();
    env->setRootAppPath(QStringLiteral("/opt/vs"));
    env->setAppMode(Environment::AppMode(mode));
    QCOMPARE(int(env->getAppMode()), mode);
    const QString data = QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0);
    QCOMPARE(env->getConfigPath(), underRoot ? QStringLiteral("/opt/vs/config") : data + QStringLiteral("/config"));
    QVERIFY2(!data.isEmpty(), "the test needs a data folder");
}

void TestPaths::setProjectDirectories_data()
{
    QTest::addColumn<int>("appType");
    QTest::addColumn<QString>("workSuffix");
    QTest::addColumn<QStringList>("expected");

    const QStringList studio{QStringLiteral("work"), QStringLiteral("work/prj"), QStringLiteral("work/userdata"),
        QStringLiteral("work/userdata/priceLists")};
    QTest::newRow("studio, work folder without slash") << int(Environment::APP_STUDIO) << "" << studio;
    QTest::newRow("studio, work folder with slash") << int(Environment::APP_STUDIO) << "/" << studio;
    QTest::newRow("other application: work folder only") << 1 << "" << QStringList{QStringLiteral("work")};
    QTest::newRow("another other application") << 42 << "/" << QStringList{QStringLiteral("work")};
}

void TestPaths::setProjectDirectories()
{
    QFETCH(int, appType);
    QFETCH(QString, workSuffix);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Environment *env = Environment::instance();
    if (appType != Environment::APP_STUDIO)
        startUpWithoutLogger(env, appType);
    env->setWorkPath(dir.filePath(QStringLiteral("work")) + workSuffix);
    env->setProjectDirectories();
    QCOMPARE(foldersUnder(dir.path()), expected);

    // Running it again on the existing tree changes nothing.
    env->setProjectDirectories();
    QCOMPARE(foldersUnder(dir.path()), expected);
}

void TestPaths::tempPath_data()
{
    QTest::addColumn<QString>("subPath"); // %1 stands for a unique folder name
    QTest::addColumn<QString>("expected"); // below T

#ifdef Q_OS_WIN
    QTest::newRow("backslash parts") << "\\%1\\a\\b"
                                     << "\\%1\\a\\b\\";
    QTest::newRow("forward slash is part of a name") << "\\%1\\a/b"
                                                     << "\\%1\\a/b\\";
#else
    QTest::newRow("backslash parts") << "\\%1\\a\\b"
                                     << "/%1/a/b/";
    QTest::newRow("forward slashes split too") << "/%1/a/b"
                                               << "/%1/a/b/";
    QTest::newRow("mixed and doubled separators") << "%1\\\\a//b\\"
                                                  << "/%1/a/b/";
    QTest::newRow("only separators") << "\\\\/"
                                     << "/";
    QTest::newRow("updater's folder") << QString(QDir::separator()) + "vsupd"
                                      << "/vsupd/";
#endif
}

void TestPaths::tempPath()
{
    QFETCH(QString, subPath);
    QFETCH(QString, expected);

    QTemporaryDir unique;
    QVERIFY(unique.isValid());
    const QString name = QFileInfo(unique.path()).fileName();
    if (subPath.contains(QLatin1String("%1"))) {
        subPath = subPath.arg(name);
        expected = expected.arg(name);
    }
    const QString result = Environment::instance()->getTempPath(subPath);
    QCOMPARE(result, tempRoot() + expected);
    QVERIFY(QFileInfo(result).isDir());
}

void TestPaths::tempPathEmptyCreatesNothing()
{
    const QStringList before = QDir(tempRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(Environment::instance()->getTempPath(QString()), tempRoot());
    QVERIFY(!tempRoot().endsWith(QLatin1Char('/')));
    QCOMPARE(QDir(tempRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void TestPaths::tempPathLevelCannotBeMade()
{
    QTemporaryDir unique;
    QVERIFY(unique.isValid());
    const QString name = QFileInfo(unique.path()).fileName();
    // Tests run as root, so a plain file is what stops a mkdir.
    QFile blocker(unique.filePath(QStringLiteral("blocked")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const QString failing = tempRoot() + QLatin1Char('/') + name + QStringLiteral("/blocked/");
    QTest::ignoreMessage(QtCriticalMsg, qPrintable(QStringLiteral("Nie mozna utworzyc katalogu: \"%1\"").arg(failing)));
    const QString result
        = Environment::instance()->getTempPath(QLatin1Char('\\') + name + QStringLiteral("\\blocked\\deeper"));
    QCOMPARE(result, tempRoot());
    QVERIFY(!QFileInfo::exists(failing + QStringLiteral("deeper")));
    QVERIFY(QFileInfo(unique.filePath(QStringLiteral("blocked"))).isFile());
}

QTEST_MAIN(TestPaths)
#include "tst_paths.moc"
