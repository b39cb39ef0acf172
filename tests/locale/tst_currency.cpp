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
    void supportedCountriesHaveSymbols();
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
    const QSet<QString> symbols = Environment::instance()->getAllCurrencySymbols();
    QCOMPARE(symbols.size(), 12);
    QVERIFY(symbols.contains(QStringLiteral("\u20ac")));
    QVERIFY(symbols.contains(QStringLiteral("z\u0142")));
    QVERIFY(!symbols.contains(QString()));
}

void TestCurrency::supportedCountriesHaveSymbols()
{
    Environment *env = Environment::instance();
    QSet<QLocale::Country> supported;
    for (QLocale const &locale : env->getSupportedLocales()) {
        supported.insert(locale.country());
        QVERIFY2(!env->getCurrencySymbol(locale.country()).isEmpty(), qPrintable(locale.name()));
    }
    for (QLocale::Country c : {QLocale::Italy, QLocale::Latvia, QLocale::Estonia, QLocale::Russia, QLocale::Serbia,
             QLocale::BosniaAndHerzegowina, QLocale::Georgia}) {
        QVERIFY(!supported.contains(c));
        QVERIFY(!env->getCurrencySymbol(c).isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestCurrency)
#include "tst_currency.moc"
