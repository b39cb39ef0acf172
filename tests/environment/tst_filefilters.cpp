#include "environment.h"

#include <QStandardPaths>
#include <QtTest>

class TestFileFilters : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void filterName_data();
    void filterName();
    void select_data();
    void select();
};

void TestFileFilters::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestFileFilters::filterName_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");

    QTest::newRow("JSON project shares the label") << int(Environment::JSON_PROJ_FILE) << "project file (*.json)";
    QTest::newRow("KORAX log: bare names") << int(Environment::KORAX_LOG_FILE) << "log file [KORAX] (pu pu0*)";
    QTest::newRow("two bits") << 0x3 << "";
    QTest::newRow("no bit") << 0 << "";
    QTest::newRow("unused bit 0x20000") << 0x20000 << "";
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
