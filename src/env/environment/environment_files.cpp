#include "environment.h"

#include <QCoreApplication>

namespace
{

const char translationContext[] = "Environment";

constexpr int maxRecentFiles = 15;
constexpr int defaultAutosaveTime = 5;
constexpr int maxAutosaveTime = 60;

const QChar recentFilesSeparator = QLatin1Char(';');

// The order in which a selection lists its filters. PDF, table, HTML, Excel and
// LibreOffice are left out on purpose: callers take those one at a time.
const Environment::FileType selectableTypes[] = {
    Environment::PROJ_FILE,
    Environment::JSON_PROJ_FILE,
    Environment::KORAX_LOG_FILE,
    Environment::KORAX_ALARM_LOG_FILE,
    Environment::KRX_CONFIG_FILE,
    Environment::CSV_FILE,
    Environment::TXT_FILE,
    Environment::XML_FILE,
    Environment::MIRTA_XML_FILE,
    Environment::TLK_DIARY_FILE,
    Environment::ORLA_EXPORT_FILE,
};

QString extensionPattern(QString const &extension)
{
    return QStringLiteral(" (*") + extension + QLatin1Char(')');
}

} // namespace

QString Environment::getFileExtFilterName(Environment::FileType type)
{
    const char *label = nullptr;
    QString pattern;
    switch (type) {
    case PROJ_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "project file");
        pattern = extensionPattern(PROJ_EXT);
        break;
    case JSON_PROJ_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "project file");
        pattern = extensionPattern(JSON_EXT);
        break;
    case KORAX_LOG_FILE:
        // KORAX logs are bare file names, not extensions.
        label = QT_TRANSLATE_NOOP("Environment", "log file");
        pattern = QStringLiteral(" [KORAX] (pu pu0*)");
        break;
    case KORAX_ALARM_LOG_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "alarm log files");
        pattern = QStringLiteral(" [KORAX] (pa pa0*)");
        break;
    case KRX_CONFIG_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "configuration file");
        pattern = extensionPattern(KRX_EXT);
        break;
    case CSV_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "csv file");
        pattern = extensionPattern(CSV_EXT);
        break;
    case TXT_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "txt file");
        pattern = extensionPattern(TXT_EXT);
        break;
    case PDF_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "pdf file");
        pattern = extensionPattern(PDF_EXT);
        break;
    case XML_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "xml file");
        pattern = extensionPattern(XML_EXT);
        break;
    case TABLE_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "table file");
        pattern = extensionPattern(TABLE_EXT);
        break;
    case HTML_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "html file");
        pattern = extensionPattern(HTML_EXT);
        break;
    case EXCEL_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "Excel file");
        pattern = extensionPattern(EXCEL_EXT);
        break;
    case MIRTA_XML_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "MIRTA xml file");
        pattern = extensionPattern(XML_EXT);
        break;
    case TLK_DIARY_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "log file");
        pattern = QStringLiteral(" [TESLO] (*") + TLK_DIARY_EXT + QLatin1Char(')');
        break;
    case LIBRECALC_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "LibreOffice file");
        pattern = extensionPattern(LIBRECALC_EXT);
        break;
    case ORLA_EXPORT_FILE:
        label = QT_TRANSLATE_NOOP("Environment", "ORLA export file");
        pattern = extensionPattern(ORLA_EXPORT_EXT);
        break;
    }
    if (!label)
        return QString();
    return QCoreApplication::translate(translationContext, label) + pattern;
}

QStringList Environment::selectFileExtFilters(QFlags<Environment::FileType> types)
{
    QStringList filters;
    for (const FileType type : selectableTypes) {
        if (types.testFlag(type))
            filters.append(getFileExtFilterName(type));
    }
    return filters;
}

void Environment::addOpenRecentFile(QString const &path)
{
    // Files under the project temporary folder never enter the list.
    if (path.contains(getProjectTempDir()))
        return;

    QStringList files
        = getSetting(OPEN_RECENT_FILES, QVariant::String).toString().split(recentFilesSeparator, Qt::KeepEmptyParts);
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > maxRecentFiles)
        files.removeLast();
    setSetting(OPEN_RECENT_FILES, files.join(recentFilesSeparator));
    writeSettings();
}

void Environment::addOpenRecentFiles(QStringList const &paths)
{
    for (QString const &path : paths)
        addOpenRecentFile(path);
}

void Environment::deleteOpenRecentFile(QString const &path)
{
    QStringList files
        = getSetting(OPEN_RECENT_FILES, QVariant::String).toString().split(recentFilesSeparator, Qt::KeepEmptyParts);
    files.removeAll(path);
    setSetting(OPEN_RECENT_FILES, files.join(recentFilesSeparator));
    writeSettings();
}

int Environment::getAutosaveTime()
{
    const QVariant value = getSetting(AUTOSSAVE_TIME, QVariant::String);
    // Invalid: the settings file had no entry. Absent (before loading) reads as 0.
    if (!value.isValid())
        return defaultAutosaveTime;
    const int time = value.toInt();
    if (time < 0 || time > maxAutosaveTime)
        return defaultAutosaveTime;
    return time;
}

void Environment::setAutosaveTime(int time)
{
    setSetting(AUTOSSAVE_TIME, time);
}
