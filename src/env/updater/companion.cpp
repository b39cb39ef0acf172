#include "companion_p.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace companion
{

namespace
{
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

QString digest(QByteArray const &bytes)
{
    const QByteArray text = bytes.trimmed();
    int end = 0;
    while (end < text.size() && !isBlank(text.at(end)))
        ++end;
    return QString::fromUtf8(text.constData(), end);
}

QString signature(QByteArray const &bytes)
{
    return QString::fromLatin1(bytes).trimmed();
}

QByteArray read(QString const &path)
{
    QFile file;
#ifdef Q_OS_WIN
    file.setFileName(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
#else
    // Opened without waiting, then looked at: opening a FIFO for reading
    // waits for a writer, so a look before the open could still hang.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    struct stat info {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || !file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle)) {
        ::close(fd);
        return QByteArray();
    }
#endif
    const QByteArray bytes = file.read(MaxSize + 1);
    return bytes.size() > MaxSize ? QByteArray() : bytes;
}

} // namespace companion
