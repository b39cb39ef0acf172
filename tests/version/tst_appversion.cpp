#include "environment.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QStandardPaths>
#include <QtTest>

class TestAppVersion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parse_data();
    void parse();
    void clearAndReset();
    void toString_data();
    void toString();
    void toJsonReplacesMember();
    void fromJson_data();
    void fromJson();
};

namespace
{

QList<int> numbers(AppVersion const &v)
{
    return {v.m_major, v.m_minor, v.m_patch, v.m_rc};
}

} // namespace

void TestAppVersion::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestAppVersion::init()
{
    Environment::m_instance.reset();
    QCoreApplication::setApplicationVersion(QString());
}

void TestAppVersion::cleanup()
{
    QCoreApplication::setApplicationVersion(QString());
}

void TestAppVersion::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("one number") << "3" << QList<int>{3, 0, 0, 0};
    QTest::newRow("two numbers") << "3.4" << QList<int>{3, 4, 0, 0};
    QTest::newRow("four numbers") << "2.1.0.3" << QList<int>{2, 1, 0, 3};
    QTest::newRow("parts after the fourth ignored") << "1.2.3.4.5" << QList<int>{1, 2, 3, 4};
    QTest::newRow("empty text is reset, not cleared") << "" << QList<int>{0, 0, 0, 0};
    QTest::newRow("non-number part gives 0") << "a.2" << QList<int>{0, 2, 0, 0};
    QTest::newRow("empty parts give 0") << "1..3" << QList<int>{1, 0, 3, 0};
    QTest::newRow("negative numbers kept") << "-1.-2.3.4" << QList<int>{-1, -2, 3, 4};
    QTest::newRow("hexadecimal is not decimal") << "0x10.2" << QList<int>{0, 2, 0, 0};
    QTest::newRow("people's text does not parse back") << "2.1.0 rc3" << QList<int>{2, 1, 0, 0};
    QTest::newRow("beyond 16 bits") << "70000.1.2.3" << QList<int>{70000, 1, 2, 3};
    QTest::newRow("beyond 32 bits gives 0") << "4294967296.1" << QList<int>{0, 1, 0, 0};
}

void TestAppVersion::parse()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, expected);

    const AppVersion v(text);
    QCOMPARE(v.m_name, QStringLiteral("ver"));
    QCOMPARE(numbers(v), expected);
}

void TestAppVersion::clearAndReset()
{
    QCOMPARE(AppVersion().m_name, QStringLiteral("ver"));
    QCOMPARE(numbers(AppVersion()), QList<int>({-1, -1, -1, -1}));
    AppVersion v(QStringLiteral("1.2.3.4"));
    v.m_name = QStringLiteral("other");
    v.clear();
    QCOMPARE(numbers(v), QList<int>({-1, -1, -1, -1}));
    QCOMPARE(v.jsonString(), QStringLiteral("-1.-1.-1.-1"));
    v.reset();
    QCOMPARE(numbers(v), QList<int>({0, 0, 0, 0}));
    QCOMPARE(v.m_name, QStringLiteral("other"));
    v.setVersion(5, 6, 7, 8);
    QCOMPARE(numbers(v), QList<int>({5, 6, 7, 8}));
}

void TestAppVersion::toString_data()
{
    QTest::addColumn<QList<int>>("version");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("json");

    QTest::newRow("final release: json keeps its 0") << QList<int>{1, 2, 3, 0} << "1.2.3"
                                                     << "1.2.3.0";
    QTest::newRow("release candidate") << QList<int>{1, 2, 3, 4} << "1.2.3 rc4"
                                       << "1.2.3.4";
    QTest::newRow("negative rc is not printed") << QList<int>{1, 2, 3, -5} << "1.2.3"
                                                << "1.2.3.-5";
    QTest::newRow("cleared") << QList<int>{-1, -1, -1, -1} << "-1.-1.-1"
                             << "-1.-1.-1.-1";
}

void TestAppVersion::toString()
{
    QFETCH(QList<int>, version);
    QFETCH(QString, expected);
    QFETCH(QString, json);

    AppVersion v;
    v.setVersion(version[0], version[1], version[2], version[3]);
    QCOMPARE(v.toString(), expected);
    QCOMPARE(v.jsonString(), json);
    // The json form reads back.
    QCOMPARE(numbers(AppVersion(json)), version);
}

void TestAppVersion::toJsonReplacesMember()
{
    AppVersion v(QStringLiteral("1.2.3.4"));
    v.m_name = QStringLiteral("minVer");
    QJsonObject held{{QStringLiteral("minVer"), QJsonArray{1, 2}}, {QStringLiteral("md5"), QStringLiteral("x")}};
    v.toJson(held);
    QCOMPARE(held,
        QJsonObject(
            {{QStringLiteral("minVer"), QStringLiteral("1.2.3.4")}, {QStringLiteral("md5"), QStringLiteral("x")}}));
}

void TestAppVersion::fromJson_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QList<int>>("expected");

    const QList<int> before{9, 9, 9, 9};
    QTest::newRow("four parts") << QJsonValue(QStringLiteral("1.2.3.4")) << QList<int>{1, 2, 3, 4};
    QTest::newRow("non-number part gives 0") << QJsonValue(QStringLiteral("1.x.3.4")) << QList<int>{1, 0, 3, 4};
    QTest::newRow("four empty parts give 0") << QJsonValue(QStringLiteral("...")) << QList<int>{0, 0, 0, 0};
    QTest::newRow("three parts leave it") << QJsonValue(QStringLiteral("1.2.3")) << before;
    QTest::newRow("five parts leave it") << QJsonValue(QStringLiteral("1.2.3.4.5")) << before;
    QTest::newRow("people's text leaves it") << QJsonValue(QStringLiteral("1.2.3 rc4")) << before;
    QTest::newRow("number leaves it") << QJsonValue(1.2) << before;
    QTest::newRow("null is present, not missing") << QJsonValue(QJsonValue::Null) << before;
    QTest::newRow("array leaves it") << QJsonValue(QJsonArray{1, 2, 3, 4}) << before;
    QTest::newRow("no member takes the running version") << QJsonValue(QJsonValue::Undefined) << QList<int>{7, 7, 7, 7};
}

void TestAppVersion::fromJson()
{
    QFETCH(QJsonValue, value);
    QFETCH(QList<int>, expected);

    // A running version that differs from every row shows a wrong fallback.
    QCoreApplication::setApplicationVersion(QStringLiteral("7.7.7.7"));
    AppVersion v;
    v.setVersion(9, 9, 9, 9);
    QJsonObject json{{QStringLiteral("minVer"), QStringLiteral("1.2.3.4")}};
    if (!value.isUndefined())
        json.insert(QStringLiteral("ver"), value);
    v.fromJson(json);
    QCOMPARE(numbers(v), expected);
    QCOMPARE(v.m_name, QStringLiteral("ver"));
}

QTEST_GUILESS_MAIN(TestAppVersion)
#include "tst_appversion.moc"
