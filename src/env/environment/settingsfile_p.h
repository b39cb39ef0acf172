#ifndef ENV_SETTINGSFILE_P_H
#define ENV_SETTINGSFILE_P_H

#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

class Environment;
class QSettings;

// The settings file kept safe, whatever the store puts in it: a file Qt cannot
// parse safely never reaches QSettings, one it reads only in part is copied
// aside (numbered backups) before a write, and a write merges under QSettings'
// lock file only what this process changed since it last read or wrote it.
namespace settingsfile
{

// What a write does with one entry of the file.
struct Written {
    enum Action { Set, Remove, Leave };
    Action action = Leave;
    QVariant value;
};
using Entries = QVector<QPair<QString, Written>>; // "SECTION/KEY"

// Qt reads a stored colour's model (RGB, HSV, ...) from the file without
// checking its range, and every copy of such a colour is undefined behaviour.
bool hasKnownColorModel(QVariant const &value);

// The name to hand QSettings for a load: an empty one (every default) for a
// file it must not open. *complete turns false when Qt would not read the
// file completely, so that a write keeps a copy first.
QString loadablePath(QString const &path, bool *complete);

// What the file held and what the store would write, at a load.
void remember(Environment const *owner, QString const &path, Entries const &entries, QSettings const &settings);

// Writes what changed, and clears *unreadPath once the unread file's content
// is kept in a copy. Failures are logged as "Cannot write settings file:".
void write(Environment const *owner, QString const &path, Entries const &entries, QString *unreadPath);

// Drops what the settings file held when an environment last read or wrote it.
void forget(Environment const *environment);

} // namespace settingsfile

#endif
