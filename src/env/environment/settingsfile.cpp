#include "settingsfile_p.h"

#include "settingsvariants_p.h"

#include <QColor>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSettings>
#include <QtDebug>

#include <optional>

namespace
{

using settingsfile::Entries;
using settingsfile::Written;
using settingsvariants::Verdict;
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
    if (!settingsfile::hasKnownColorModel(value))
        return QVariant(QStringLiteral("\x01unreadable colour"));
    return value;
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

// The verdict on the objects the file stores; none when it cannot be opened.
std::optional<Verdict> scanned(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return settingsvariants::scan(file.readAll());
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

// A file QSettings cannot parse safely is copied aside and started afresh;
// one it reads but not completely is copied before QSettings rewrites it.
// False when the file must not be written.
bool keepUnreadContent(QString const &path, bool startAfresh)
{
    const QString backupPath = keepBackup(path);
    if (backupPath.isEmpty()) {
        // Writing now would drop what Qt could not parse, with no copy left.
        qCritical() << "Cannot keep a copy of the settings file, not writing it:" << path;
        qWarning() << "Cannot write settings file:" << path << "no copy of the unread file";
        return false;
    }
    if (startAfresh && !QFile::remove(path)) {
        qCritical() << "Cannot replace the settings file, not writing it:" << path;
        qWarning() << "Cannot write settings file:" << path << writeFailureReason(path);
        return false;
    }
    qWarning() << "Settings file was not read completely, its former content is kept in:" << backupPath;
    return true;
}

} // namespace

namespace settingsfile
{

// Qt's own stream operator tells the colour's model without copying it.
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

QString loadablePath(QString const &path, bool *complete)
{
    // QSettings blocks for ever opening a FIFO, takes a file it may not open
    // for an empty one, and crashes or hangs on some damaged stored objects.
    // Such a file is not handed to it and counts as unread. A file with an
    // object Qt cannot read completely (but safely) is read.
    const QFileInfo fileInfo(path);
    const std::optional<Verdict> verdict = !fileInfo.exists() ? Verdict::Clean
        : fileInfo.isFile()                                   ? scanned(path)
                                                              : std::nullopt;
    const bool readable = verdict && *verdict != Verdict::Unsafe;
    *complete = verdict == Verdict::Clean;
    return readable ? path : QString();
}

void remember(Environment const *owner, QString const &path, Entries const &entries, QSettings const &settings)
{
    FileState &state = fileStates()[owner];
    state = FileState();
    state.path = path;
    for (auto const &entry : entries) {
        state.written.insert(entry.first, entry.second);
        state.file.insert(entry.first, fileValue(settings, entry.first));
    }
}

void write(Environment const *owner, QString const &path, Entries const &entries, QString *unreadPath)
{
    // QSettings does not create the folder, so a first run would write nothing.
    const QFileInfo fileInfo(path);
    QDir().mkpath(fileInfo.absolutePath());

    // QSettings would block for ever on a FIFO, and cannot write over a folder.
    if (fileInfo.exists() && !fileInfo.isFile()) {
        qWarning() << "Cannot write settings file:" << path << writeFailureReason(path);
        return;
    }

    // The write merges with what the file holds now.
    const Verdict verdict = fileInfo.exists() ? scanned(path).value_or(Verdict::Clean) : Verdict::Clean;
    const bool startAfresh = verdict == Verdict::Unsafe;
    if (verdict != Verdict::Clean || (!unreadPath->isEmpty() && *unreadPath == path)) {
        if (fileInfo.exists() && !keepUnreadContent(path, startAfresh))
            return;
        unreadPath->clear();
    }

    // Only what this process changed since it read the file is written, so
    // that another process's change of another entry survives: QSettings
    // merges these changes into the file as it is under its lock file. An
    // entry this process did not change is still written when the file lacks
    // it or holds another value (a default, the fixed page address), unless
    // another process changed it since.
    const auto state = fileStates().constFind(owner);
    // A file that is gone (or started afresh) gets everything again.
    const bool known = state != fileStates().constEnd() && state->path == path && !startAfresh && fileInfo.exists();
    QSettings settings(path, QSettings::IniFormat);
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
        qWarning() << "Cannot write settings file:" << path << writeFailureReason(path);
        return;
    }
    remember(owner, path, entries, settings);
}

void forget(Environment const *environment)
{
    if (!fileStateTable.isDestroyed())
        fileStates().remove(environment);
}

} // namespace settingsfile
