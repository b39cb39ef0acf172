#include "environment.h"

#include "deployment.h"
#include "settingsvariants_p.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QtDebug>

namespace
{

QString nameOf(EnvSettingKey key)
{
    return EnvSettingKeyEnumClass::idName(key);
}

// Qt reads a stored colour's model (RGB, HSV, ...) from the file without
// checking its range, and every copy of such a colour is undefined behaviour.
// Its own stream operator tells the model without copying the colour.
bool hasKnownColorModel(QVariant const &value)
{
    if (value.userType() != QMetaType::QColor)
        return true;
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << *static_cast<QColor const *>(value.constData());
    const int model = bytes.isEmpty() ? -1 : int(qint8(bytes.at(0)));
    return model >= QColor::Invalid && model <= QColor::ExtendedRgb;
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

    // QSettings blocks for ever opening a FIFO, takes a file it may not open
    // for an empty one, and crashes on some damaged "@Variant(" values. Such a
    // file is not handed to it (no name: every default) and counts as unread,
    // so that no write replaces it.
    const QFileInfo fileInfo(m_settingsFilePath);
    bool readable = !fileInfo.exists();
    if (!readable && fileInfo.isFile()) {
        QFile file(m_settingsFilePath);
        readable = file.open(QIODevice::ReadOnly) && settingsvariants::holdsOnlyKnownVariants(file.readAll());
    }
    QSettings settings(readable ? m_settingsFilePath : QString(), QSettings::IniFormat);
    // QSettings parses on first access; its status means nothing before that.
    settings.allKeys();
    m_unreadSettingsFilePath.clear();
    if (!readable || settings.status() != QSettings::NoError) {
        qInfo() << "Cannot read settings file:" << m_settingsFilePath;
        // Qt writes back only what it could parse: the next write must keep
        // the user's file first.
        m_unreadSettingsFilePath = m_settingsFilePath;
    }

    settings.beginGroup(m_uiSettingsGroup);
    m_settings.insert(LANG, settings.value(nameOf(LANG), QLocale::system().name()));
    m_settings.insert(STYLE, settings.value(nameOf(STYLE), QStringLiteral("default")));
    if (!skipFontsAndColors) {
        setDefaultFonts(&m_uiFonts, &m_uiColors);
        setDefaultColors(&m_uiColors);
        insertFont(settings, APP_FONT);
        insertColor(settings, APP_FONT_COLOR);
        insertFont(settings, GUI_COMPONENT_NAME_FONT);
        insertColor(settings, GUI_COMPONENT_NAME_FONT_COLOR);
        insertFont(settings, GUI_CABINET_NAME_FONT);
        insertColor(settings, GUI_CABINET_NAME_FONT_COLOR);
        insertFont(settings, GUI_NODE_NAME_FONT);
        insertColor(settings, GUI_NODE_NAME_FONT_COLOR);
        insertFont(settings, GUI_FAS_SYSTEM_NAME_FONT);
        insertColor(settings, GUI_FAS_SYSTEM_NAME_FONT_COLOR);
        insertColor(settings, GUI_LE_COLLISION_COLOR);
        insertColor(settings, GUI_LE_SELECTED_COLOR);
    }
    settings.endGroup();

    settings.beginGroup(m_appSettingsGroup);
    // Other application types have no work folder of their own; they share the
    // studio's default so that start-up always has a folder to create.
    m_settings.insert(WORK_DIR, settings.value(nameOf(WORK_DIR), VS_WORK_DIR));
    if (m_appType == APP_STUDIO) {
        m_settings.insert(OPEN_RECENT_FILES, settings.value(nameOf(OPEN_RECENT_FILES), QVariant()));
        m_settings.insert(AUTOSSAVE_TIME, settings.value(nameOf(AUTOSSAVE_TIME), QVariant()));
        m_settings.insert(KORAX_DIARY_INPUT_DIR, settings.value(nameOf(KORAX_DIARY_INPUT_DIR), getWorkPath()));
        m_settings.insert(KORAX_DIARY_OUTPUT_DIR, settings.value(nameOf(KORAX_DIARY_OUTPUT_DIR), getWorkPath()));
        m_settings.insert(UPDATES_HTTP_URL, QString::fromUtf8(deployment::updatesPageUrl));
    }

    m_settings.insert(LOG_FILE, settings.value(nameOf(LOG_FILE), QStringLiteral("app.log")));
    m_settings.insert(LOG_LEVEL, settings.value(nameOf(LOG_LEVEL), QStringLiteral("error")));
    m_settings.insert(COMPONENT_DATA_BANK, settings.value(nameOf(COMPONENT_DATA_BANK), QStringLiteral("FileDataBank")));
    for (EnvSettingKey key : {UPDATES_HTTP_URL_TEST, UPDATES_LOCAL_DIR, SECURE_ARG_2001, PRESENTATION_MODE}) {
        const QString text = settings.value(nameOf(key), QString()).toString();
        if (!text.isEmpty())
            m_settings.insert(key, text);
    }
    m_settings.insert(APP_VERSION, settings.value(nameOf(APP_VERSION), QStringLiteral("")));
    if (settings.contains(nameOf(APP_MODE)))
        m_settings.insert(APP_MODE, settings.value(nameOf(APP_MODE), QString()));
    settings.endGroup();
    return true;
}

void Environment::writeSettings()
{
    if (m_settingsFilePath.isEmpty())
        m_settingsFilePath = getConfigPath() + QLatin1Char('/') + m_settingsFileName;
    qInfo() << "writing settings file:" << m_settingsFilePath;

    // QSettings does not create the folder, so a first run would write nothing.
    const QFileInfo fileInfo(m_settingsFilePath);
    QDir().mkpath(fileInfo.absolutePath());

    // QSettings would block for ever on a FIFO, and cannot write over a folder.
    if (fileInfo.exists() && !fileInfo.isFile()) {
        qWarning() << "Cannot write settings file:" << m_settingsFilePath;
        return;
    }

    // The write merges with what the file holds now: one QSettings cannot
    // parse safely is kept aside and started afresh.
    bool startAfresh = false;
    if (fileInfo.exists()) {
        QFile current(m_settingsFilePath);
        startAfresh = current.open(QIODevice::ReadOnly) && !settingsvariants::holdsOnlyKnownVariants(current.readAll());
    }

    if (startAfresh || (!m_unreadSettingsFilePath.isEmpty() && m_unreadSettingsFilePath == m_settingsFilePath)) {
        if (fileInfo.exists()) {
            const QString backupPath = m_settingsFilePath + QStringLiteral(".bak");
            // The former copy goes only when there is a new one to take its place.
            QFile source(m_settingsFilePath);
            const bool copyable = source.open(QIODevice::ReadOnly);
            if (copyable && QFile::exists(backupPath))
                QFile::remove(backupPath);
            if (!copyable || !QFile::copy(m_settingsFilePath, backupPath)) {
                // Writing now would drop what Qt could not parse, with no copy left.
                qCritical() << "Cannot keep a copy of the settings file, not writing it:" << backupPath;
                return;
            }
            if (startAfresh && !QFile::remove(m_settingsFilePath)) {
                qCritical() << "Cannot replace the settings file, not writing it:" << m_settingsFilePath;
                return;
            }
            qWarning() << "Settings file was not read completely, its former content is kept in:" << backupPath;
        }
        m_unreadSettingsFilePath.clear();
    }

    QSettings settings(m_settingsFilePath, QSettings::IniFormat);
    settings.beginGroup(m_uiSettingsGroup);
    settings.setValue(nameOf(LANG), m_settings.value(LANG).toString());
    settings.setValue(nameOf(STYLE), m_settings.value(STYLE).toString());
    for (auto it = m_uiFonts.constBegin(); it != m_uiFonts.constEnd(); ++it)
        settings.setValue(nameOf(it.key()), QVariant::fromValue(it.value()));
    for (auto it = m_uiColors.constBegin(); it != m_uiColors.constEnd(); ++it)
        settings.setValue(nameOf(it.key()), QVariant::fromValue(it.value()));
    settings.endGroup();

    settings.beginGroup(m_appSettingsGroup);
    for (EnvSettingKey key : {WORK_DIR, LOG_FILE, LOG_LEVEL, COMPONENT_DATA_BANK, UPDATES_HTTP_URL, UPDATES_LOCAL_DIR,
             UPDATES_HTTP_URL_TEST, KORAX_DIARY_INPUT_DIR, KORAX_DIARY_OUTPUT_DIR, OPEN_RECENT_FILES, AUTOSSAVE_TIME,
             APP_VERSION, PRESENTATION_MODE}) {
        const QString text = m_settings.value(key).toString();
        if (text.isEmpty())
            settings.remove(nameOf(key));
        else
            settings.setValue(nameOf(key), text);
    }
    const auto mode = m_settings.constFind(APP_MODE);
    if (mode == m_settings.constEnd())
        settings.remove(nameOf(APP_MODE));
    else if (!mode.value().toString().isEmpty())
        settings.setValue(nameOf(APP_MODE), mode.value().toString());
    settings.endGroup();

    settings.sync();
    if (settings.status() == QSettings::AccessError)
        qWarning() << "Cannot write settings file:" << m_settingsFilePath;
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
    if (value.isValid() && value.canConvert<QColor>() && hasKnownColorModel(value))
        m_uiColors.insert(key, qvariant_cast<QColor>(value));
}
