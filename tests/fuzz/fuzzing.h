// What every target starts with: Qt in test mode, its messages quiet or
// recorded, and a work folder of its own.
#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace fuzzing
{

// Removed at exit; a crash leaves it to the caller's temporary folder.
inline QTemporaryDir &workDir()
{
    static QTemporaryDir dir;
    return dir;
}

inline void start(int *argc, char ***argv, QtMessageHandler handler)
{
    static QCoreApplication app(*argc, *argv);
    QStandardPaths::setTestModeEnabled(true);
    // Also keeps the fuzzer fast: loads and writes log a line each.
    qInstallMessageHandler(handler ? handler : [](QtMsgType, QMessageLogContext const &, QString const &) {});
    if (!workDir().isValid())
        std::abort();
}

// The input as a file of the work folder.
inline QString writeInput(QString const &name, uint8_t const *data, size_t size)
{
    const QString path = workDir().filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<char const *>(data), qint64(size)) != qint64(size))
        std::abort();
    return path;
}

} // namespace fuzzing
