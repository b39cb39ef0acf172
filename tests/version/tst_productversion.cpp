#include "environment.h"
#include "messagecapture.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestProductVersion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void versionFromFileName_data();
    void versionFromFileName();
    void windowsExecutable_data();
    void windowsExecutable();
    void unreadableFile_data();
    void unreadableFile();
    void appVersionDeclaredToQt_data();
    void appVersionDeclaredToQt();

private:
    QTemporaryDir m_dir;
};

namespace
{

QList<int> numbers(AppVersion const &v)
{
    return {v.m_major, v.m_minor, v.m_patch, v.m_rc};
}

const QString versionWarning = QStringLiteral("error in GetFileVersionInfo");

} // namespace

void TestProductVersion::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
}

void TestProductVersion::init()
{
    Environment::m_instance.reset();
    QCoreApplication::setApplicationVersion(QString());
}

void TestProductVersion::cleanup()
{
    QCoreApplication::setApplicationVersion(QString());
}

void TestProductVersion::versionFromFileName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("four numbers") << "Setup_1.2.3.4.exe" << QList<int>{1, 2, 3, 4};
    QTest::newRow("three numbers") << "Setup_1.2.3.exe" << QList<int>{1, 2, 3, 0};
    QTest::newRow("no underscore") << "Setup.exe" << QList<int>{0, 0, 0, 0};
    QTest::newRow("last underscore counts") << "a_b_7.8.exe" << QList<int>{7, 8, 0, 0};
    QTest::newRow("non-number part gives 0") << "Setup_x.2.3.4.exe" << QList<int>{0, 2, 3, 4};
    QTest::newRow("number without a following dot is lost") << "_2.1.5" << QList<int>{2, 1, 0, 0};
    QTest::newRow("no dot at all") << "Setup_2" << QList<int>{0, 0, 0, 0};
    QTest::newRow("at most four numbers") << "Setup_1.2.3.4.5.6.exe" << QList<int>{1, 2, 3, 4};
    QTest::newRow("folder underscore used when the name has none")
        << "/opt/setup_1.2/Setup.exe" << QList<int>{1, 0, 0, 0};
    QTest::newRow("folder underscore before the name's is ignored")
        << "C:/my_dir/Setup_3.0.12.0.exe" << QList<int>{3, 0, 12, 0};
    QTest::newRow("empty") << "" << QList<int>{0, 0, 0, 0};
    QTest::newRow("underscore at the end") << "Setup.1.2_" << QList<int>{0, 0, 0, 0};
    QTest::newRow("empty parts give 0") << "Setup_..7.exe" << QList<int>{0, 0, 7, 0};
}

void TestProductVersion::versionFromFileName()
{
    QFETCH(QString, fileName);
    QFETCH(QList<int>, expected);

    const AppVersion v = Environment::instance()->getVersionFromFileName(fileName);
    QCOMPARE(v.m_name, QStringLiteral("ver"));
    QCOMPARE(numbers(v), expected);
}

void TestProductVersion::windowsExecutable_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QList<int>>("expected");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("warnings");

    // Fixtures of the PE reader: made by mingw-w64 from the .rc files beside them.
    QTest::newRow("32-bit, product version differs from file version")
        << "product32.exe" << QList<int>{3, 0, 12, 0} << "3.0.12 beta" << 0;
    QTest::newRow("64-bit, release candidate") << "product64.exe" << QList<int>{2, 1, 0, 3} << "2.1.0 rc3 beta" << 0;
    QTest::newRow("no version resource") << "noversion32.exe" << QList<int>{-1, -1, -1, -1} << "-1.-1.-1 beta" << 1;
    QTest::newRow("no fixed file info: cleared, quietly")
        << "nofixed32.exe" << QList<int>{-1, -1, -1, -1} << "-1.-1.-1 beta" << 0;
}

void TestProductVersion::windowsExecutable()
{
    QFETCH(QString, file);
    QFETCH(QList<int>, expected);
    QFETCH(QString, text);
    QFETCH(int, warnings);

    const QString path = QStringLiteral(ENV_TEST_PE_FIXTURES "/") + file;
    QVERIFY2(QFile::exists(path), qPrintable(path));
    MessageCapture capture;
    const AppVersion v = Environment::instance()->getProductVersion(path);
    QCOMPARE(v.m_name, QStringLiteral("ver"));
    QCOMPARE(numbers(v), expected);
    QCOMPARE(capture.count(QtWarningMsg, versionWarning), warnings);
    QCOMPARE(capture.entries().size(), warnings);
    QCOMPARE(Environment::instance()->getVersionString(path), text);
}

void TestProductVersion::unreadableFile_data()
{
    QTest::addColumn<QString>("path");

    // Broken PE files are the PE reader's tests; here: one warning, a cleared version.
    QTest::newRow("missing file") << m_dir.filePath(QStringLiteral("missing.exe"));
    QTest::newRow("empty path") << QString();
    QTest::newRow("folder") << m_dir.path();
    QTest::newRow("ELF executable") << QCoreApplication::applicationFilePath();
}

void TestProductVersion::unreadableFile()
{
    QFETCH(QString, path);

    MessageCapture capture;
    const AppVersion v = Environment::instance()->getProductVersion(path);
    QCOMPARE(v.m_name, QStringLiteral("ver"));
    QCOMPARE(numbers(v), QList<int>({-1, -1, -1, -1}));
    QCOMPARE(capture.count(QtWarningMsg, versionWarning), 1);
    QCOMPARE(capture.entries().size(), 1);
    QCOMPARE(capture.entries().first().category, QStringLiteral("default"));
    QCOMPARE(Environment::instance()->getVersionString(path), QStringLiteral("-1.-1.-1 beta"));
}

void TestProductVersion::appVersionDeclaredToQt_data()
{
    QTest::addColumn<QString>("declared");
    QTest::addColumn<QList<int>>("expected");
    QTest::addColumn<int>("warnings");

    QTest::newRow("four numbers") << "2.1.0.3" << QList<int>{2, 1, 0, 3} << 0;
    QTest::newRow("three numbers") << "2.1.0" << QList<int>{2, 1, 0, 0} << 0;
    QTest::newRow("not a number") << "beta" << QList<int>{0, 0, 0, 0} << 0;
    QTest::newRow("undeclared: the ELF host has no version resource") << "" << QList<int>{-1, -1, -1, -1} << 1;
}

void TestProductVersion::appVersionDeclaredToQt()
{
#ifdef Q_OS_WIN
    QSKIP("Windows executables carry their own version resource");
#endif
    QFETCH(QString, declared);
    QFETCH(QList<int>, expected);
    QFETCH(int, warnings);

    QCoreApplication::setApplicationVersion(declared);
    MessageCapture capture;
    const AppVersion v = Environment::instance()->getAppVersion();
    QCOMPARE(v.m_name, QStringLiteral("ver"));
    QCOMPARE(numbers(v), expected);
    QCOMPARE(capture.count(QtWarningMsg, versionWarning), warnings);
}

QTEST_GUILESS_MAIN(TestProductVersion)
#include "tst_productversion.moc"
