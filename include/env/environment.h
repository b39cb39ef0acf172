#ifndef ENV_ENVIRONMENT_H
#define ENV_ENVIRONMENT_H

#include "env_export.h"

#include <QColor>
#include <QFlags>
#include <QFont>
#include <QHash>
#include <QJsonObject>
#include <QLocale>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <QVariant>
#include <QVector>

class QSettings;

// Every setting of the environment. The numbers are part of the settings file
// format and of the hosts' binaries: never renumber. 26, 27, 28, 33 and 34 are
// reserved. The type is fixed to int so that any number a host passes (an
// unknown key, a reserved one) is a valid value of the enumeration.
enum EnvSettingKey : int {
    NONE = 0,
    LANG = 1,
    STYLE = 2,
    LOG_FILE = 3,
    LOG_LEVEL = 4,
    WORK_DIR = 5,
    COMPONENT_DATA_BANK = 6,
    GUI_COMPONENT_NAME_FONT = 7,
    GUI_COMPONENT_NAME_FONT_COLOR = 8,
    GUI_CABINET_NAME_FONT = 9,
    GUI_CABINET_NAME_FONT_COLOR = 10,
    GUI_NODE_NAME_FONT = 11,
    GUI_NODE_NAME_FONT_COLOR = 12,
    UPDATES_HTTP_URL = 13,
    UPDATES_HTTP_URL_TEST = 14,
    UPDATES_LOCAL_DIR = 15,
    KORAX_DIARY_INPUT_DIR = 16,
    KORAX_DIARY_OUTPUT_DIR = 17,
    OPEN_RECENT_FILES = 18,
    AUTOSSAVE_TIME = 19,
    GUI_FAS_SYSTEM_NAME_FONT = 20,
    GUI_FAS_SYSTEM_NAME_FONT_COLOR = 21,
    APP_VERSION = 22,
    APP_MODE = 23,
    GUI_LE_SELECTED_COLOR = 24,
    GUI_LE_COLLISION_COLOR = 25,
    APPLICATION_FONT = 29,
    APPLICATION_FONT_COLOR = 30,
    APP_FONT = 31,
    APP_FONT_COLOR = 32,
    PRESENTATION_MODE = 35,
    ORLA_EXPORT_SETS = 36,

    // Keys whose names are stored enciphered (deployment data).
    SECURE_ARG_1600 = 1600,
    SECURE_ARG_1601 = 1601,
    SECURE_ARG_1602 = 1602,
    SECURE_ARG_1603 = 1603,
    SECURE_ARG_1604 = 1604,
    SECURE_ARG_1605 = 1605,
    SECURE_ARG_1606 = 1606,
    SECURE_ARG_1607 = 1607,
    SECURE_ARG_1608 = 1608,
    SECURE_ARG_2000 = 2000,
    SECURE_ARG_2001 = 2001,
    SECURE_ARG_2002 = 2002,
    SECURE_ARG_2003 = 2003,
    SECURE_ARG_2100 = 2100,
    SECURE_ARG_2101 = 2101,
    SECURE_ARG_2102 = 2102,
    SECURE_ARG_2103 = 2103
};

inline uint qHash(EnvSettingKey key, uint seed = 0) noexcept
{
    return ::qHash(static_cast<int>(key), seed);
}

class ENV_EXPORT EnvSettingKeyEnumClass
{
public:
    // Names of the keys as they appear in the settings file; filled at load time.
    static const QHash<EnvSettingKey, QString> s_idNames;

    // The key's name, or "=" followed by its number when the key has none.
    static QString idName(EnvSettingKey key);
};

// A product version: major.minor.patch and a release-candidate number (0 for a
// final release). All four -1 means that no version is known.
class ENV_EXPORT AppVersion
{
public:
    AppVersion();
    explicit AppVersion(QString const &text);

    void clear();
    void reset();
    void setVersion(int major, int minor, int patch, int rc);

    QString toString() const;
    QString jsonString() const;
    void toJson(QJsonObject &json) const;
    void fromJson(QJsonObject const &json);

    QString m_name;
    qint32 m_major;
    qint32 m_minor;
    qint32 m_patch;
    qint32 m_rc;
};

class ENV_EXPORT Environment
{
public:
    // Every value other than APP_STUDIO is another application of the family,
    // so the full int range must be valid.
    enum AppType : int { APP_STUDIO = 0 };

    enum AppMode : int {
        MODE_DEFAULT = 0,
        MODE_SERVER_UPDATES = 1,
        MODE_LOCAL_UPDATES = 2,
        MODE_LOCAL_UPDATES_ALT = 3,
        MODE_LOCAL_CONFIG = 4
    };

    enum FileType {
        PROJ_FILE = 0x1,
        JSON_PROJ_FILE = 0x2,
        KORAX_LOG_FILE = 0x4,
        KORAX_ALARM_LOG_FILE = 0x8,
        KRX_CONFIG_FILE = 0x10,
        CSV_FILE = 0x20,
        TXT_FILE = 0x40,
        PDF_FILE = 0x80,
        XML_FILE = 0x100,
        TABLE_FILE = 0x200,
        HTML_FILE = 0x400,
        EXCEL_FILE = 0x800,
        MIRTA_XML_FILE = 0x2000,
        TLK_DIARY_FILE = 0x4000,
        LIBRECALC_FILE = 0x10000,
        ORLA_EXPORT_FILE = 0x40000
    };
    Q_DECLARE_FLAGS(FileTypes, FileType)

    // Folder and file names.
    static const QString PROJ_DIR;
    static const QString PRICE_LIST_DIR;
    static const QString PROJ_SCHEME_TABLE_DIR;
    static const QString PROJ_SCHEME_TABLE_DEFAULT_NAME;
    static const QString FACTORY_NAMES_FILE;
    static const QString KRXCHUNK_TXT_DATA_FILE;
    static const QString VS_WORK_DIR;

    // File-name extensions.
    static const QString PROJ_EXT;
    static const QString PROJ_DEFAULT_SUFIX;
    static const QString PROJ_GRAPH_EXT;
    static const QString PROJ_SETTINGS_EXT;
    static const QString JSON_EXT;
    static const QString ORLA_EXPORT_EXT;
    static const QString KRX_EXT;
    static const QString KRX_CHUNK_EXT;
    static const QString CSV_EXT;
    static const QString TXT_EXT;
    static const QString PDF_EXT;
    static const QString HTML_EXT;
    static const QString XML_EXT;
    static const QString TABLE_EXT;
    static const QString EXCEL_EXT;
    static const QString LIBRECALC_EXT;
    static const QString PRICE_LIST_EXT;
    static const QString TLK_DIARY_EXT;

    static QSharedPointer<Environment> m_instance;

    static Environment *instance();

    Environment();
    ~Environment();

    // Settings store
    QVariant getSetting(EnvSettingKey key, QVariant::Type type);
    void setSetting(EnvSettingKey key, QVariant const &value);
    void removeSetting(EnvSettingKey key);
    AppMode getAppMode() const;
    void setAppMode(AppMode mode);

    // Settings file
    bool loadSettings(bool skipFontsAndColors, QString const &path);
    void writeSettings();
    void insertFont(QSettings const &settings, EnvSettingKey key);
    void insertColor(QSettings const &settings, EnvSettingKey key);

    // Folders
    void setRootAppPath(QString const &path);
    QString getRootAppPath() const;
    QString getDataPath() const;
    QString getToolsPath() const;
    QString getTranslationsPath() const;
    QString getLibsPath() const;
    QString getHelpPath() const;
    QString getComponentTypeFileName() const;
    QString getComponentParamsFileName() const;
    QString getVersionFileName() const;
    QString getFactoryNamesFileName();
    QString getDefaultPriceListFileName(QString const &name);
    QString priceListFileWithoutExtention(QString const &fileName);
    QString getWorkPath() const;
    void setWorkPath(QString const &path);
    QString getProjectDir();
    QString getProjectTempDir();
    QString getPriceListDir();
    QString getSchemeTableDir();
    QString getSchemeTableDefaultName();
    void setProjectDirectories();
    QString getTempPath(QString const &subPath) const;
    QString getConfigPath() const;

    // Start-up and logging
    void setupEnvironmentVariables(Environment::AppType type, bool skipFontsAndColors, bool logToFile, bool logOption1,
        bool logOption2, bool logOption3);
    void setupMainLogFile(bool logOption1, bool logOption2, bool logOption3);
    QString getLogPath() const;

    // File types and dialog filters
    QString getFileExtFilterName(Environment::FileType type);
    QStringList selectFileExtFilters(QFlags<Environment::FileType> types);

    // Recent files and autosave
    void addOpenRecentFile(QString const &path);
    void addOpenRecentFiles(QStringList const &paths);
    void deleteOpenRecentFile(QString const &path);
    int getAutosaveTime();
    void setAutosaveTime(int time);

    // Export password
    QString getOrlaExportPassword(bool encodedForm);
    void setOrlaExportPassword(QString const &password);

    // Locales and translations
    QVector<QLocale> const &getSupportedLocales() const;
    QStringList getSupportedLocalesNames();
    QVector<QLocale> getFireAlarmSystemsLocalesList();
    QString countryCode(QLocale const &locale);
    int getCodePage(QLocale::Language language);
    QSharedPointer<QTranslator> loadTranslator(QString localeName);
    void setLanguage(QLocale const &locale);
    bool switchLanguage(QLocale locale);

    // Fonts and colours
    static QFont getProperFont(QString const &family, int pixelSize, bool bold, bool italic);
    static void setDefaultFonts(QHash<EnvSettingKey, QFont> *fonts, QHash<EnvSettingKey, QColor> *colors);
    static void setDefaultColors(QHash<EnvSettingKey, QColor> *colors);
    void setUiFont(EnvSettingKey key, QFont const &font);
    QFont &getUiFont(EnvSettingKey key);
    void setUiColor(EnvSettingKey key, QColor const &color);
    QColor &getUiColor(EnvSettingKey key);

    // Currency symbols
    QString getCurrencySymbol(QLocale::Country country);
    QSet<QString> getAllCurrencySymbols();

    // Product version
    AppVersion getProductVersion(QString const &filePath);
    AppVersion getAppVersion();
    QString getVersionString(QString const &filePath);
    AppVersion getVersionFromFileName(QString const &fileName);

private:
    Q_DISABLE_COPY(Environment)

    // The order of these members is part of the binary interface.
    QString m_styleResourcePrefix;
    QVector<QLocale> m_supportedLocales;
    QHash<QLocale::Country, QString> m_currencySymbols;
    AppType m_appType;
    QLocale m_currentLocale;
    QString m_uiSettingsGroup;
    QString m_appSettingsGroup;
    QString m_settingsFileName;
    QString m_componentTypesFileName;
    QString m_componentParamsFileName;
    QString m_versionDataFileName;
    AppMode m_appMode;
    QString m_rootAppPath;
    QString m_settingsFilePath;
    QHash<EnvSettingKey, QVariant> m_settings;
    QHash<EnvSettingKey, QFont> m_uiFonts;
    QHash<EnvSettingKey, QColor> m_uiColors;
    QSharedPointer<QTranslator> m_translator;
    // A settings file that loaded with an error status, not yet copied aside:
    // rewriting it would drop whatever Qt could not parse.
    QString m_unreadSettingsFilePath;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Environment::FileTypes)

#endif // ENV_ENVIRONMENT_H
