#include "commonfunc.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>

QString CommonFunc::calculateMd5Sum(QString const &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();

    // Large blocks keep the system-call count low on big setup programs.
    constexpr qint64 blockSize = 1 << 20;
    std::unique_ptr<char[]> block(new char[blockSize]);
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (;;) {
        const qint64 n = file.read(block.get(), blockSize);
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(block.get(), int(n));
    }
    return QString::fromLatin1(hash.result().toHex());
}
