#include "environment.h"
#include "envtesting.h"
#include "messagecapture.h"
#include "productversion_p.h"
#include "productversion_pe_p.h"

#include <QtTest>

static QString fixture(char const *name)
{
    return QStringLiteral(ENV_TEST_SOURCE_DIR "/fixtures/") + QLatin1String(name);
}

// What is read from an image, in memory and through a file alike: the product
// version, "none" or "no fixed file info".
static QString verdictOf(QByteArray const &image)
{
    QTemporaryFile file;
    if (!file.open() || file.write(image) != image.size() || !file.flush())
        return QStringLiteral("not written");
    const pe::Lookup lookup = pe::lookupImage(image);
    const productversion::Result result = productversion::read(file.fileName());
    if (int(lookup.outcome) != int(result.status) || lookup.version != result.numbers)
        return QStringLiteral("the readers disagree");
    const pe::ProductVersion v = lookup.version;
    if (lookup.outcome != pe::Outcome::Found)
        return lookup.outcome == pe::Outcome::NoFixedFileInfo ? "no fixed file info" : "none";
    return QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void appVersion_data()
    {
        QTest::addColumn<QJsonValue>("ver");
        QTest::addColumn<QString>("parsed"); // from the text, in its stored form
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("fromJson"); // as the "ver" of a record that held 9.9.9.9
        const auto row = [](char const *name, QJsonValue ver, char const *parsed, char const *shown, char const *json) {
            QTest::newRow(name) << ver << parsed << shown << json;
        };
        row("a release shows no rc", "1.2.3.0", "1.2.3.0", "1.2.3", "1.2.3.0");
        row("a release candidate", "2.1.0.3", "2.1.0.3", "2.1.0 rc3", "2.1.0.3");
        row("non-numbers and empty parts are 0", "x..3.4", "0.0.3.4", "0.0.3 rc4", "0.0.3.4");
        row("one number; a record needs four", "3", "3.0.0.0", "3.0.0", "9.9.9.9");
        row("parts after the fourth ignored, but not in a record", "1.2.3.4.5", "1.2.3.4", "1.2.3 rc4", "9.9.9.9");
        row("hexadecimal is not decimal", "0x10.2", "0.2.0.0", "0.2.0", "9.9.9.9");
        row("a record without it: the running version", QJsonValue::Undefined, "0.0.0.0", "0.0.0", "7.7.7.7");
    }

    void appVersion()
    {
        QFETCH(QJsonValue, ver);
        QFETCH(QString, parsed);
        QFETCH(QString, shown);
        QFETCH(QString, fromJson);
        const AppVersion version(ver.toString());
        QCOMPARE(version.jsonString(), parsed);
        QCOMPARE(version.toString(), shown);
        // A setup program's name carries the same text.
        const QString name = "C:/my_dir/VardoStudioSetup_" + ver.toString() + ".exe";
        QCOMPARE(Environment::instance()->getVersionFromFileName(name).jsonString(), parsed);
        QCoreApplication::setApplicationVersion(QStringLiteral("7.7.7.7"));
        AppVersion held(QStringLiteral("9.9.9.9"));
        held.fromJson({{"minVer", "1.2.3.4"}, {"ver", ver}}); // an undefined value is no member at all
        QCOMPARE(held.jsonString(), fromJson);
    }

    void executable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("warnings"); // "error in GetFileVersionInfo", and nothing else

        // Made by fixtures/make-fixtures.sh; every file version there is 9.9.9.9.
        QTest::newRow("PE32: the product version") << fixture("product32.exe") << "3.0.12 beta" << 0;
        QTest::newRow("PE32+: a release candidate") << fixture("product64.exe") << "2.1.0 rc3 beta" << 0;
        QTest::newRow("name 1, first of two languages") << fixture("oddlayout64.exe") << "1.4.2 beta" << 0;
        QTest::newRow("resources, none a version") << fixture("noversion32.exe") << "-1.-1.-1 beta" << 1;
        QTest::newRow("no resources") << fixture("bare32.exe") << "-1.-1.-1 beta" << 1;
        QTest::newRow("no fixed file info: cleared quietly") << fixture("nofixed32.exe") << "-1.-1.-1 beta" << 0;
        QTest::newRow("missing file") << fixture("missing.exe") << "-1.-1.-1 beta" << 1;
        QTest::newRow("an ELF program") << QCoreApplication::applicationFilePath() << "-1.-1.-1 beta" << 1;
        // A setup program carries its payload after the image: only what is needed is read.
        const QString large = m_dir.filePath(QStringLiteral("VardoStudioSetup_2.1.0.3.exe"));
        QFile::copy(fixture("product64.exe"), large);
        QFile(large).resize(qint64(5) << 30); // sparse where the file system can
        QTest::newRow("5 GiB of payload") << large << "2.1.0 rc3 beta" << 0;
    }

    void executable()
    {
        QFETCH(QString, path);
        QFETCH(QString, text);
        QFETCH(int, warnings);
        MessageCapture capture;
        QCOMPARE(Environment::instance()->getVersionString(path), text);
        QVERIFY(capture.count(QtWarningMsg, "error in GetFileVersionInfo") == warnings
            && capture.entries().size() == warnings);
    }

    void image_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("at");
        QTest::addColumn<int>("bytes"); // 2 or 4 for a field set to value; 0: the file ends there
        QTest::addColumn<quint32>("value");
        QTest::addColumn<QString>("verdict");

        for (char const *file : {"product32.exe", "product64.exe"}) {
            const QByteArray image = envtest::readAll(fixture(file));
            const bool plus = QByteArray(file).contains("64");
            const char *version = plus ? "2.1.0.3" : "3.0.12.0";
            const auto le32 = [&](int at) { return qFromLittleEndian<quint32>(image.constData() + at); };
            const int pe = int(le32(0x3c));
            const int directories = pe + 24 + (plus ? 108 : 92); // their count, then the entries
            const int section = image.indexOf(QByteArray(".rsrc\0\0\0", 8));
            const int block = image.indexOf(QByteArray(reinterpret_cast<char const *>(u"VS_VERSION_INFO"), 30)) - 6;
            const quint32 blockRva = qToLittleEndian(le32(section + 12) + quint32(block) - le32(section + 20));
            const int data = image.indexOf(QByteArray(reinterpret_cast<char const *>(&blockRva), 4));
            const auto row = [&](char const *what, int at, int bytes, quint32 value, char const *verdict = "none") {
                QTest::newRow(qPrintable(QLatin1String(file) + QStringLiteral(": ") + QLatin1String(what)))
                    << QByteArray(file) << at << bytes << value << QString::fromLatin1(verdict);
            };
            row("as built", image.size(), 0, 0, version);
            row("cut one byte short of the version", block + int(le32(data + 4)) - 1, 0, 0);
            row("cut right after the version", block + int(le32(data + 4)), 0, 0, version);
            row("PE header offset past the end", 0x3c, 4, 0xfffffff0);
            row("65535 sections", pe + 6, 2, 0xffff);
            row("optional header too short for the resource directory", pe + 20, 2, 0x60);
            row("unknown optional header magic", pe + 24, 2, 0x107);
            row("only two data directories", directories, 4, 2);
            row("resource directory in no section", directories + 20, 4, 0x7ffffff0);
            row("resource section of 16 bytes: the rest is not in the file", section + 16, 4, 16);
            row("resource section longer than the file: what is there is read", section + 16, 4, ~0u, version);
            row("resource data outside every section", data, 4, 0xffffff00);
            row("block longer than the resource data", block, 2, 0xffff);
            row("value shorter than a fixed file info", block + 2, 2, 51, "no fixed file info");
            row("key is not VS_VERSION_INFO", block + 6, 2, 'W', "no fixed file info");
            row("fixed file info with a wrong signature", block + 40, 4, 0xfeef04bc, "no fixed file info");
        }
    }

    // A good file cut short or with one field pointing outside it or at the
    // wrong thing: never a read out of bounds (the sanitizer build sees to
    // that), and what the Windows version API would say.
    void image()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, at);
        QFETCH(int, bytes);
        QFETCH(quint32, value);
        QFETCH(QString, verdict);
        QByteArray image = envtest::readAll(fixture(file.constData()));
        const quint32 field = qToLittleEndian(value);
        // Cut to a copy: what lay beyond is not there.
        image = bytes ? image.replace(at, bytes, reinterpret_cast<char const *>(&field), bytes) : image.left(at);
        QCOMPARE(verdictOf(image), verdict);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestVersion)
#include "tst_version.moc"
