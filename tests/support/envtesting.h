#ifndef ENV_TESTS_ENVTESTING_H
#define ENV_TESTS_ENVTESTING_H

#include "environment.h"
#include "tracermanager.h"

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

#endif
