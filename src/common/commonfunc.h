#ifndef ENV_COMMON_COMMONFUNC_H
#define ENV_COMMON_COMMONFUNC_H

#include "env_export.h"

#include <QString>

class ENV_EXPORT CommonFunc
{
public:
    // What one reading of a file gives: its size and both digests in
    // lower-case hex. The texts are empty and the size -1 when the file cannot
    // be read.
    struct FileDigests {
        qint64 size = -1;
        QString md5;
        QString sha256;
    };

    // Lower-case hex MD5 of the file's content, as md5sum prints it; empty when
    // the file cannot be read. The file is streamed, never held in memory.
    static QString calculateMd5Sum(QString const &filePath);
    // Lower-case hex SHA-256, as sha256sum prints it; streamed as above.
    static QString calculateSha256Sum(QString const &filePath);
    // MD5, SHA-256 and size in one pass over the file.
    static FileDigests calculateDigests(QString const &filePath);
};

#endif
