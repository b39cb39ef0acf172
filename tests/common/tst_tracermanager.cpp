#include "stderrtofile.h"
#include "tracermanager.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

Q_LOGGING_CATEGORY(testCategory, "env.test")

QByteArray readAll(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void emitProbes()
{
    qDebug("debug-probe");
    qInfo("info-probe");
    qWarning("warning-probe");
    qCritical("critical-probe");
}

const QStringList allProbes{QStringLiteral("debug-probe"), QStringLiteral("info-probe"),
    QStringLiteral("warning-probe"), QStringLiteral("critical-probe")};

} // namespace

class TestTracerManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void lineFormat();
    void categoryOfTheLine();
    void levelFilter_data();
    void levelFilter();
    void registeringAgainReplaces();
    void failedRegistrationKeepsLogger();
    void appendOrTruncate_data();
    void appendOrTruncate();
    void consoleLogger();

private:
    QTemporaryDir m_dir;
    QtMessageHandler m_testHandler = nullptr;
};

void TestTracerManager::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
    m_testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_testHandler);
}

void TestTracerManager::cleanup()
{
    TracerManager::unregister();
    qInstallMessageHandler(m_testHandler);
}

void TestTracerManager::lineFormat()
{
    const QString path = m_dir.filePath(QStringLiteral("format.log"));
    QVERIFY(TracerManager::registerFileLogger(path, QStringLiteral("debug"), false, false, false));
    const int line = __LINE__ + 1;
    qWarning() << "value" << 42;
    TracerManager::unregister();

    const QString text = QString::fromUtf8(readAll(path)).trimmed();
    const QRegularExpression pattern(QStringLiteral(
        "^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S*) (\\w+) (\\S+) (\\S+):(\\d+) (.+): (.*)$"));
    const auto match = pattern.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QVERIFY(QDateTime::fromString(match.captured(1), Qt::ISODateWithMs).isValid());
    QCOMPARE(match.captured(2), QStringLiteral("warning"));
    QCOMPARE(match.captured(3), QStringLiteral("default"));
    QVERIFY2(match.captured(4).endsWith(QLatin1String("tst_tracermanager.cpp")), qPrintable(match.captured(4)));
    QCOMPARE(match.captured(5).toInt(), line);
    QVERIFY2(match.captured(6).contains(QLatin1String("TestTracerManager::lineFormat")), qPrintable(match.captured(6)));
    QCOMPARE(match.captured(7), QStringLiteral("value 42"));
}

void TestTracerManager::categoryOfTheLine()
{
    const QString path = m_dir.filePath(QStringLiteral("category.log"));
    QVERIFY(TracerManager::registerFileLogger(path, QStringLiteral("debug"), false, false, false));
    qCWarning(testCategory) << "categorised";
    TracerManager::unregister();
    QVERIFY2(readAll(path).contains(" warning env.test "), readAll(path).constData());
}

void TestTracerManager::levelFilter_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QStringList>("passing");

    QTest::newRow("error") << "error" << QStringList{"critical-probe"};
    QTest::newRow("ERROR in capitals") << "ERROR" << QStringList{"critical-probe"};
    QTest::newRow("warning") << "warning" << QStringList{"warning-probe", "critical-probe"};
    QTest::newRow("Info mixed case") << "Info" << QStringList{"info-probe", "warning-probe", "critical-probe"};
    QTest::newRow("debug") << "debug" << allProbes;
    QTest::newRow("DEBUG as the console gets it") << "DEBUG" << allProbes;
    QTest::newRow("unknown level lets everything through") << "verbose" << allProbes;
    QTest::newRow("empty level lets everything through") << "" << allProbes;
}

void TestTracerManager::levelFilter()
{
    QFETCH(QString, level);
    QFETCH(QStringList, passing);

    const QString path = m_dir.filePath(QStringLiteral("level.log"));
    QVERIFY(TracerManager::registerFileLogger(path, level, false, false, false));
    emitProbes();
    TracerManager::unregister();

    const QByteArray log = readAll(path);
    for (QString const &probe : allProbes)
        QVERIFY2(log.contains(probe.toLatin1()) == passing.contains(probe), qPrintable(probe));
}

void TestTracerManager::registeringAgainReplaces()
{
    const QString first = m_dir.filePath(QStringLiteral("first.log"));
    const QString second = m_dir.filePath(QStringLiteral("second.log"));
    QVERIFY(TracerManager::registerFileLogger(first, QStringLiteral("debug"), false, false, false));
    qInfo("to the first");
    QVERIFY(TracerManager::registerFileLogger(second, QStringLiteral("error"), false, false, false));
    qInfo("filtered by the second");
    qCritical("to the second");
    TracerManager::unregister();

    const QByteArray a = readAll(first);
    const QByteArray b = readAll(second);
    QVERIFY(a.contains("to the first"));
    QVERIFY(!a.contains("to the second"));
    QVERIFY(b.contains("to the second"));
    QVERIFY(!b.contains("filtered by the second"));
    QVERIFY(!b.contains("to the first"));
}

void TestTracerManager::failedRegistrationKeepsLogger()
{
    const QString good = m_dir.filePath(QStringLiteral("kept.log"));
    QVERIFY(TracerManager::registerFileLogger(good, QStringLiteral("debug"), false, false, false));
    QVERIFY(!TracerManager::registerFileLogger(
        m_dir.filePath(QStringLiteral("missing/folder/x.log")), QStringLiteral("debug"), false, false, false));
    qInfo("still here");
    TracerManager::unregister();
    QVERIFY(readAll(good).contains("still here"));
}

void TestTracerManager::appendOrTruncate_data()
{
    QTest::addColumn<bool>("append");
    QTest::newRow("append") << true;
    QTest::newRow("truncate") << false;
}

void TestTracerManager::appendOrTruncate()
{
    QFETCH(bool, append);
    const QString path = m_dir.filePath(QStringLiteral("append.log"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("earlier run\n");
    file.close();

    QVERIFY(TracerManager::registerFileLogger(path, QStringLiteral("debug"), true, true, append));
    qInfo("this run");
    TracerManager::unregister();
    const QByteArray log = readAll(path);
    QCOMPARE(log.contains("earlier run"), append);
    QVERIFY(log.contains("this run"));
}

void TestTracerManager::consoleLogger()
{
    const QString captured = m_dir.filePath(QStringLiteral("stderr.txt"));
    {
        StderrToFile redirect(captured);
        QVERIFY(TracerManager::registerConsoleLogger(QStringLiteral("warning"), false, true, false));
        qInfo("console-info");
        qWarning("console-warning");
        TracerManager::unregister();
    }
    const QByteArray console = readAll(captured);
    QVERIFY2(console.contains(" warning default "), console.constData());
    QVERIFY(console.contains("console-warning"));
    QVERIFY(!console.contains("console-info"));
}

QTEST_GUILESS_MAIN(TestTracerManager)
#include "tst_tracermanager.moc"
