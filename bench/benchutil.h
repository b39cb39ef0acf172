#ifndef ENV_BENCH_BENCHUTIL_H
#define ENV_BENCH_BENCHUTIL_H

// Shared bits of the benchmark drivers. Each driver prints one line per figure,
// "RESULT key=value ...", for bench/run to parse; everything else it prints is noise.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>

namespace bench
{

// Peak resident set of this process so far, in KiB (VmHWM of /proc/self/status).
inline qint64 peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline void printResult(QString const &fields)
{
    std::printf("RESULT %s\n", fields.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace bench

#endif
