#include "environment.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtDebug>

namespace
{

// Work-folder paths get a "/" after W only when W lacks one: the default work
// folder ends with a slash, a folder the user typed in may not.
QString underWorkPath(QString const &workPath, QString const &relative)
{
    if (workPath.endsWith(QLatin1Char('/')))
        return workPath + relative;
    return workPath + QLatin1Char('/') + relative;
}

QString standardLocation(QStandardPaths::StandardLocation location)
{
    return QStandardPaths::standardLocations(location).value(0);
}

} // namespace

void Environment::setRootAppPath(QString const &path)
{
    m_rootAppPath = path;
}

QString Environment::getRootAppPath() const
{
    return m_rootAppPath;
}

QString Environment::getDataPath() const
{
    return m_rootAppPath + QStringLiteral("/data");
}

QString Environment::getToolsPath() const
{
    return m_rootAppPath + QStringLiteral("/tools");
}

QString Environment::getTranslationsPath() const
{
    return m_rootAppPath + QStringLiteral("/translations");
}

QString Environment::getLibsPath() const
{
    return m_rootAppPath + QStringLiteral("/lib");
}

QString Environment::getHelpPath() const
{
    return m_rootAppPath + QStringLiteral("/help");
}

QString Environment::getComponentTypeFileName() const
{
    return getDataPath() + QLatin1Char('/') + m_componentTypesFileName;
}

QString Environment::getComponentParamsFileName() const
{
    return getDataPath() + QLatin1Char('/') + m_componentParamsFileName;
}

QString Environment::getVersionFileName() const
{
    return getDataPath() + QLatin1Char('/') + m_versionDataFileName;
}

QString Environment::getFactoryNamesFileName()
{
    return getDataPath() + QLatin1Char('/') + FACTORY_NAMES_FILE;
}

QString Environment::getDefaultPriceListFileName(QString const &name)
{
    return QStringLiteral("pricelist_") + name + PRICE_LIST_EXT;
}

QString Environment::priceListFileWithoutExtention(QString const &fileName)
{
    QString result = fileName;
    return result.remove(PRICE_LIST_EXT, Qt::CaseSensitive);
}

QString Environment::getWorkPath() const
{
    // An empty text (a hand-edited "WORK_DIR=") counts as no setting: taken
    // as it is, the work folders would be made at the root of the disk.
    const QString workPath = m_settings.value(WORK_DIR).toString();
    if (workPath.isEmpty())
        return VS_WORK_DIR;
    return workPath;
}

void Environment::setWorkPath(QString const &path)
{
    m_settings.insert(WORK_DIR, path);
}

QString Environment::getProjectDir()
{
    return underWorkPath(getWorkPath(), PROJ_DIR);
}

QString Environment::getProjectTempDir()
{
    return getProjectDir() + QStringLiteral("/~temp/");
}

QString Environment::getPriceListDir()
{
    return underWorkPath(getWorkPath(), PRICE_LIST_DIR);
}

QString Environment::getSchemeTableDir()
{
    return underWorkPath(getWorkPath(), PROJ_SCHEME_TABLE_DIR);
}

QString Environment::getSchemeTableDefaultName()
{
    return underWorkPath(getWorkPath(), PROJ_SCHEME_TABLE_DIR) + QLatin1Char('/') + PROJ_SCHEME_TABLE_DEFAULT_NAME
        + TABLE_EXT;
}

void Environment::setProjectDirectories()
{
    // Failures are not reported: the applications create what they write to.
    QDir dir;
    const QString workPath = getWorkPath();
    if (!QDir(workPath).exists())
        dir.mkpath(workPath);

    if (m_appType != APP_STUDIO)
        return;

    const QString projectDir = getProjectDir();
    if (!QDir(projectDir).exists())
        dir.mkpath(projectDir);
    const QString priceListDir = getPriceListDir();
    if (!QDir(priceListDir).exists())
        dir.mkpath(priceListDir);
}

QString Environment::getTempPath(QString const &subPath) const
{
    const QString tempRoot = standardLocation(QStandardPaths::TempLocation);
    if (subPath.isEmpty())
        return tempRoot;

#ifdef Q_OS_WIN
    const QChar separator = QLatin1Char('\\');
    const QStringList parts = subPath.split(separator, Qt::SkipEmptyParts);
#else
    // A backslash is an ordinary file-name character here, so callers that
    // compose Windows-style sub-paths would get folders named "a\b".
    const QChar separator = QLatin1Char('/');
    const QStringList parts = subPath.split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts);
#endif

    QString result = tempRoot + separator;
    for (QString const &part : parts) {
        result += part + separator;
        if (QDir(result).exists())
            continue;
        if (!QDir().mkdir(result)) {
            qCritical() << "Nie mozna utworzyc katalogu:" << result;
            return tempRoot;
        }
    }
    return result;
}

QString Environment::getConfigPath() const
{
    const QString relative = QStringLiteral("/config");
    if (m_appMode == MODE_LOCAL_CONFIG)
        return m_rootAppPath + relative;
    return standardLocation(QStandardPaths::DataLocation) + relative;
}
