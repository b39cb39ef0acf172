#include "progressinitvalues.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>

namespace
{

class Emitter : public QObject
{
    Q_OBJECT
public:
    void send(ProgressInitValues::Type type, QString const &text)
    {
        // The record dies here, right after the emit, as the updater's does.
        ProgressInitValues values(type, text);
        emit progressStatusInfo(values);
    }
    void send(QString const &text, QString const &styleSheet)
    {
        ProgressInitValues values(text, styleSheet, QString());
        emit progressStatusInfo(values);
    }

signals:
    void progressStatusInfo(ProgressInitValues values);
};

class Receiver : public QObject
{
    Q_OBJECT
public slots:
    void take(ProgressInitValues values) { emit taken(values); }
signals:
    void taken(ProgressInitValues values);
};

} // namespace

class TestProgressInitValues : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void queuedSignal_data();
    void queuedSignal();
    void acrossThreads();
};

void TestProgressInitValues::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestProgressInitValues::queuedSignal_data()
{
    QTest::addColumn<bool>("typed");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("styleSheet");

    QTest::newRow("warning line") << true << QStringLiteral("Warning: no connection") << QString();
    QTest::newRow("styled status") << false << QStringLiteral("Version is up to date")
                                   << QStringLiteral("font: bold; color: green");
}

void TestProgressInitValues::queuedSignal()
{
    QFETCH(bool, typed);
    QFETCH(QString, text);
    QFETCH(QString, styleSheet);

    Emitter emitter;
    Receiver receiver;
    connect(&emitter, &Emitter::progressStatusInfo, &receiver, &Receiver::take, Qt::QueuedConnection);
    QSignalSpy spy(&receiver, &Receiver::taken);
    if (typed)
        emitter.send(ProgressInitValues::Type(2), text);
    else
        emitter.send(text, styleSheet);
    QCOMPARE(spy.count(), 0);
    QVERIFY(spy.wait(5000));

    const auto values = spy.at(0).at(0).value<ProgressInitValues>();
    QCOMPARE(values.text(), text);
    QCOMPARE(values.styleSheet(), styleSheet);
    QVERIFY(values.title().isEmpty());
    if (typed)
        QCOMPARE(values.type(), ProgressInitValues::Warning);
    else
        QCOMPARE(values.type(), ProgressInitValues::Plain);
}

void TestProgressInitValues::acrossThreads()
{
    QThread worker;
    Emitter emitter;
    emitter.moveToThread(&worker);
    Receiver receiver;
    connect(&emitter, &Emitter::progressStatusInfo, &receiver, &Receiver::take);
    QSignalSpy spy(&receiver, &Receiver::taken);
    connect(&worker, &QThread::started, &emitter,
        [&emitter] { emitter.send(ProgressInitValues::Warning, QStringLiteral("from the worker")); });
    worker.start();
    QVERIFY(spy.wait(5000));
    worker.quit();
    QVERIFY(worker.wait(5000));
    QCOMPARE(spy.at(0).at(0).value<ProgressInitValues>().text(), QStringLiteral("from the worker"));
}

QTEST_GUILESS_MAIN(TestProgressInitValues)
#include "tst_progressinitvalues.moc"
