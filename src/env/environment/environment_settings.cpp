#include "environment.h"

#include "deployment.h"
#include "environment_settings_p.h"
#include "settingsvariants_p.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QtDebug>

#include <algorithm>
#include <optional>

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

// What a write does with one entry of the file.
struct Written {
    enum Action { Set, Remove, Leave };
    Action action = Leave;
    QVariant value;
};
using Entries = QVector<QPair<QString, Written>>; // "SECTION/KEY"
using FileValue = std::optional<QVariant>; // nullopt: no such entry

bool sameValue(QVariant const &a, QVariant const &b)
{
    return a.userType() == b.userType() && a == b;
}

bool sameFileValue(FileValue const &a, FileValue const &b)
{
    return a.has_value() == b.has_value() && (!a || sameValue(*a, *b));
}

bool sameWrite(Written const &a, Written const &b)
{
    return a.action == b.action && (a.action != Written::Set || sameValue(a.value, b.value));
}

// True when the file already holds what the write would put there.
bool fileHolds(FileValue const &file, Written const &written)
{
    switch (written.action) {
    case Written::Set: return file && sameValue(*file, written.value);
    case Written::Remove: return !file;
    case Written::Leave: return true;
    }
    return true;
}

FileValue fileValue(QSettings const &settings, QString const &key)
{
    if (!settings.contains(key))
        return std::nullopt;
    const QVariant value = settings.value(key);
    // A colour of an unknown model is never compared (see above); it stands
    // for itself as a text no write produces.
    if (!hasKnownColorModel(value))
        return QVariant(QStringLiteral("\x01unreadable colour"));
    return value;
}

// Every entry a write takes care of, with what it puts there: one list that
// loading (to remember the start) and writing go through alike.
Entries entriesToWrite(QHash<EnvSettingKey, QVariant> const &store, QHash<EnvSettingKey, QFont> const &fonts,
    QHash<EnvSettingKey, QColor> const &colors, QString const &uiGroup, QString const &appGroup)
{
    Entries entries;
    const QString ui = uiGroup + QLatin1Char('/');
    const QString app = appGroup + QLatin1Char('/');
    for (EnvSettingKey key : {LANG, STYLE})
        entries.append({ui + nameOf(key), {Written::Set, store.value(key).toString()}});
    for (auto it = fonts.constBegin(); it != fonts.constEnd(); ++it)
        entries.append({ui + nameOf(it.key()), {Written::Set, QVariant::fromValue(it.value())}});
    for (auto it = colors.constBegin(); it != colors.constEnd(); ++it)
        entries.append({ui + nameOf(it.key()), {Written::Set, QVariant::fromValue(it.value())}});
    for (EnvSettingKey key : {WORK_DIR, LOG_FILE, LOG_LEVEL, COMPONENT_DATA_BANK, UPDATES_HTTP_URL, UPDATES_LOCAL_DIR,
             UPDATES_HTTP_URL_TEST, KORAX_DIARY_INPUT_DIR, KORAX_DIARY_OUTPUT_DIR, OPEN_RECENT_FILES, AUTOSSAVE_TIME,
             APP_VERSION, PRESENTATION_MODE}) {
        const QString text = store.value(key).toString();
        entries.append(
            {app + nameOf(key), text.isEmpty() ? Written{Written::Remove, {}} : Written{Written::Set, text}});
    }
    const auto mode = store.constFind(APP_MODE);
    Written modeWrite;
    if (mode == store.constEnd())
        modeWrite.action = Written::Remove;
    else if (!mode.value().toString().isEmpty())
        modeWrite = {Written::Set, mode.value().toString()};
    entries.append({app + nameOf(APP_MODE), modeWrite});
    return entries;
}

// What the file held and what the store would have written, at the last load
// or write of each environment: a write changes only what changed since.
struct FileState {
    QString path;
    QHash<QString, Written> written;
    QHash<QString, FileValue> file;
};

using FileStates = QHash<Environment const *, FileState>;
// The singleton may outlive this table at the end of the process.
Q_GLOBAL_STATIC(FileStates, fileStateTable)

FileStates &fileStates()
{
    return *fileStateTable();
}

void remember(Environment const *environment, QString const &path, Entries const &entries, QSettings const &settings)
{
    FileState &state = fileStates()[environment];
    state = FileState();
    state.path = path;
    for (auto const &entry : entries) {
        state.written.insert(entry.first, entry.second);
        state.file.insert(entry.first, fileValue(settings, entry.first));
    }
}

// Copies of a settings file the library could not read completely. Each copy
// has a name of its own and is never overwritten: "uiconfig.ini.bak", then
// "uiconfig.ini.bak.2", "uiconfig.ini.bak.3", ...; only the newest few stay.
constexpr int keptBackups = 5;

QMap<int, QString> backupsOf(QString const &path)
{
    const QFileInfo info(path);
    const QRegularExpression pattern(
        QStringLiteral("^%1\\.bak(?:\\.([0-9]{1,9}))?$").arg(QRegularExpression::escape(info.fileName())));
    QMap<int, QString> backups;
    for (QFileInfo const &candidate : info.dir().entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch match = pattern.match(candidate.fileName());
        if (match.hasMatch() && !candidate.isSymLink())
            backups.insert(match.captured(1).isEmpty() ? 1 : match.captured(1).toInt(), candidate.filePath());
    }
    return backups;
}

QByteArray contentOf(QString const &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

// The name of the copy that now holds the file's content, or an empty text.
QString keepBackup(QString const &path)
{
    bool readable = false;
    const QByteArray content = contentOf(path, &readable);
    if (!readable)
        return QString();
    QMap<int, QString> backups = backupsOf(path);
    if (!backups.isEmpty()) {
        bool ok = false;
        if (contentOf(backups.last(), &ok) == content && ok)
            return backups.last();
    }
    const int number = backups.isEmpty() ? 1 : backups.lastKey() + 1;
    const QString backup = path + (number == 1 ? QStringLiteral(".bak") : QStringLiteral(".bak.%1").arg(number));
    // QFile::copy never replaces an existing file.
    if (!QFile::copy(path, backup))
        return QString();
    backups.insert(number, backup);
    while (backups.size() > keptBackups)
        QFile::remove(backups.take(backups.firstKey()));
    return backup;
}

// Why a write failed, for the log line and the host.
QString writeFailureReason(QString const &path)
{
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    if (file.exists() && !file.isFile())
        return QStringLiteral("not a plain file");
    if (!folder.isDir())
        return QStringLiteral("the folder does not exist");
    QFile probe(path);
    if (file.exists() && !probe.open(QIODevice::ReadWrite))
        return QStringLiteral("the file is read-only (%1)").arg(probe.errorString());
    if (!folder.isWritable())
        return QStringLiteral("the folder is read-only");
    return QStringLiteral("access denied or disk full");
}

} // namespace

namespace settingsfile
{

void forget(Environment const *environment)
{
    if (!fileStateTable.isDestroyed())
        fileStates().remove(environment);
}

} // namespace settingsfile

bool Environment::loadSettings(bool skipFontsAndColors, QString const &path)
{
    m_settings.clear();

    if (!path.isEmpty() && QFileInfo(path).isFile())
        m_settingsFilePath = path;
    else
        m_settingsFilePath = getConfigPath() + QLatin1Char('/') + m_settingsFileName;
    qInfo() << "Settings file: " << m_settingsFilePath;

    // QSettings blocks for ever opening a FIFO, takes a file it may not open
    // for an empty one, and crashes or hangs on some damaged stored objects.
    // Such a file is not handed to it (no name: every default) and counts as
    // unread, so that a write keeps a copy first. A file with an object Qt
    // cannot read completely (but safely) is read, and copied before a write.
    const QFileInfo fileInfo(m_settingsFilePath);
    bool readable = !fileInfo.exists();
    bool complete = true;
    if (!readable && fileInfo.isFile()) {
        QFile file(m_settingsFilePath);
        if (file.open(QIODevice::ReadOnly)) {
            const settingsvariants::Verdict verdict = settingsvariants::scan(file.readAll());
            readable = verdict != settingsvariants::Verdict::Unsafe;
            complete = verdict == settingsvariants::Verdict::Clean;
        }
    }
    QSettings settings(readable ? m_settingsFilePath : QString(), QSettings::IniFormat);
    // QSettings parses on first access; its status means nothing before that.
    settings.allKeys();
    m_unreadSettingsFilePath.clear();
    if (!readable || !complete || settings.status() != QSettings::NoError) {
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

    remember(this, m_settingsFilePath,
        entriesToWrite(m_settings, m_uiFonts, m_uiColors, m_uiSettingsGroup, m_appSettingsGroup), settings);
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
        qWarning() << "Cannot write settings file:" << m_settingsFilePath << writeFailureReason(m_settingsFilePath);
        return;
    }

    // The write merges with what the file holds now: a file QSettings cannot
    // parse safely is copied aside and started afresh; one it reads but not
    // completely is copied before QSettings rewrites it.
    auto verdict = settingsvariants::Verdict::Clean;
    if (fileInfo.exists()) {
        QFile current(m_settingsFilePath);
        if (current.open(QIODevice::ReadOnly))
            verdict = settingsvariants::scan(current.readAll());
    }
    const bool startAfresh = verdict == settingsvariants::Verdict::Unsafe;
    if (verdict != settingsvariants::Verdict::Clean
        || (!m_unreadSettingsFilePath.isEmpty() && m_unreadSettingsFilePath == m_settingsFilePath)) {
        if (fileInfo.exists()) {
            const QString backupPath = keepBackup(m_settingsFilePath);
            if (backupPath.isEmpty()) {
                // Writing now would drop what Qt could not parse, with no copy left.
                qCritical() << "Cannot keep a copy of the settings file, not writing it:" << m_settingsFilePath;
                qWarning() << "Cannot write settings file:" << m_settingsFilePath << "no copy of the unread file";
                return;
            }
            if (startAfresh && !QFile::remove(m_settingsFilePath)) {
                qCritical() << "Cannot replace the settings file, not writing it:" << m_settingsFilePath;
                qWarning() << "Cannot write settings file:" << m_settingsFilePath
                           << writeFailureReason(m_settingsFilePath);
                return;
            }
            qWarning() << "Settings file was not read completely, its former content is kept in:" << backupPath;
        }
        m_unreadSettingsFilePath.clear();
    }

    // Only what this process changed since it read the file is written, so
    // that another process's change of another entry survives: QSettings
    // merges these changes into the file as it is under its lock file. An
    // entry this process did not change is still written when the file lacks
    // it or holds another value (a default, the fixed page address), unless
    // another process changed it since.
    const Entries entries = entriesToWrite(m_settings, m_uiFonts, m_uiColors, m_uiSettingsGroup, m_appSettingsGroup);
    const auto state = fileStates().constFind(this);
    // A file that is gone (or started afresh) gets everything again.
    const bool known
        = state != fileStates().constEnd() && state->path == m_settingsFilePath && !startAfresh && fileInfo.exists();
    QSettings settings(m_settingsFilePath, QSettings::IniFormat);
    for (auto const &entry : entries) {
        const Written &written = entry.second;
        const FileValue current = fileValue(settings, entry.first);
        if (fileHolds(current, written))
            continue;
        if (known && state->written.contains(entry.first) && sameWrite(state->written.value(entry.first), written)
            && !sameFileValue(state->file.value(entry.first), current))
            continue;
        if (written.action == Written::Set)
            settings.setValue(entry.first, written.value);
        else
            settings.remove(entry.first);
    }
    settings.sync();
    if (settings.status() == QSettings::AccessError) {
        qWarning() << "Cannot write settings file:" << m_settingsFilePath << writeFailureReason(m_settingsFilePath);
        return;
    }
    remember(this, m_settingsFilePath, entries, settings);
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
