// Times CommonFunc::calculateMd5Sum on one file; the caller warms the page cache.

#include "benchutil.h"
#include "commonfunc.h"

#include <QCoreApplication>
#include <QFileInfo>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <file>\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    QElapsedTimer timer;
    timer.start();
    const QString sum = CommonFunc::calculateMd5Sum(path);
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
