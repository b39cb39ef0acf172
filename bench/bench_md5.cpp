// Times CommonFunc::calculateMd5Sum on one file; the caller warms the page cache.
// With "qt" as second argument it times QCryptographicHash over 1 MiB blocks
// instead, the way calculateMd5Sum worked before it moved to OpenSSL.

#include "benchutil.h"
#include "commonfunc.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && !(argc == 3 && QByteArray(argv[2]) == "qt")) {
        std::fprintf(stderr, "usage: %s <file> [qt]\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    QElapsedTimer timer;
    timer.start();
    QString sum;
    if (argc == 2) {
        sum = CommonFunc::calculateMd5Sum(path);
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        QCryptographicHash hash(QCryptographicHash::Md5);
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (qint64 n; (n = file.read(block.data(), block.size())) > 0;)
            hash.addData(block.constData(), int(n));
        sum = QString::fromLatin1(hash.result().toHex());
    }
    const qint64 ns = timer.nsecsElapsed();
    if (sum.isEmpty())
        return 1;
    bench::printResult(QStringLiteral("seconds=%1 bytes=%2 md5=%3 hwm_kb=%4")
                           .arg(ns / 1e9, 0, 'f', 6)
                           .arg(QFileInfo(path).size())
                           .arg(sum)
                           .arg(bench::peakRssKb()));
    return 0;
}
