#include "environment.h"
#include "messagecapture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

class TestLocales : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fireAlarmSystemsLocales();
    void countryCode_data();
    void countryCode();
    void codePage_data();
    void codePage();
    void setLanguageOnlyRecords();

    void loadTranslator_data();
    void loadTranslator();
    void loadTranslatorEmptyNameMeansEnUs();
    void secondSwitchLeavesOneTranslator();
    void failedSwitch();
    void translatedLogLabel_data();
    void translatedLogLabel();
    void labelsVisibleToLupdate();

private:
    static QString translated(char const *label) { return QCoreApplication::translate("Environment", label); }

    QTemporaryDir m_root;
    Environment *m_env = nullptr;
};

void TestLocales::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkdir(QStringLiteral("translations")));
    const QDir qm(QStringLiteral(ENV_TEST_QM_DIR));
    const QStringList files = qm.entryList({QStringLiteral("*.qm")}, QDir::Files);
    QCOMPARE(files.size(), 3);
    for (QString const &file : files)
        QVERIFY(QFile::copy(qm.filePath(file), m_root.filePath(QStringLiteral("translations/") + file)));
}

void TestLocales::init()
{
    // Dropping the singleton drops its translator, which leaves the application.
    Environment::m_instance.reset();
    m_env = Environment::instance();
    m_env->setRootAppPath(m_root.path());
    m_env->setSetting(LANG, QStringLiteral("en_US"));
    QCOMPARE(translated("log file"), QStringLiteral("log file"));
}

void TestLocales::cleanup()
{
    Environment::m_instance.reset();
    m_env = nullptr;
}

void TestLocales::fireAlarmSystemsLocales()
{
    const QVector<QLocale> list = m_env->getFireAlarmSystemsLocalesList();
    QCOMPARE(list.size(), 12);
    QCOMPARE(list.first().name(), QStringLiteral("it_IT"));
    QCOMPARE(list.mid(1), m_env->getSupportedLocales());
    // The supported list itself is not extended by the call.
    QCOMPARE(m_env->getSupportedLocales().size(), 11);
}

void TestLocales::countryCode_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "DE";
    QTest::newRow("Polish") << QLocale(QLocale::Polish, QLocale::Poland) << "PL";
    QTest::newRow("Bosnian country of a Serbian locale")
        << QLocale(QLocale::Serbian, QLocale::CyrillicScript, QLocale::BosniaAndHerzegowina) << "BA";
    QTest::newRow("C locale has no underscore") << QLocale::c() << "";
}

void TestLocales::countryCode()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);
    QCOMPARE(m_env->countryCode(locale), expected);
}

void TestLocales::codePage_data()
{
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("expected");

    QTest::newRow("Italian") << int(QLocale::Italian) << 1;
    QTest::newRow("Spanish") << int(QLocale::Spanish) << 1;
    QTest::newRow("Polish") << int(QLocale::Polish) << 0;
}

void TestLocales::codePage()
{
    QFETCH(int, language);
    QFETCH(int, expected);
    QCOMPARE(m_env->getCodePage(static_cast<QLocale::Language>(language)), expected);
}

void TestLocales::setLanguageOnlyRecords()
{
    m_env->setLanguage(QLocale(QLocale::German, QLocale::Germany));
    const QVariant lang = m_env->getSetting(LANG, QVariant::String);
    QCOMPARE(lang.type(), QVariant::String);
    QCOMPARE(lang.toString(), QStringLiteral("de_DE"));
    QCOMPARE(translated("log file"), QStringLiteral("log file"));
}

void TestLocales::loadTranslator_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("exact file") << "de_DE"
                                << "Protokolldatei";
    QTest::newRow("language file serves its country") << "pt_PT"
                                                      << "ficheiro de registo";
    QTest::newRow("language file serves a bare language") << "pt"
                                                          << "ficheiro de registo";
    QTest::newRow("no file") << "hu_HU" << QString();
    QTest::newRow("no fallback across languages") << "de_AT" << QString();
}

void TestLocales::loadTranslator()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);

    MessageCapture capture;
    const QSharedPointer<QTranslator> translator = m_env->loadTranslator(name);
    if (expected.isEmpty()) {
        QVERIFY(translator.isNull());
        QCOMPARE(capture.count(QtCriticalMsg, QStringLiteral("Cannot load translator:")), 1);
        const QString text = capture.entries().first().message;
        QVERIFY2(text.contains(QStringLiteral("vardostudio_") + name + QStringLiteral(", translation path: ")
                     + m_root.path() + QStringLiteral("/translations")),
            qPrintable(text));
        return;
    }
    QVERIFY(!translator.isNull());
    QCOMPARE(translator->translate("Environment", "log file"), expected);
    QCOMPARE(capture.entries().size(), 0);
    // Loading installs nothing.
    QCOMPARE(translated("log file"), QStringLiteral("log file"));
}

void TestLocales::loadTranslatorEmptyNameMeansEnUs()
{
    MessageCapture capture;
    QVERIFY(m_env->loadTranslator(QString()).isNull());
    QCOMPARE(capture.count(QtCriticalMsg, QStringLiteral("Cannot load translator:")), 1);
    QVERIFY(capture.entries().first().message.contains(QStringLiteral("vardostudio_en_US,")));

    QFile::copy(QStringLiteral(ENV_TEST_QM_DIR "/vardostudio_pl_PL.qm"),
        m_root.filePath(QStringLiteral("translations/vardostudio_en_US.qm")));
    const QSharedPointer<QTranslator> translator = m_env->loadTranslator(QString());
    QFile::remove(m_root.filePath(QStringLiteral("translations/vardostudio_en_US.qm")));
    QVERIFY(!translator.isNull());
    QCOMPARE(translator->translate("Environment", "log file"), QStringLiteral("plik dziennika"));
}

void TestLocales::secondSwitchLeavesOneTranslator()
{
    {
        MessageCapture capture;
        QVERIFY(m_env->switchLanguage(QLocale(QLocale::German, QLocale::Germany)));
        QCOMPARE(capture.count(QtInfoMsg, QStringLiteral("Set locale START")), 1);
        QCOMPARE(capture.entries().size(), 2);
        QVERIFY(capture.entries().last().message.startsWith(QStringLiteral("Set locale QLocale(German")));
        QVERIFY(capture.entries().last().message.endsWith(QStringLiteral("OK")));
    }
    QCOMPARE(translated("log file"), QStringLiteral("Protokolldatei"));
    QCOMPARE(m_env->getSetting(LANG, QVariant::String).toString(), QStringLiteral("de_DE"));
    QCOMPARE(translated("csv file"), QStringLiteral("CSV-Datei"));
    QVERIFY(m_env->switchLanguage(QLocale(QLocale::Polish, QLocale::Poland)));
    QCOMPARE(translated("log file"), QStringLiteral("plik dziennika"));
    QCOMPARE(m_env->getSetting(LANG, QVariant::String).toString(), QStringLiteral("pl_PL"));
    // Only the German file has "csv file": had its translator stayed, it would answer.
    QCOMPARE(translated("csv file"), QStringLiteral("csv file"));

    QVERIFY(m_env->switchLanguage(QLocale(QLocale::German, QLocale::Germany)));
    QCOMPARE(translated("log file"), QStringLiteral("Protokolldatei"));
}

void TestLocales::failedSwitch()
{
    QVERIFY(m_env->switchLanguage(QLocale(QLocale::German, QLocale::Germany)));
    QCOMPARE(translated("log file"), QStringLiteral("Protokolldatei"));

    MessageCapture capture;
    QVERIFY(!m_env->switchLanguage(QLocale(QLocale::Hungarian, QLocale::Hungary)));
    QCOMPARE(capture.count(QtCriticalMsg, QStringLiteral("Cannot load translator:")), 2);
    for (MessageCapture::Entry const &m : capture.entries()) {
        if (m.type == QtCriticalMsg)
            QVERIFY2(m.message.contains(QStringLiteral("vardostudio_hu_HU, translation path: ") + m_root.path()
                         + QStringLiteral("/translations")),
                qPrintable(m.message));
    }
    QCOMPARE(m_env->getSetting(LANG, QVariant::String).toString(), QStringLiteral("de_DE"));
    // The German translator went before the load failed: texts are untranslated now.
    QCOMPARE(translated("log file"), QStringLiteral("log file"));

    // A later switch recovers.
    QVERIFY(m_env->switchLanguage(QLocale(QLocale::Polish, QLocale::Poland)));
    QCOMPARE(translated("log file"), QStringLiteral("plik dziennika"));
}

void TestLocales::translatedLogLabel_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("label");

    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "Protokolldatei";
    QTest::newRow("Polish") << QLocale(QLocale::Polish, QLocale::Poland) << "plik dziennika";
}

void TestLocales::translatedLogLabel()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, label);

    QCOMPARE(m_env->getFileExtFilterName(Environment::KORAX_LOG_FILE), QStringLiteral("log file [KORAX] (pu pu0*)"));
    QVERIFY(m_env->switchLanguage(locale));
    QCOMPARE(m_env->getFileExtFilterName(Environment::KORAX_LOG_FILE), label + QStringLiteral(" [KORAX] (pu pu0*)"));
    QCOMPARE(m_env->getFileExtFilterName(Environment::TLK_DIARY_FILE), label + QStringLiteral(" [TESLO] (*.tld)"));
    QCOMPARE(m_env->selectFileExtFilters(Environment::KORAX_LOG_FILE | Environment::TLK_DIARY_FILE),
        QStringList({label + QStringLiteral(" [KORAX] (pu pu0*)"), label + QStringLiteral(" [TESLO] (*.tld)")}));
    // A label the file does not translate stays as it is, pattern included.
    QCOMPARE(m_env->getFileExtFilterName(Environment::ORLA_EXPORT_FILE), QStringLiteral("ORLA export file (*.vor)"));
}

void TestLocales::labelsVisibleToLupdate()
{
    QFile file(QStringLiteral(ENV_TEST_EXTRACTED_TS));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString context;
    QSet<QString> sources;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("source") && context == QLatin1String("Environment"))
            sources.insert(xml.readElementText());
    }
    QVERIFY(!xml.hasError());
    const QSet<QString> expected{"project file", "log file", "alarm log files", "configuration file", "csv file",
        "txt file", "pdf file", "xml file", "table file", "html file", "Excel file", "MIRTA xml file",
        "LibreOffice file", "ORLA export file"};
    QCOMPARE(sources, expected);
}

QTEST_GUILESS_MAIN(TestLocales)
#include "tst_locales.moc"
