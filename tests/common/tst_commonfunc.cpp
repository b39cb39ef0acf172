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

void TestCommonFunc::sameAsMd5sum_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty file") << qint64(0);
    QTest::newRow("one byte under a read block") << qint64((1 << 20) - 1);
    QTest::newRow("exactly one read block") << qint64(1 << 20);
    QTest::newRow("three blocks and a byte") << qint64(3 * (1 << 20) + 1);
}

// The published digests beside the setup programs are md5sum's output.
void TestCommonFunc::sameAsMd5sum()
{
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

    // Signatures cover sha256sum's text, taken in the same pass as the MD5.
    QProcess sha256sum;
    sha256sum.start(QStringLiteral("sha256sum"), {path});
    QVERIFY2(sha256sum.waitForFinished(), "sha256sum (coreutils) is needed");
    const QString sha256 = QString::fromLatin1(sha256sum.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
    const CommonFunc::FileDigests digests = CommonFunc::calculateDigests(path);
    QCOMPARE(digests.md5, expected);
    QCOMPARE(digests.sha256, sha256);
    QCOMPARE(digests.size, size);
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
    QCOMPARE(CommonFunc::calculateDigests(path).size, qint64(-1));
}

QTEST_GUILESS_MAIN(TestCommonFunc)
#include "tst_commonfunc.moc"
