#include "environment.h"
#include "messagecapture.h"
#include "productversion_p.h"
#include "productversion_pe_p.h"

#include <QtTest>

using Numbers = QList<int>;

namespace
{

Numbers numbers(AppVersion const &v)
{
    return {v.m_major, v.m_minor, v.m_patch, v.m_rc};
}

QString fixture(QString const &name)
{
    return name.isEmpty() ? name : QDir(QStringLiteral(ENV_TEST_SOURCE_DIR "/fixtures")).filePath(name);
}

QByteArray bytesOf(QString const &name)
{
    QFile file(fixture(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A reader's verdict: the product version, "none" or "no fixed file info" (both
// readers number their outcomes alike).
QString verdict(int outcome, std::array<quint16, 4> const &v)
{
    static char const *const names[] = {nullptr, "none", "no fixed file info"};
    return outcome ? QString::fromLatin1(names[outcome])
                   : QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}

QString verdictOfFile(QString const &path)
{
    const productversion::Result result = productversion::read(path);
    return verdict(int(result.status), result.numbers);
}

// What is read from an image in memory and through a file, which must agree.
QString verdictOf(QByteArray const &image)
{
    QTemporaryFile file;
    if (!file.open() || file.write(image) != image.size() || !file.flush())
        return QStringLiteral("not written");
    const pe::Lookup inMemory = pe::lookupImage(image);
    const QString fromMemory = verdict(int(inMemory.outcome), inMemory.version);
    const QString fromFile = verdictOfFile(file.fileName());
    return fromMemory == fromFile ? fromFile : fromFile + QStringLiteral(" from the file, in memory ") + fromMemory;
}

} // namespace

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
    }

    void appVersion_data()
    {
        QTest::addColumn<QJsonValue>("ver");
        QTest::addColumn<Numbers>("parsed"); // from the text
        QTest::addColumn<QString>("shown");
        QTest::addColumn<Numbers>("fromJson"); // as the "ver" member of a record; 9.9.9.9: left as it was

        const Numbers left{9, 9, 9, 9};
        QTest::newRow("a release shows no rc")
            << QJsonValue("1.2.3.0") << Numbers{1, 2, 3, 0} << "1.2.3" << Numbers{1, 2, 3, 0};
        QTest::newRow("a release candidate")
            << QJsonValue("2.1.0.3") << Numbers{2, 1, 0, 3} << "2.1.0 rc3" << Numbers{2, 1, 0, 3};
        QTest::newRow("one number; a record needs four") << QJsonValue("3") << Numbers{3, 0, 0, 0} << "3.0.0" << left;
        QTest::newRow("non-numbers and empty parts are 0")
            << QJsonValue("x..3.4") << Numbers{0, 0, 3, 4} << "0.0.3 rc4" << Numbers{0, 0, 3, 4};
        QTest::newRow("people's text does not read back")
            << QJsonValue("2.1.0 rc3") << Numbers{2, 1, 0, 0} << "2.1.0" << left;
        QTest::newRow("parts after the fourth ignored, but not in a record")
            << QJsonValue("1.2.3.4.5") << Numbers{1, 2, 3, 4} << "1.2.3 rc4" << left;
        QTest::newRow("hexadecimal is not decimal") << QJsonValue("0x10.2") << Numbers{0, 2, 0, 0} << "0.2.0" << left;
        QTest::newRow("a number is no version text") << QJsonValue(1.2) << Numbers{0, 0, 0, 0} << "0.0.0" << left;
        QTest::newRow("a record without it: the running version")
            << QJsonValue(QJsonValue::Undefined) << Numbers{0, 0, 0, 0} << "0.0.0" << Numbers{7, 7, 7, 7};
    }

    void appVersion()
    {
        QFETCH(QJsonValue, ver);
        QFETCH(Numbers, parsed);
        QFETCH(QString, shown);
        QFETCH(Numbers, fromJson);

        const AppVersion version(ver.toString());
        QCOMPARE(numbers(version), parsed);
        QCOMPARE(version.toString(), shown);
        QCOMPARE(numbers(AppVersion(version.jsonString())), parsed);

        QCoreApplication::setApplicationVersion(QStringLiteral("7.7.7.7"));
        AppVersion held;
        held.setVersion(9, 9, 9, 9);
        QJsonObject record{{QStringLiteral("minVer"), QStringLiteral("1.2.3.4")}};
        if (!ver.isUndefined())
            record.insert(QStringLiteral("ver"), ver);
        held.fromJson(record);
        QCOMPARE(numbers(held), fromJson);
    }

    void fileName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Numbers>("version");

        QTest::newRow("four numbers") << "VardoStudioSetup_1.2.3.4.exe" << Numbers{1, 2, 3, 4};
        QTest::newRow("three numbers, of two digits") << "Setup_10.11.12.exe" << Numbers{10, 11, 12, 0};
        QTest::newRow("an underscore in the folder is not the name's")
            << "C:/my_dir/Setup_3.0.12.0.exe" << Numbers{3, 0, 12, 0};
        QTest::newRow("no underscore") << "Setup.exe" << Numbers{0, 0, 0, 0};
        QTest::newRow("a number without a dot after it is lost") << "_2.1.5" << Numbers{2, 1, 0, 0};
        QTest::newRow("at most four numbers") << "Setup_1.2.3.4.5.6.exe" << Numbers{1, 2, 3, 4};
    }

    void fileName()
    {
        QFETCH(QString, name);
        QFETCH(Numbers, version);
        QCOMPARE(numbers(Environment::instance()->getVersionFromFileName(name)), version);
    }

    void executable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("text");

        // Made by fixtures/make-fixtures.sh; every file version there is 9.9.9.9.
        QTest::newRow("PE32: the product version") << fixture("product32.exe") << "3.0.12.0"
                                                   << "3.0.12 beta";
        QTest::newRow("PE32+: a release candidate") << fixture("product64.exe") << "2.1.0.3"
                                                    << "2.1.0 rc3 beta";
        QTest::newRow("name 1, first of two languages, among other resources")
            << fixture("oddlayout64.exe") << "1.4.2.0"
            << "1.4.2 beta";
        QTest::newRow("resources, none a version") << fixture("noversion32.exe") << "none"
                                                   << "-1.-1.-1 beta";
        QTest::newRow("no resources") << fixture("bare32.exe") << "none"
                                      << "-1.-1.-1 beta";
        QTest::newRow("a version resource without fixed file info: cleared quietly")
            << fixture("nofixed32.exe") << "no fixed file info"
            << "-1.-1.-1 beta";
        QTest::newRow("missing file") << fixture("missing.exe") << "none"
                                      << "-1.-1.-1 beta";
        QTest::newRow("empty path") << ""
                                    << "none"
                                    << "-1.-1.-1 beta";
        QTest::newRow("a folder") << fixture(".") << "none"
                                  << "-1.-1.-1 beta";
        QTest::newRow("an ELF program") << QCoreApplication::applicationFilePath() << "none"
                                        << "-1.-1.-1 beta";
        // A setup program carries its payload after the image: only what is needed is read.
        const QString large = m_dir.filePath(QStringLiteral("VardoStudioSetup_2.1.0.3.exe"));
        QFile::copy(fixture("product64.exe"), large);
        QFile(large).resize(qint64(5) << 30); // sparse where the file system can
        QTest::newRow("5 GiB of payload") << large << "2.1.0.3"
                                          << "2.1.0 rc3 beta";
    }

    void executable()
    {
        QFETCH(QString, path);
        QFETCH(QString, verdict);
        QFETCH(QString, text);

        QCOMPARE(verdictOfFile(path), verdict);
        MessageCapture capture;
        const Numbers cleared{-1, -1, -1, -1};
        const Numbers expected = verdict.at(0).isDigit() ? numbers(AppVersion(verdict)) : cleared;
        QCOMPARE(numbers(Environment::instance()->getProductVersion(path)), expected);
        QCOMPARE(Environment::instance()->getVersionString(path), text);
        // Twice "error in GetFileVersionInfo" for a file without a version resource, and nothing else.
        QCOMPARE(capture.count(QtWarningMsg, QStringLiteral("error in GetFileVersionInfo")), 2 * (verdict == "none"));
        QCOMPARE(capture.entries().size(), 2 * (verdict == "none"));
    }

    void truncated_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("PE32") << "product32.exe";
        QTest::newRow("PE32+") << "product64.exe";
        QTest::newRow("odd layout") << "oddlayout64.exe";
    }

    // Every prefix of a good file: the readers agree, and once the version is
    // lost it does not come back.
    void truncated()
    {
        QFETCH(QString, file);
        const QByteArray whole = bytesOf(file);
        const QString version = verdictOf(whole);
        bool lost = false;
        for (int length = whole.size(); length >= 0; --length) {
            // A copy: bytes past its end are not the rest of the file.
            const QString found = verdictOf(QByteArray(whole.constData(), length));
            QVERIFY2(found == version ? !lost : found == QLatin1String("none"), qPrintable(found));
            lost = lost || found != version;
        }
        QVERIFY(lost);
    }

    void damaged_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("at");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<quint32>("value");
        QTest::addColumn<QString>("verdict");

        for (QString const file : {"product32.exe", "product64.exe"}) {
            const QByteArray image = bytesOf(file);
            const int pe = qFromLittleEndian<qint32>(image.constData() + 0x3c);
            const int optional = pe + 24;
            const int plus = image.at(optional + 1) == 2 ? 16 : 0; // PE32+: 16 bytes more before the directories
            const int section = image.indexOf(QByteArray(".rsrc\0\0\0", 8));
            const int block = image.indexOf(QByteArray(reinterpret_cast<char const *>(u"VS_VERSION_INFO"), 30)) - 6;
            char blockRva[4];
            qToLittleEndian<quint32>(qFromLittleEndian<quint32>(image.constData() + section + 12) + block
                    - qFromLittleEndian<quint32>(image.constData() + section + 20),
                blockRva);
            const int data = image.indexOf(QByteArray(blockRva, 4));
            const auto row = [&](char const *what, int at, int bytes, quint32 value, char const *verdict = "none") {
                QTest::newRow(qPrintable(file + QStringLiteral(": ") + QLatin1String(what)))
                    << file << at << bytes << value << QString::fromLatin1(verdict);
            };
            row("PE header offset past the end", 0x3c, 4, 0xfffffff0);
            row("65535 sections", pe + 6, 2, 0xffff);
            row("optional header too short for the resource directory", pe + 20, 2, 0x60);
            row("unknown optional header magic", optional, 2, 0x107);
            row("only two data directories", optional + 92 + plus, 4, 2);
            row("resource directory in no section", optional + 112 + plus, 4, 0x7ffffff0);
            row("resource section data past the end", section + 20, 4, 0xffffff00);
            row("resource section of 16 bytes: the rest is not in the file", section + 16, 4, 16);
            row("resource section longer than the file: what is there is read", section + 16, 4, 0xffffffff,
                file == QLatin1String("product32.exe") ? "3.0.12.0" : "2.1.0.3");
            row("resource data outside every section", data, 4, 0xffffff00);
            row("resource data of 4 GiB", data + 4, 4, 0xffffffff);
            row("block longer than the resource data", block, 2, 0xffff);
            row("value shorter than a fixed file info", block + 2, 2, 51, "no fixed file info");
            row("key is not VS_VERSION_INFO", block + 6, 2, 'W', "no fixed file info");
            row("fixed file info with a wrong signature", image.indexOf("\xbd\x04\xef\xfe"), 4, 0xfeef04bc,
                "no fixed file info");
        }
    }

    // Offsets pointing outside the file or at the wrong thing: never a read
    // out of bounds, and what the Windows version API would say.
    void damaged()
    {
        QFETCH(QString, file);
        QFETCH(int, at);
        QFETCH(int, bytes);
        QFETCH(quint32, value);
        QFETCH(QString, verdict);
        QByteArray image = bytesOf(file);
        QVERIFY(at > 0 && at + bytes <= image.size());
        if (bytes == 2)
            qToLittleEndian<quint16>(quint16(value), image.data() + at);
        else
            qToLittleEndian<quint32>(value, image.data() + at);
        QCOMPARE(verdictOf(image), verdict);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestVersion)
#include "tst_version.moc"
