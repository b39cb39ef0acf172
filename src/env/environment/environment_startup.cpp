#include "environment.h"

#include "tracermanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtDebug>

void Environment::setupEnvironmentVariables(Environment::AppType type, bool skipFontsAndColors, bool logToFile,
    bool logOption1, bool logOption2, bool logOption3)
{
    m_appType = type;
    qInfo() << "creating app environment";
    // Everything below depends on the order: the configuration folder may lie
    // under the application folder, the work folder and the log come from the
    // settings just loaded.
    setRootAppPath(QCoreApplication::applicationDirPath());
    loadSettings(skipFontsAndColors, QString());
    setProjectDirectories();
    if (logToFile)
        setupMainLogFile(logOption1, logOption2, logOption3);
    else
        TracerManager::registerConsoleLogger(QStringLiteral("DEBUG"), logOption1, logOption2, logOption3);
}

void Environment::setupMainLogFile(bool logOption1, bool logOption2, bool logOption3)
{
    const QString logPath = getLogPath();
    if (!QDir(logPath).exists() && !QDir().mkpath(logPath)) {
        qCritical() << "Cannot create path: " << QFileInfo(logPath).absoluteFilePath();
        return;
    }

    const QString fileName = getSetting(LOG_FILE, QVariant::String).toString();
    if (fileName.isEmpty()) {
        qCritical() << "Unknown log file name";
        return;
    }
    const QString level = getSetting(LOG_LEVEL, QVariant::String).toString();
    TracerManager::registerFileLogger(logPath + QLatin1Char('/') + fileName, level, logOption1, logOption2, logOption3);
}

QString Environment::getLogPath() const
{
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0) + QStringLiteral("/log");
}
