#ifndef ENV_TRACER_TRACERMANAGER_H
#define ENV_TRACER_TRACERMANAGER_H

#include "env_export.h"

#include <QString>

// Routes Qt's message output to a file or to the console. Each line carries the
// time, level, category, source file:line and function. Registering again
// replaces the previous logger.
//
// The options: withThreadId adds the thread id to each line, flushEachLine
// flushes after every line, and the third is "append" for a file logger (false
// truncates the file) and "use stdout" for a console logger (false: stderr).
class ENV_EXPORT TracerManager
{
public:
    // level: "error", "warning", "info" or "debug", in any letter case; lines below
    // it are dropped. An unknown level lets everything through.
    static bool registerFileLogger(
        QString const &filePath, QString const &level, bool withThreadId, bool flushEachLine, bool append);
    static bool registerConsoleLogger(QString const &level, bool withThreadId, bool flushEachLine, bool useStdout);

    // Restores Qt's default message handler and closes the log file.
    static void unregister();
};

#endif
