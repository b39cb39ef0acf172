#include "environment.h"

#include <QStandardPaths>
#include <QtTest>

class TestFileFilters : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void extensions();
    void filterName_data();
    void filterName();
    void select_data();
    void select();
};

void TestFileFilters::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestFileFilters::extensions()
{
    const QStringList dotted{Environment::PROJ_EXT, Environment::PROJ_GRAPH_EXT, Environment::PROJ_SETTINGS_EXT,
        Environment::JSON_EXT, Environment::ORLA_EXPORT_EXT, Environment::KRX_EXT, Environment::KRX_CHUNK_EXT,
        Environment::CSV_EXT, Environment::TXT_EXT, Environment::PDF_EXT, Environment::HTML_EXT, Environment::XML_EXT,
        Environment::TABLE_EXT, Environment::EXCEL_EXT, Environment::LIBRECALC_EXT, Environment::PRICE_LIST_EXT,
        Environment::TLK_DIARY_EXT};
    for (QString const &ext : dotted)
        QVERIFY2(ext.startsWith(QLatin1Char('.')) && ext.size() > 1, qPrintable(ext));
    QCOMPARE(Environment::PROJ_DEFAULT_SUFIX, QStringLiteral("_def.vsp"));
}

void TestFileFilters::filterName_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");

    QTest::newRow("project") << int(Environment::PROJ_FILE) << "project file (*.vsp)";
    QTest::newRow("JSON project shares the label") << int(Environment::JSON_PROJ_FILE) << "project file (*.json)";
    QTest::newRow("KORAX log: bare names") << int(Environment::KORAX_LOG_FILE) << "log file [KORAX] (pu pu0*)";
    QTest::newRow("KORAX alarm log") << int(Environment::KORAX_ALARM_LOG_FILE) << "alarm log files [KORAX] (pa pa0*)";
    QTest::newRow("KRX configuration") << int(Environment::KRX_CONFIG_FILE) << "configuration file (*.krx)";
    QTest::newRow("csv") << int(Environment::CSV_FILE) << "csv file (*.csv)";
    QTest::newRow("txt") << int(Environment::TXT_FILE) << "txt file (*.txt)";
    QTest::newRow("pdf") << int(Environment::PDF_FILE) << "pdf file (*.pdf)";
    QTest::newRow("xml") << int(Environment::XML_FILE) << "xml file (*.xml)";
    QTest::newRow("table") << int(Environment::TABLE_FILE) << "table file (*.vstab)";
    QTest::newRow("html") << int(Environment::HTML_FILE) << "html file (*.html)";
    QTest::newRow("Excel") << int(Environment::EXCEL_FILE) << "Excel file (*.xlsx)";
    QTest::newRow("MIRTA xml") << int(Environment::MIRTA_XML_FILE) << "MIRTA xml file (*.xml)";
    QTest::newRow("TESLO log") << int(Environment::TLK_DIARY_FILE) << "log file [TESLO] (*.tld)";
    QTest::newRow("LibreOffice") << int(Environment::LIBRECALC_FILE) << "LibreOffice file (*.ods)";
    QTest::newRow("ORLA export") << int(Environment::ORLA_EXPORT_FILE) << "ORLA export file (*.vor)";
    QTest::newRow("two bits") << 0x3 << "";
    QTest::newRow("no bit") << 0 << "";
    QTest::newRow("unused bit 0x1000") << 0x1000 << "";
    QTest::newRow("unused bit 0x8000") << 0x8000 << "";
    QTest::newRow("unused bit 0x20000") << 0x20000 << "";
    QTest::newRow("negative") << -1 << "";
}

void TestFileFilters::filterName()
{
    QFETCH(int, type);
    QFETCH(QString, expected);
    QCOMPARE(Environment::instance()->getFileExtFilterName(static_cast<Environment::FileType>(type)), expected);
}

void TestFileFilters::select_data()
{
    QTest::addColumn<int>("types");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty set") << 0 << QStringList();
    QTest::newRow("project and JSON project") << 0x3 << QStringList{"project file (*.vsp)", "project file (*.json)"};
    QTest::newRow("fixed order, not the caller's")
        << int(Environment::XML_FILE | Environment::CSV_FILE | Environment::PROJ_FILE)
        << QStringList{"project file (*.vsp)", "csv file (*.csv)", "xml file (*.xml)"};
    QTest::newRow("PDF alone is left out") << int(Environment::PDF_FILE) << QStringList();
    QTest::newRow("PDF and txt give txt only")
        << int(Environment::PDF_FILE | Environment::TXT_FILE) << QStringList{"txt file (*.txt)"};
    QTest::newRow("table, HTML, Excel, LibreOffice left out")
        << int(Environment::TABLE_FILE | Environment::HTML_FILE | Environment::EXCEL_FILE | Environment::LIBRECALC_FILE)
        << QStringList();
    QTest::newRow("unused bits add nothing") << (0x1000 | 0x8000 | 0x20000 | 0x40) << QStringList{"txt file (*.txt)"};
    QTest::newRow("every bit") << -1
                               << QStringList{"project file (*.vsp)", "project file (*.json)",
                                      "log file [KORAX] (pu pu0*)", "alarm log files [KORAX] (pa pa0*)",
                                      "configuration file (*.krx)", "csv file (*.csv)", "txt file (*.txt)",
                                      "xml file (*.xml)", "MIRTA xml file (*.xml)", "log file [TESLO] (*.tld)",
                                      "ORLA export file (*.vor)"};
}

void TestFileFilters::select()
{
    QFETCH(int, types);
    QFETCH(QStringList, expected);
    QCOMPARE(Environment::instance()->selectFileExtFilters(QFlags<Environment::FileType>(types)), expected);
}

QTEST_GUILESS_MAIN(TestFileFilters)
#include "tst_filefilters.moc"
