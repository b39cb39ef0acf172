#include "environment.h"

#include "settingsfile_p.h"

#include <QStandardPaths>

namespace
{

QHash<EnvSettingKey, QString> makeIdNames()
{
    return {
        {NONE, QStringLiteral("NONE")},
        {LANG, QStringLiteral("LANG")},
        {STYLE, QStringLiteral("STYLE")},
        {LOG_FILE, QStringLiteral("LOG_FILE")},
        {LOG_LEVEL, QStringLiteral("LOG_LEVEL")},
        {WORK_DIR, QStringLiteral("WORK_DIR")},
        {COMPONENT_DATA_BANK, QStringLiteral("COMPONENT_DATA_BANK")},
        {GUI_COMPONENT_NAME_FONT, QStringLiteral("GUI_COMPONENT_NAME_FONT")},
        {GUI_COMPONENT_NAME_FONT_COLOR, QStringLiteral("GUI_COMPONENT_NAME_FONT_COLOR")},
        {GUI_CABINET_NAME_FONT, QStringLiteral("GUI_CABINET_NAME_FONT")},
        {GUI_CABINET_NAME_FONT_COLOR, QStringLiteral("GUI_CABINET_NAME_FONT_COLOR")},
        {GUI_NODE_NAME_FONT, QStringLiteral("GUI_NODE_NAME_FONT")},
        {GUI_NODE_NAME_FONT_COLOR, QStringLiteral("GUI_NODE_NAME_FONT_COLOR")},
        {UPDATES_HTTP_URL, QStringLiteral("UPDATES_HTTP_URL")},
        {UPDATES_HTTP_URL_TEST, QStringLiteral("UPDATES_HTTP_URL_TEST")},
        {UPDATES_LOCAL_DIR, QStringLiteral("UPDATES_LOCAL_DIR")},
        {KORAX_DIARY_INPUT_DIR, QStringLiteral("KORAX_DIARY_INPUT_DIR")},
        {KORAX_DIARY_OUTPUT_DIR, QStringLiteral("KORAX_DIARY_OUTPUT_DIR")},
        {OPEN_RECENT_FILES, QStringLiteral("OPEN_RECENT_FILES")},
        {AUTOSSAVE_TIME, QStringLiteral("AUTOSSAVE_TIME")},
        {GUI_FAS_SYSTEM_NAME_FONT, QStringLiteral("GUI_FAS_SYSTEM_NAME_FONT")},
        {GUI_FAS_SYSTEM_NAME_FONT_COLOR, QStringLiteral("GUI_FAS_SYSTEM_NAME_FONT_COLOR")},
        {APP_VERSION, QStringLiteral("APP_VERSION")},
        {APP_MODE, QStringLiteral("APP_MODE")},
        {GUI_LE_SELECTED_COLOR, QStringLiteral("GUI_LE_SELECTED_COLOR")},
        {GUI_LE_COLLISION_COLOR, QStringLiteral("GUI_LE_COLLISION_COLOR")},
        {APPLICATION_FONT, QStringLiteral("APPLICATION_FONT")},
        {APPLICATION_FONT_COLOR, QStringLiteral("APPLICATION_FONT_COLOR")},
        {APP_FONT, QStringLiteral("APP_FONT")},
        {APP_FONT_COLOR, QStringLiteral("APP_FONT_COLOR")},
        {PRESENTATION_MODE, QStringLiteral("PRESENTATION_MODE")},
        {ORLA_EXPORT_SETS, QStringLiteral("ORLA_EXPORT_SETS")},
#include "securekeys.inc"
    };
}

} // namespace

const QHash<EnvSettingKey, QString> EnvSettingKeyEnumClass::s_idNames = makeIdNames();

QString EnvSettingKeyEnumClass::idName(EnvSettingKey key)
{
    const auto it = s_idNames.constFind(key);
    if (it != s_idNames.constEnd())
        return it.value();
    return QLatin1Char('=') + QString::number(static_cast<int>(key));
}

const QString Environment::PROJ_DIR = QStringLiteral("prj");
const QString Environment::PRICE_LIST_DIR = QStringLiteral("userdata/priceLists");
const QString Environment::PROJ_SCHEME_TABLE_DIR = QStringLiteral("userdata/schemeTable");
const QString Environment::PROJ_SCHEME_TABLE_DEFAULT_NAME = QStringLiteral("defaultTable");
const QString Environment::FACTORY_NAMES_FILE = QStringLiteral("factory.nam");
const QString Environment::KRXCHUNK_TXT_DATA_FILE = QStringLiteral("krxchunkdata.json");
const QString Environment::VS_WORK_DIR
    = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation).value(0) + QStringLiteral("/VARDOStudio/");

const QString Environment::PROJ_EXT = QStringLiteral(".vsp");
const QString Environment::PROJ_DEFAULT_SUFIX = QStringLiteral("_def.vsp");
const QString Environment::PROJ_GRAPH_EXT = QStringLiteral(".vsg");
const QString Environment::PROJ_SETTINGS_EXT = QStringLiteral(".vss");
const QString Environment::JSON_EXT = QStringLiteral(".json");
const QString Environment::ORLA_EXPORT_EXT = QStringLiteral(".vor");
const QString Environment::KRX_EXT = QStringLiteral(".krx");
const QString Environment::KRX_CHUNK_EXT = QStringLiteral(".kch");
const QString Environment::CSV_EXT = QStringLiteral(".csv");
const QString Environment::TXT_EXT = QStringLiteral(".txt");
const QString Environment::PDF_EXT = QStringLiteral(".pdf");
const QString Environment::HTML_EXT = QStringLiteral(".html");
const QString Environment::XML_EXT = QStringLiteral(".xml");
const QString Environment::TABLE_EXT = QStringLiteral(".vstab");
const QString Environment::EXCEL_EXT = QStringLiteral(".xlsx");
const QString Environment::LIBRECALC_EXT = QStringLiteral(".ods");
const QString Environment::PRICE_LIST_EXT = QStringLiteral(".vrl");
const QString Environment::TLK_DIARY_EXT = QStringLiteral(".tld");

QSharedPointer<Environment> Environment::m_instance;

Environment *Environment::instance()
{
    if (!m_instance)
        m_instance.reset(new Environment);
    return m_instance.data();
}

Environment::Environment()
    : m_styleResourcePrefix(QStringLiteral(":/styles/"))
    , m_supportedLocales{
          QLocale(QLocale::German, QLocale::Germany),
          QLocale(QLocale::English, QLocale::UnitedStates),
          QLocale(QLocale::Hungarian, QLocale::Hungary),
          QLocale(QLocale::Croatian, QLocale::Croatia),
          QLocale(QLocale::Lithuanian, QLocale::Lithuania),
          QLocale(QLocale::Polish, QLocale::Poland),
          QLocale(QLocale::Romanian, QLocale::Romania),
          QLocale(QLocale::Ukrainian, QLocale::Ukraine),
          QLocale(QLocale::Portuguese, QLocale::Portugal),
          QLocale(QLocale::Spanish, QLocale::Spain),
          QLocale(QLocale::Czech, QLocale::CzechRepublic),
      }
    , m_currencySymbols{
          {QLocale::Germany, QStringLiteral("€")},
          {QLocale::UnitedStates, QStringLiteral("$")},
          {QLocale::Hungary, QStringLiteral("Ft")},
          {QLocale::Croatia, QStringLiteral("kn")},
          {QLocale::Latvia, QStringLiteral("€")},
          {QLocale::Lithuania, QStringLiteral("€")},
          {QLocale::Poland, QStringLiteral("zł")},
          {QLocale::Romania, QStringLiteral("L")},
          {QLocale::Russia, QStringLiteral("₽")},
          {QLocale::Ukraine, QStringLiteral("₴")},
          {QLocale::Portugal, QStringLiteral("€")},
          {QLocale::Spain, QStringLiteral("€")},
          {QLocale::Italy, QStringLiteral("€")},
          {QLocale::BosniaAndHerzegowina, QStringLiteral("KM")},
          {QLocale::Serbia, QStringLiteral("RSD")},
          {QLocale::Estonia, QStringLiteral("€")},
          {QLocale::CzechRepublic, QStringLiteral("Kč")},
          {QLocale::Georgia, QStringLiteral("₾")},
      }
    , m_appType(APP_STUDIO)
    , m_uiSettingsGroup(QStringLiteral("UI_SETTINGS"))
    , m_appSettingsGroup(QStringLiteral("APP_SETTINGS"))
    , m_settingsFileName(QStringLiteral("uiconfig.ini"))
    , m_componentTypesFileName(QStringLiteral("comptypes.dat"))
    , m_componentParamsFileName(QStringLiteral("compparams.dat"))
    , m_versionDataFileName(QStringLiteral("ver.dat"))
    , m_appMode(MODE_DEFAULT)
{
}

Environment::~Environment()
{
    settingsfile::forget(this);
}

QVariant Environment::getSetting(EnvSettingKey key, QVariant::Type type)
{
    const auto it = m_settings.constFind(key);
    if (it != m_settings.constEnd())
        return it.value();
    return QVariant(type);
}

void Environment::setSetting(EnvSettingKey key, QVariant const &value)
{
    if (!value.isValid())
        return;
    m_settings.insert(key, value);
}

void Environment::removeSetting(EnvSettingKey key)
{
    m_settings.remove(key);
}

Environment::AppMode Environment::getAppMode() const
{
    return m_appMode;
}

void Environment::setAppMode(AppMode mode)
{
    m_appMode = mode;
}

QString Environment::getCurrencySymbol(QLocale::Country country)
{
    return m_currencySymbols.value(country);
}

QSet<QString> Environment::getAllCurrencySymbols()
{
    const QList<QString> symbols = m_currencySymbols.values();
    return QSet<QString>(symbols.cbegin(), symbols.cend());
}
