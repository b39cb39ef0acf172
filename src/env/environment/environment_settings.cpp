#include "environment.h"

#include "deployment.h"
#include "settingsfile_p.h"
#include "settingskeys_p.h"

#include <QFileInfo>
#include <QSettings>
#include <QtDebug>

namespace
{

using settingsfile::Entries;
using settingsfile::Written;
using settingskeys::Read;
using settingskeys::Write;

QString nameOf(EnvSettingKey key)
{
    return EnvSettingKeyEnumClass::idName(key);
}

QString groupOf(settingskeys::Key const &row, QString const &uiGroup, QString const &appGroup)
{
    return row.section == settingskeys::Section::Ui ? uiGroup : appGroup;
}

// What a write puts in the entry of a key kept as text.
Written textWrite(settingskeys::Key const &row, QHash<EnvSettingKey, QVariant> const &store)
{
    const auto stored = store.constFind(row.key);
    const QString text = stored == store.constEnd() ? QString() : stored.value().toString();
    if (row.write == Write::Always || !text.isEmpty())
        return {Written::Set, text};
    if (row.write == Write::WhenStored && stored != store.constEnd())
        return {Written::Leave, {}};
    return {Written::Remove, {}};
}

// The store's fonts or colours: the table's keys first, then any other key a
// host gave one (every one the store holds is written).
template <typename Value>
void appendStored(Entries &entries, QString const &ui, QHash<EnvSettingKey, Value> const &values, Read kind)
{
    QList<EnvSettingKey> keys;
    for (settingskeys::Key const &row : settingskeys::keys) {
        if (row.read == kind && values.contains(row.key))
            keys.append(row.key);
    }
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        if (!keys.contains(it.key()))
            keys.append(it.key());
    }
    for (EnvSettingKey key : keys)
        entries.append({ui + nameOf(key), {Written::Set, QVariant::fromValue(values.value(key))}});
}

// Every entry a write takes care of, with what it puts there: one list that
// loading (to remember the start) and writing go through alike. Texts come
// first, then fonts, then colours, so that a colour a host keeps under the
// key of a font (or a font under a text's) is what the file gets.
Entries entriesToWrite(QHash<EnvSettingKey, QVariant> const &store, QHash<EnvSettingKey, QFont> const &fonts,
    QHash<EnvSettingKey, QColor> const &colors, QString const &uiGroup, QString const &appGroup)
{
    Entries entries;
    for (settingskeys::Key const &row : settingskeys::keys) {
        if (row.write != Write::Stored && row.write != Write::Never)
            entries.append(
                {groupOf(row, uiGroup, appGroup) + QLatin1Char('/') + nameOf(row.key), textWrite(row, store)});
    }
    const QString ui = uiGroup + QLatin1Char('/');
    appendStored(entries, ui, fonts, Read::Font);
    appendStored(entries, ui, colors, Read::Color);
    return entries;
}

// The value a load takes when the file has none.
QVariant defaultValue(settingskeys::Key const &row, Environment const &environment)
{
    switch (row.fallback) {
    case settingskeys::Default::None: return QVariant();
    case settingskeys::Default::Text: return QString::fromLatin1(row.text);
    case settingskeys::Default::SystemLocale: return QLocale::system().name();
    // Other application types have no work folder of their own; they share the
    // studio's default so that start-up always has a folder to create.
    case settingskeys::Default::StudioWorkDir: return Environment::VS_WORK_DIR;
    case settingskeys::Default::WorkPath: return environment.getWorkPath();
    }
    return QVariant();
}

} // namespace

bool Environment::loadSettings(bool skipFontsAndColors, QString const &path)
{
    m_settings.clear();

    if (!path.isEmpty() && QFileInfo(path).isFile())
        m_settingsFilePath = path;
    else
        m_settingsFilePath = getConfigPath() + QLatin1Char('/') + m_settingsFileName;
    qInfo() << "Settings file: " << m_settingsFilePath;

    bool complete = true;
    QSettings settings(settingsfile::loadablePath(m_settingsFilePath, &complete), QSettings::IniFormat);
    // QSettings parses on first access; its status means nothing before that.
    settings.allKeys();
    m_unreadSettingsFilePath.clear();
    if (!complete || settings.status() != QSettings::NoError) {
        qInfo() << "Cannot read settings file:" << m_settingsFilePath;
        // Qt writes back only what it could parse: the next write must keep
        // the user's file first.
        m_unreadSettingsFilePath = m_settingsFilePath;
    }

    if (!skipFontsAndColors) {
        setDefaultFonts(&m_uiFonts, &m_uiColors);
        setDefaultColors(&m_uiColors);
    }
    for (settingskeys::Key const &row : settingskeys::keys) {
        const bool fontOrColor = row.read == Read::Font || row.read == Read::Color;
        if ((row.studioOnly && m_appType != APP_STUDIO) || (fontOrColor && skipFontsAndColors))
            continue;
        const QString name = nameOf(row.key);
        settings.beginGroup(groupOf(row, m_uiSettingsGroup, m_appSettingsGroup));
        switch (row.read) {
        case Read::Value: m_settings.insert(row.key, settings.value(name, defaultValue(row, *this))); break;
        case Read::TextWhenSet: {
            const QString text = settings.value(name, QString()).toString();
            if (!text.isEmpty())
                m_settings.insert(row.key, text);
            break;
        }
        case Read::WhenPresent:
            if (settings.contains(name))
                m_settings.insert(row.key, settings.value(name, QString()));
            break;
        case Read::UpdatesPage: m_settings.insert(row.key, QString::fromUtf8(deployment::updatesPageUrl)); break;
        case Read::Font: insertFont(settings, row.key); break;
        case Read::Color: insertColor(settings, row.key); break;
        }
        settings.endGroup();
    }

    settingsfile::remember(this, m_settingsFilePath,
        entriesToWrite(m_settings, m_uiFonts, m_uiColors, m_uiSettingsGroup, m_appSettingsGroup), settings);
    return true;
}

void Environment::writeSettings()
{
    if (m_settingsFilePath.isEmpty())
        m_settingsFilePath = getConfigPath() + QLatin1Char('/') + m_settingsFileName;
    qInfo() << "writing settings file:" << m_settingsFilePath;
    settingsfile::write(this, m_settingsFilePath,
        entriesToWrite(m_settings, m_uiFonts, m_uiColors, m_uiSettingsGroup, m_appSettingsGroup),
        &m_unreadSettingsFilePath);
}

void Environment::insertFont(QSettings const &settings, EnvSettingKey key)
{
    const QVariant value = settings.value(nameOf(key), QVariant());
    if (value.isValid() && value.canConvert<QFont>())
        m_uiFonts.insert(key, qvariant_cast<QFont>(value));
}

void Environment::insertColor(QSettings const &settings, EnvSettingKey key)
{
    const QVariant value = settings.value(nameOf(key), QVariant());
    if (value.isValid() && value.canConvert<QColor>() && settingsfile::hasKnownColorModel(value))
        m_uiColors.insert(key, qvariant_cast<QColor>(value));
}
