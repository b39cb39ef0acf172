#include "commonfunc.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestCommonFunc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void knownDigests_data();
    void knownDigests();
    void sameAsMd5sum_data();
    void sameAsMd5sum();
    void unreadableGivesEmpty_data();
    void unreadableGivesEmpty();

private:
    QString writeFile(QString const &name, QByteArray const &content);

    QTemporaryDir m_dir;
};

void TestCommonFunc::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
}

QString TestCommonFunc::writeFile(QString const &name, QByteArray const &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return path;
}

void TestCommonFunc::knownDigests_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("digest");

    // RFC 1321 test vectors.
    QTest::newRow("empty file") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("a") << QByteArray("a") << "0cc175b9c0f1b6a831c399e269772661";
    QTest::newRow("abc") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("message digest") << QByteArray("message digest") << "f96b697d7cb7938d525a2f31aaf161d0";
    QTest::newRow("80 digits") << QByteArray("1234567890").repeated(8) << "57edf4a22be3c955ac49da2e2107b67a";
}

void TestCommonFunc::knownDigests()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, digest);
    const QString path = writeFile(QStringLiteral("known"), content);
    QVERIFY(!path.isEmpty());
    QCOMPARE(CommonFunc::calculateMd5Sum(path), digest);
}

void TestCommonFunc::sameAsMd5sum_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("one byte under a read block") << qint64((1 << 20) - 1);
    QTest::newRow("exactly one read block") << qint64(1 << 20);
    QTest::newRow("three blocks and a byte") << qint64(3 * (1 << 20) + 1);
}

void TestCommonFunc::sameAsMd5sum()
{
    // The published digests beside the setup programs are md5sum's output.
    QFETCH(qint64, size);
    QByteArray content(int(size), Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((i * 131 + i / 251) & 0xff);
    const QString path = writeFile(QStringLiteral("big.bin"), content);
    QVERIFY(!path.isEmpty());

    QProcess md5sum;
    md5sum.start(QStringLiteral("md5sum"), {path});
    QVERIFY2(md5sum.waitForFinished(), "md5sum (coreutils) is needed");
    const QString expected = QString::fromLatin1(md5sum.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
    QCOMPARE(expected.size(), 32);
    QCOMPARE(CommonFunc::calculateMd5Sum(path), expected);
}

void TestCommonFunc::unreadableGivesEmpty_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << QStringLiteral("no-such-file");
    QTest::newRow("empty path") << QString();
    QTest::newRow("a folder") << QStringLiteral(".");
}

void TestCommonFunc::unreadableGivesEmpty()
{
    QFETCH(QString, path);
    if (!path.isEmpty())
        path = m_dir.filePath(path);
    QCOMPARE(CommonFunc::calculateMd5Sum(path), QString());
}

QTEST_GUILESS_MAIN(TestCommonFunc)
#include "tst_commonfunc.moc"
