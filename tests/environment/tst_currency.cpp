#include "environment.h"

#include <QStandardPaths>
#include <QtTest>

class TestCurrency : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void symbol_data();
    void symbol();
    void allSymbols();
};

void TestCurrency::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestCurrency::symbol_data()
{
    QTest::addColumn<int>("country");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Poland, two-byte letter") << int(QLocale::Poland) << QStringLiteral("zł");
    QTest::newRow("Italy, euro without a supported locale") << int(QLocale::Italy) << QStringLiteral("€");
    QTest::newRow("Georgia, lari") << int(QLocale::Georgia) << QStringLiteral("\u20be");
    QTest::newRow("Czech Republic") << int(QLocale::CzechRepublic) << QStringLiteral("K\u010d");
    QTest::newRow("France is not in the table") << int(QLocale::France) << QString();
    QTest::newRow("any country") << int(QLocale::AnyCountry) << QString();
}

void TestCurrency::symbol()
{
    QFETCH(int, country);
    QFETCH(QString, expected);
    const QString symbol = Environment::instance()->getCurrencySymbol(static_cast<QLocale::Country>(country));
    QCOMPARE(symbol, expected);
    QCOMPARE(symbol.isNull(), expected.isNull());
}

void TestCurrency::allSymbols()
{
    Environment *env = Environment::instance();
    const QSet<QString> symbols = env->getAllCurrencySymbols();
    QVERIFY(symbols.contains(QStringLiteral("\u20ac")));
    QVERIFY(!symbols.contains(QString()));
    // Every supported country has its symbol, and it is among them all.
    for (QLocale const &locale : env->getSupportedLocales()) {
        QVERIFY2(symbols.contains(env->getCurrencySymbol(locale.country())), qPrintable(locale.name()));
        QVERIFY2(!env->getCurrencySymbol(locale.country()).isEmpty(), qPrintable(locale.name()));
    }
}

QTEST_GUILESS_MAIN(TestCurrency)
#include "tst_currency.moc"
