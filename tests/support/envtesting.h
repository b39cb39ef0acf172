#ifndef ENV_TESTS_ENVTESTING_H
#define ENV_TESTS_ENVTESTING_H

#include "environment.h"
#include "tracermanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

// The application type can only be set by the start-up call, which also
// registers a console logger that takes Qt's message output over. Run it and
// give the output back to whoever had it (QtTest's handler, for ignoreMessage).
inline void startUpWithoutLogger(Environment *env, int appType, bool skipFontsAndColors = true)
{
    const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(previous);
    env->setupEnvironmentVariables(Environment::AppType(appType), skipFontsAndColors, false, false, false, false);
    TracerManager::unregister();
    qInstallMessageHandler(previous);
}

namespace envtest
{

// The whole content of a file; empty if it cannot be read.
inline QByteArray readAll(QString const &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes bytes to path, making its folder first.
inline bool writeFile(QString const &path, QByteArray const &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace envtest

#endif
