#include "tracermanager.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <cstdio>
#include <memory>

namespace
{

struct LoggerState {
    QMutex mutex;
    std::unique_ptr<QFile> file;
    FILE *console = nullptr;
    int minimumRank = 0;
    bool withThreadId = false;
    bool flushEachLine = false;
    bool installed = false;
};

LoggerState &state()
{
    static LoggerState s;
    return s;
}

// Higher is more severe; Qt's own enum is not ordered that way (info is 4).
int rankOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return 0;
    case QtInfoMsg: return 1;
    case QtWarningMsg: return 2;
    case QtCriticalMsg: return 3;
    case QtFatalMsg: return 4;
    }
    return 0;
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "debug";
    case QtInfoMsg: return "info";
    case QtWarningMsg: return "warning";
    case QtCriticalMsg: return "critical";
    case QtFatalMsg: return "fatal";
    }
    return "?";
}

int rankOfLevel(QString const &level)
{
    const QString l = level.trimmed().toLower();
    if (l == QLatin1String("error") || l == QLatin1String("critical"))
        return 3;
    if (l == QLatin1String("warning"))
        return 2;
    if (l == QLatin1String("info"))
        return 1;
    return 0;
}

void handler(QtMsgType type, QMessageLogContext const &context, QString const &message)
{
    LoggerState &s = state();
    QMutexLocker lock(&s.mutex);
    if (rankOf(type) < s.minimumRank && type != QtFatalMsg)
        return;

    QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
    line += ' ';
    line += levelName(type);
    line += ' ';
    line += context.category ? context.category : "default";
    if (s.withThreadId) {
        line += " [";
        line += QByteArray::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
        line += ']';
    }
    line += ' ';
    line += context.file ? context.file : "?";
    line += ':';
    line += QByteArray::number(context.line);
    line += ' ';
    line += context.function ? context.function : "?";
    line += ": ";
    line += message.toUtf8();
    line += '\n';

    if (s.file) {
        s.file->write(line);
        if (s.flushEachLine || type >= QtCriticalMsg)
            s.file->flush();
    } else if (s.console) {
        std::fwrite(line.constData(), 1, size_t(line.size()), s.console);
        if (s.flushEachLine)
            std::fflush(s.console);
    }
}

void install(LoggerState &s)
{
    if (!s.installed) {
        qInstallMessageHandler(handler);
        s.installed = true;
    }
}

} // namespace

bool TracerManager::registerFileLogger(
    QString const &filePath, QString const &level, bool withThreadId, bool flushEachLine, bool append)
{
    auto file = std::make_unique<QFile>(filePath);
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | (append ? QIODevice::Append : QIODevice::Truncate);
    if (!file->open(mode))
        return false;

    LoggerState &s = state();
    {
        QMutexLocker lock(&s.mutex);
        s.file = std::move(file);
        s.console = nullptr;
        s.minimumRank = rankOfLevel(level);
        s.withThreadId = withThreadId;
        s.flushEachLine = flushEachLine;
    }
    install(s);
    return true;
}

bool TracerManager::registerConsoleLogger(QString const &level, bool withThreadId, bool flushEachLine, bool useStdout)
{
    LoggerState &s = state();
    {
        QMutexLocker lock(&s.mutex);
        s.file.reset();
        s.console = useStdout ? stdout : stderr;
        s.minimumRank = rankOfLevel(level);
        s.withThreadId = withThreadId;
        s.flushEachLine = flushEachLine;
    }
    install(s);
    return true;
}

void TracerManager::unregister()
{
    LoggerState &s = state();
    qInstallMessageHandler(nullptr);
    QMutexLocker lock(&s.mutex);
    s.installed = false;
    s.file.reset();
    s.console = nullptr;
}
