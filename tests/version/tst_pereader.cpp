#include "productversion_p.h"
#include "productversion_pe_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using productversion::Status;

Q_DECLARE_METATYPE(productversion::Status)
Q_DECLARE_METATYPE(pe::ProductVersion)

namespace
{

QString fixture(QString const &name)
{
    return QStringLiteral(ENV_TEST_SOURCE_DIR "/fixtures/") + name;
}

QByteArray fixtureBytes(QString const &name)
{
    QFile file(fixture(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

quint32 get32(QByteArray const &image, quint64 offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(image.at(int(offset) + i));
    return value;
}

quint16 get16(QByteArray const &image, quint64 offset)
{
    return quint16(quint8(image.at(int(offset))) | (quint8(image.at(int(offset) + 1)) << 8));
}

void put32(QByteArray &image, quint64 offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        image[int(offset) + i] = char((value >> (8 * i)) & 0xff);
}

void put16(QByteArray &image, quint64 offset, quint16 value)
{
    image[int(offset)] = char(value & 0xff);
    image[int(offset) + 1] = char(value >> 8);
}

// Where the fields of a known-good fixture are, so that a test can damage one.
enum class Field {
    PeOffset,
    SectionCount,
    OptionalHeaderSize,
    Magic,
    DirectoryCount,
    ResourceRva,
    ResourceRawOffset,
    ResourceRawSize,
    RootIdCount,
    TypeEntryTarget,
    NameEntryTarget,
    LanguageEntryTarget,
    DataEntryRva,
    DataEntrySize,
    BlockLength,
    BlockValueLength,
    BlockKey,
    Signature,
};

struct Layout {
    QMap<Field, quint64> at;
    QMap<Field, quint32> directoryOf; // for entries: offset of the directory holding them
};

// A plain walk of a fixture that is known to be well-formed.
Layout layoutOf(QByteArray const &image)
{
    Layout layout;
    quint64 const pe = get32(image, 0x3c);
    quint64 const coff = pe + 4;
    quint64 const optional = coff + 20;
    bool const plus = get16(image, optional) == 0x20b;
    quint64 const directories = optional + (plus ? 112 : 96);
    layout.at[Field::PeOffset] = 0x3c;
    layout.at[Field::SectionCount] = coff + 2;
    layout.at[Field::OptionalHeaderSize] = coff + 16;
    layout.at[Field::Magic] = optional;
    layout.at[Field::DirectoryCount] = optional + (plus ? 108 : 92);
    layout.at[Field::ResourceRva] = directories + 16;
    quint32 const resourceRva = get32(image, directories + 16);

    quint64 const sections = optional + get16(image, coff + 16);
    quint64 rsrcRaw = 0;
    for (int i = 0; i < get16(image, coff + 2); ++i) {
        quint64 const header = sections + quint64(i) * 40;
        if (get32(image, header + 12) == resourceRva) {
            layout.at[Field::ResourceRawSize] = header + 16;
            layout.at[Field::ResourceRawOffset] = header + 20;
            rsrcRaw = get32(image, header + 20);
        }
    }
    auto entryById = [&](quint32 directory, quint32 id) {
        quint64 const base = rsrcRaw + directory;
        int const named = get16(image, base + 12);
        int const ids = get16(image, base + 14);
        for (int i = named; i < named + ids; ++i) {
            quint64 const entry = base + 16 + quint64(i) * 8;
            if (get32(image, entry) == id)
                return entry;
        }
        qFatal("fixture without resource %u", id);
        return quint64(0);
    };
    layout.at[Field::RootIdCount] = rsrcRaw + 14;
    quint64 const typeEntry = entryById(0, 16);
    layout.at[Field::TypeEntryTarget] = typeEntry + 4;
    layout.directoryOf[Field::TypeEntryTarget] = 0;
    quint32 const names = get32(image, typeEntry + 4) & 0x7fffffff;
    quint64 const nameEntry = entryById(names, 1);
    layout.at[Field::NameEntryTarget] = nameEntry + 4;
    layout.directoryOf[Field::NameEntryTarget] = names;
    quint32 const languages = get32(image, nameEntry + 4) & 0x7fffffff;
    quint64 const languageEntry = rsrcRaw + languages + 16;
    layout.at[Field::LanguageEntryTarget] = languageEntry + 4;
    layout.directoryOf[Field::LanguageEntryTarget] = languages;
    quint64 const dataEntry = rsrcRaw + get32(image, languageEntry + 4);
    layout.at[Field::DataEntryRva] = dataEntry;
    layout.at[Field::DataEntrySize] = dataEntry + 4;
    quint64 const block = rsrcRaw + (get32(image, dataEntry) - resourceRva);
    layout.at[Field::BlockLength] = block;
    layout.at[Field::BlockValueLength] = block + 2;
    layout.at[Field::BlockKey] = block + 6;
    layout.at[Field::Signature] = block + 40;
    return layout;
}

// A file in dir holding bytes; empty if it cannot be written.
QString writeFile(QTemporaryDir const &dir, QString const &name, QByteArray const &bytes)
{
    QString const path = dir.filePath(name);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
}

} // namespace

Q_DECLARE_METATYPE(Field)

class TestPeReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void fixtures_data();
    void fixtures();

    void notVersioned_data();
    void notVersioned();

    void truncatedAtEveryOffset_data();
    void truncatedAtEveryOffset();

    void damaged_data();
    void damaged();

    void randomDamage_data();
    void randomDamage();

    void largeFileReadsOnlyWhatItNeeds();
};

void TestPeReader::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestPeReader::fixtures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<Status>("status");
    QTest::addColumn<pe::ProductVersion>("expected");

    QTest::newRow("PE32: product version 3.0.12.0, not the file version 9.9.9.9")
        << "product32.exe" << Status::Ok << pe::ProductVersion{3, 0, 12, 0};
    QTest::newRow("PE32+: product version 2.1.0.3, not the file version 9.9.9.9")
        << "product64.exe" << Status::Ok << pe::ProductVersion{2, 1, 0, 3};
    QTest::newRow("name 1 chosen over a named version resource, first of two languages, among other resources")
        << "oddlayout64.exe" << Status::Ok << pe::ProductVersion{1, 4, 2, 0};
    QTest::newRow("resources but none of type RT_VERSION")
        << "noversion32.exe" << Status::NoVersionInfo << pe::ProductVersion{};
    QTest::newRow("no resource section at all") << "bare32.exe" << Status::NoVersionInfo << pe::ProductVersion{};
    QTest::newRow("version resource without a fixed file info")
        << "nofixed32.exe" << Status::NoFixedFileInfo << pe::ProductVersion{};
}

void TestPeReader::fixtures()
{
    QFETCH(QString, file);
    QFETCH(Status, status);
    QFETCH(pe::ProductVersion, expected);

    productversion::Result const result = productversion::read(fixture(file));
    QCOMPARE(result.status, status);
    if (status == Status::Ok)
        QCOMPARE(result.numbers, expected);

    // The file reader and the in-memory reader agree.
    std::optional<pe::ProductVersion> const fromFile = pe::productVersionFromFile(fixture(file));
    std::optional<pe::ProductVersion> const fromImage = pe::productVersionFromImage(fixtureBytes(file));
    QCOMPARE(fromFile.has_value(), status == Status::Ok);
    QCOMPARE(fromImage.has_value(), status == Status::Ok);
    if (fromFile) {
        QCOMPARE(*fromFile, expected);
        QCOMPARE(*fromImage, expected);
    }
}

void TestPeReader::notVersioned_data()
{
    QTest::addColumn<QString>("name"); // a path of its own when content is null
    QTest::addColumn<QByteArray>("content");

    QByteArray dosOnly(128, '\0');
    dosOnly[0] = 'M';
    dosOnly[1] = 'Z';
    dosOnly[0x3c] = 0x40; // e_lfanew to bytes that are not "PE\0\0"
    QByteArray peTooShort = dosOnly;
    peTooShort.truncate(0x40);
    peTooShort.append("PE\0\0", 4);

    QTest::newRow("empty file") << "empty.exe" << QByteArray("");
    QTest::newRow("text") << "readme.txt" << QByteArray("MZ is how it starts, but this is only text.\n");
    QTest::newRow("two bytes MZ") << "mz.exe" << QByteArray("MZ");
    QTest::newRow("DOS header without a PE header") << "dos.exe" << dosOnly;
    QTest::newRow("PE signature and nothing after it") << "short.exe" << peTooShort;
    QTest::newRow("missing file") << QCoreApplication::applicationDirPath() + QStringLiteral("/no such file.exe")
                                  << QByteArray();
    QTest::newRow("empty path") << QString() << QByteArray();
    QTest::newRow("a folder") << QCoreApplication::applicationDirPath() << QByteArray();
    QTest::newRow("an ELF executable (this test)") << QCoreApplication::applicationFilePath() << QByteArray();
}

void TestPeReader::notVersioned()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = name;
    if (!content.isNull()) {
        path = writeFile(dir, name, content);
        QVERIFY(!path.isEmpty());
        QVERIFY(!pe::productVersionFromImage(content));
    }
    QCOMPARE(productversion::read(path).status, Status::NoVersionInfo);
    QVERIFY(!pe::productVersionFromFile(path));
}

void TestPeReader::truncatedAtEveryOffset_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<pe::ProductVersion>("expected");

    QTest::newRow("PE32") << "product32.exe" << pe::ProductVersion{3, 0, 12, 0};
    QTest::newRow("PE32+") << "product64.exe" << pe::ProductVersion{2, 1, 0, 3};
    QTest::newRow("odd layout") << "oddlayout64.exe" << pe::ProductVersion{1, 4, 2, 0};
}

// Every prefix of a good file: no crash, no read past the end (the sanitizer
// build sees to that), and a version only once all of its bytes are there.
void TestPeReader::truncatedAtEveryOffset()
{
    QFETCH(QString, file);
    QFETCH(pe::ProductVersion, expected);

    QByteArray const whole = fixtureBytes(file);
    Layout const layout = layoutOf(whole);
    // dwProductVersionLS is the last field read: it ends 24 bytes after the signature.
    int const needed = int(layout.at[Field::Signature]) + 24;

    int firstFound = -1;
    for (int length = 0; length <= whole.size(); ++length) {
        // A deep copy: a prefix sharing the buffer would hide reads past its end.
        QByteArray const prefix(whole.constData(), length);
        std::optional<pe::ProductVersion> const found = pe::productVersionFromImage(prefix);
        if (found) {
            QCOMPARE(*found, expected);
            if (firstFound < 0)
                firstFound = length;
        } else {
            QVERIFY2(firstFound < 0, qPrintable(QStringLiteral("lost again at %1").arg(length)));
        }
    }

    // The same through a file, cut shorter step by step.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString const path = dir.filePath(QStringLiteral("cut.exe"));
    QFile cut(path);
    QVERIFY(cut.open(QIODevice::WriteOnly));
    QCOMPARE(cut.write(whole), qint64(whole.size()));
    QVERIFY(cut.flush());
    for (int length = whole.size(); length >= 0; --length) {
        QVERIFY(cut.resize(length));
        productversion::Result const onDisk = productversion::read(path);
        QCOMPARE(onDisk.status == Status::Ok, firstFound >= 0 && length >= firstFound);
        if (onDisk.status == Status::Ok)
            QCOMPARE(onDisk.numbers, expected);
    }
    QVERIFY(firstFound >= needed);
    QVERIFY(firstFound <= whole.size());
}

void TestPeReader::damaged_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<Field>("field");
    // The new value; -1 for "a subdirectory: the directory that holds this entry".
    QTest::addColumn<qint64>("value");
    QTest::addColumn<Status>("status");

    qint64 const loop = -1;
    for (QString const &file : {QStringLiteral("product32.exe"), QStringLiteral("product64.exe")}) {
        auto row = [&](char const *what, Field field, qint64 value, Status status = Status::NoVersionInfo) {
            QTest::newRow(qPrintable(file + QStringLiteral(": ") + QLatin1String(what)))
                << file << field << value << status;
        };
        row("PE header offset past the end", Field::PeOffset, 0xfffffff0);
        row("PE header offset in the last bytes", Field::PeOffset, fixtureBytes(file).size() - 2);
        row("65535 sections", Field::SectionCount, 0xffff);
        row("no sections", Field::SectionCount, 0);
        row("optional header too short for the resource directory", Field::OptionalHeaderSize, 0x60);
        row("unknown optional header magic", Field::Magic, 0x107);
        row("only two data directories", Field::DirectoryCount, 2);
        row("resource directory in no section", Field::ResourceRva, 0x7ffffff0);
        row("resource directory at the top of the address space", Field::ResourceRva, 0xffffffff);
        row("resource section data past the end", Field::ResourceRawOffset, 0xffffff00);
        row("resource section longer than the file: what is there is still read", Field::ResourceRawSize, 0xffffffff,
            Status::Ok);
        row("65535 resource types", Field::RootIdCount, 0xffff);
        row("version names outside the file", Field::TypeEntryTarget, 0xfffffff0);
        row("version type is a data entry", Field::TypeEntryTarget, 0x10);
        row("version type loops back to the root", Field::TypeEntryTarget, loop);
        row("name directory loops to itself", Field::NameEntryTarget, loop);
        row("language directory loops to itself", Field::LanguageEntryTarget, loop);
        row("language entry outside the file", Field::LanguageEntryTarget, 0x7ffffff0);
        row("resource data outside every section", Field::DataEntryRva, 0xffffff00);
        row("resource data longer than the file", Field::DataEntrySize, 0x7fffffff);
        row("resource data of 4 GiB", Field::DataEntrySize, 0xffffffff);
        row("resource data shorter than a block header", Field::DataEntrySize, 4);
        row("block longer than the resource data", Field::BlockLength, 0xffff);
        row("block too short for its fixed file info", Field::BlockLength, 60, Status::NoFixedFileInfo);
        row("block without a value", Field::BlockValueLength, 0, Status::NoFixedFileInfo);
        row("value shorter than a fixed file info", Field::BlockValueLength, 51, Status::NoFixedFileInfo);
        row("key is not VS_VERSION_INFO", Field::BlockKey, 'W', Status::NoFixedFileInfo);
        row("fixed file info with a wrong signature", Field::Signature, 0xfeef04bc, Status::NoFixedFileInfo);
    }
}

// Offsets in a copy of a good file pointing outside it, at the wrong kind of
// thing, or back into the resource tree: never a read out of bounds, never a
// hang, and the status the Windows API would give.
void TestPeReader::damaged()
{
    QFETCH(QString, file);
    QFETCH(Field, field);
    QFETCH(qint64, value);
    QFETCH(Status, status);

    QByteArray image = fixtureBytes(file);
    Layout const layout = layoutOf(image);
    quint64 const at = layout.at.value(field);
    quint32 const patched = value < 0 ? 0x80000000u | layout.directoryOf.value(field) : quint32(value);
    switch (field) {
    case Field::SectionCount:
    case Field::OptionalHeaderSize:
    case Field::Magic:
    case Field::RootIdCount:
    case Field::BlockLength:
    case Field::BlockValueLength:
    case Field::BlockKey: put16(image, at, quint16(patched)); break;
    default: put32(image, at, patched); break;
    }

    pe::Lookup const lookup = pe::lookupImage(image);
    switch (status) {
    case Status::Ok: QCOMPARE(lookup.outcome, pe::Outcome::Found); break;
    case Status::NoVersionInfo: QCOMPARE(lookup.outcome, pe::Outcome::NoVersionResource); break;
    case Status::NoFixedFileInfo: QCOMPARE(lookup.outcome, pe::Outcome::NoFixedFileInfo); break;
    }

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString const path = writeFile(dir, QStringLiteral("damaged.exe"), image);
    QVERIFY(!path.isEmpty());
    productversion::Result const result = productversion::read(path);
    QCOMPARE(result.status, status);
    if (status == Status::Ok)
        QCOMPARE(result.numbers, lookup.version);
}

void TestPeReader::randomDamage_data()
{
    QTest::addColumn<QString>("file");

    QTest::newRow("PE32") << "product32.exe";
    QTest::newRow("PE32+") << "product64.exe";
    QTest::newRow("odd layout") << "oddlayout64.exe";
}

// Bytes changed at random (with a fixed seed, so a failure repeats) in the
// headers and the resource section, where every offset the reader follows
// lives. What is read may be anything; how it is read must stay in bounds.
void TestPeReader::randomDamage()
{
    QFETCH(QString, file);

    QByteArray const good = fixtureBytes(file);
    Layout const layout = layoutOf(good);
    quint32 const rsrcStart = get32(good, layout.at[Field::ResourceRawOffset]);
    quint32 const rsrcEnd = qMin<quint32>(rsrcStart + get32(good, layout.at[Field::ResourceRawSize]), good.size());
    quint32 const headersEnd = qMin<quint32>(0x400, good.size());
    static quint8 const strong[] = {0x00, 0xff, 0x7f, 0x80, 0x01, 0x10};

    QRandomGenerator random(0x5eed + quint32(good.size()));
    int found = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray image(good.constData(), good.size());
        int const changes = 1 + int(random.bounded(4));
        for (int i = 0; i < changes; ++i) {
            bool const inHeaders = random.bounded(2) == 0;
            quint32 const at = inHeaders ? random.bounded(headersEnd) : rsrcStart + random.bounded(rsrcEnd - rsrcStart);
            image[int(at)] = char(random.bounded(2) ? strong[random.bounded(int(sizeof strong))] : random.bounded(256));
        }
        if (pe::productVersionFromImage(image))
            ++found;
    }
    // Most single-byte changes land where they do not matter.
    QVERIFY(found > 0);
}

// A setup program carries its payload after the image; the reader must not
// load a file of several GiB to find a version in its first pages.
void TestPeReader::largeFileReadsOnlyWhatItNeeds()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString const path = dir.filePath(QStringLiteral("setup_2.1.0.3.exe"));
    QVERIFY(QFile::copy(fixture(QStringLiteral("product64.exe")), path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    qint64 const size = qint64(5) << 30; // past 32-bit offsets; sparse, so no disk is used
    if (!file.resize(size))
        QSKIP("the temporary folder's file system cannot hold a sparse file of 5 GiB");
    file.close();

    productversion::Result const result = productversion::read(path);
    QCOMPARE(result.status, Status::Ok);
    QCOMPARE(result.numbers, (pe::ProductVersion{2, 1, 0, 3}));
}

QTEST_GUILESS_MAIN(TestPeReader)
#include "tst_pereader.moc"
