#ifndef ENV_COMMON_COMMONFUNC_H
#define ENV_COMMON_COMMONFUNC_H

#include "env_export.h"

#include <QString>

class ENV_EXPORT CommonFunc
{
public:
    // Lower-case hex MD5 of the file's content, as md5sum prints it; empty when
    // the file cannot be read. The file is streamed, never held in memory.
    static QString calculateMd5Sum(QString const &filePath);
};

#endif
