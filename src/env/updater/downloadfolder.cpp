#include "downloadfolder_p.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>

#include <vector>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace downloadfolder
{

namespace
{

// Fresh names tried beside the folder before giving up.
constexpr int FreshNameAttempts = 16;

QString withoutTrailingSeparator(QString path)
{
    while (path.size() > 1 && (path.endsWith(QLatin1Char('/')) || path.endsWith(QDir::separator())))
        path.chop(1);
    return path;
}

bool makePrivateFolder(QString const &folder)
{
    const QString path = withoutTrailingSeparator(folder);
#ifdef Q_OS_WIN
    // The per-user temporary folder is the user's own.
    return QDir().mkdir(path);
#else
    return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0;
#endif
}

QString freshToken()
{
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString token;
    for (int i = 0; i < 8; ++i)
        token += QLatin1Char(digits[QRandomGenerator::system()->bounded(int(sizeof(digits) - 1))]);
    return token;
}

// Locks whose file has been replaced by another updater's: unlocking would
// delete that updater's lock file, so they are never unlocked.
void keepUnreleased(std::unique_ptr<QLockFile> lock)
{
    static std::vector<QLockFile *> kept;
    kept.push_back(lock.release());
}

bool isHeldLockFile(Facts const &now, Facts const &made)
{
    return now.exists && !now.isLink && !now.isDir && now.device == made.device && now.inode == made.inode;
}

// Takes folder when it is ours and no live updater holds it.
bool take(Held &held, QString const &folder)
{
    const Verdict verdict = judge(inspect(folder));
    if (verdict != Verdict::Ours) {
        qWarning().noquote() << "Download folder not used:" << folder << "-" << reason(verdict);
        return false;
    }
    auto lock = std::make_unique<QLockFile>(lockPath(folder));
    // A lock is taken over only when its holder has died, never for its age:
    // an update may wait for its user for hours.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        qInfo().noquote() << "Download folder not used:" << folder << "- held by another updater";
        return false;
    }
    // Once more with the lock taken: the folder must not have changed meanwhile.
    const Facts lockFacts = inspect(lockPath(folder));
    if (judge(inspect(folder)) != Verdict::Ours || lockFacts.isLink) {
        qWarning().noquote() << "Download folder not used:" << folder << "- changed while it was taken";
        return false;
    }
    held.path = folder;
    held.lock = std::move(lock);
    held.lockFacts = lockFacts;
    // What an updater that died left behind.
    removeFiles(folder);
    return true;
}

} // namespace

Verdict judge(Facts const &facts)
{
    if (!facts.exists)
        return Verdict::Missing;
    if (facts.isLink)
        return Verdict::Link;
    if (!facts.isDir)
        return Verdict::NotFolder;
    if (facts.owner != facts.user)
        return Verdict::Foreign;
    if (facts.mode & 077)
        return Verdict::OpenToOthers;
    return Verdict::Ours;
}

char const *reason(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ours: return "ours";
    case Verdict::Missing: return "missing, and it cannot be made";
    case Verdict::Link: return "a link stands in its place";
    case Verdict::NotFolder: return "not a folder";
    case Verdict::Foreign: return "owned by another user";
    case Verdict::OpenToOthers: return "other users can enter it";
    }
    return "";
}

QString folderPath(QString const &tempRoot, QString const &name, QString const &token)
{
#ifdef Q_OS_WIN
    const QChar separator = QLatin1Char('\\');
#else
    const QChar separator = QLatin1Char('/');
#endif
    QString path = tempRoot + separator + name;
    if (!token.isEmpty())
        path += QLatin1Char('-') + token;
    return path + separator;
}

QString lockPath(QString const &folder)
{
    return folder + QStringLiteral(".lock");
}

Facts inspect(QString const &path)
{
    Facts facts;
    const QString entry = withoutTrailingSeparator(path);
#ifdef Q_OS_WIN
    const QFileInfo info(entry);
    facts.isLink = info.isSymLink() || info.isJunction();
    facts.exists = info.exists() || facts.isLink;
    facts.isDir = info.isDir();
    facts.owner = 0;
    facts.user = 0;
    facts.mode = 0700;
#else
    struct stat status;
    if (::lstat(QFile::encodeName(entry).constData(), &status) != 0)
        return facts;
    facts.exists = true;
    facts.isLink = S_ISLNK(status.st_mode);
    facts.isDir = S_ISDIR(status.st_mode);
    facts.owner = status.st_uid;
    facts.user = ::geteuid();
    facts.mode = int(status.st_mode & 07777);
    facts.device = quint64(status.st_dev);
    facts.inode = quint64(status.st_ino);
#endif
    return facts;
}

Held::Held() = default;

Held::~Held()
{
    release(*this, false);
}

bool acquire(Held &held, QString const &tempRoot, QString const &name)
{
    release(held, false);
    if (tempRoot.isEmpty())
        return false;

    const QString own = folderPath(tempRoot, name);
    if (!inspect(own).exists)
        makePrivateFolder(own);
    if (take(held, own))
        return true;

    // Folders of this user's beside it whose updater died.
    const QStringList siblings = QDir(tempRoot).entryList(
        QStringList(name + QStringLiteral("-*")), QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (QString const &sibling : siblings) {
        const QString folder = folderPath(tempRoot, name, sibling.mid(name.size() + 1));
        if (judge(inspect(folder)) == Verdict::Ours && take(held, folder))
            return true;
    }

    for (int attempt = 0; attempt < FreshNameAttempts; ++attempt) {
        const QString folder = folderPath(tempRoot, name, freshToken());
        if (makePrivateFolder(folder) && take(held, folder))
            return true;
    }
    return false;
}

bool holds(Held const &held)
{
    if (!held.lock || !held.lock->isLocked() || held.path.isEmpty())
        return false;
    return judge(inspect(held.path)) == Verdict::Ours && isHeldLockFile(inspect(lockPath(held.path)), held.lockFacts);
}

void release(Held &held, bool removeFolder)
{
    if (!held.lock) {
        held.path.clear();
        return;
    }
    const bool stillHeld = holds(held);
    if (removeFolder && stillHeld)
        removeFiles(held.path);

    const Facts lockNow = inspect(lockPath(held.path));
    if (!lockNow.exists || isHeldLockFile(lockNow, held.lockFacts))
        held.lock.reset();
    else
        keepUnreleased(std::move(held.lock));

    if (removeFolder && stillHeld && !QDir().rmdir(withoutTrailingSeparator(held.path)))
        qWarning().noquote() << "Cannot remove temporary folder:" << held.path;
    held.path.clear();
}

void removeFiles(QString const &folder)
{
    const QString lockName = QFileInfo(withoutTrailingSeparator(lockPath(folder))).fileName();
    const QFileInfoList entries
        = QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (QFileInfo const &entry : entries) {
        // QLockFile's own helper files start with the lock file's name.
        if (entry.fileName().startsWith(lockName))
            continue;
        if (entry.isSymLink() || !entry.isDir())
            QFile::remove(entry.filePath());
    }
}

void removeEntry(QString const &path)
{
    const Facts facts = inspect(path);
    if (facts.exists && (facts.isLink || !facts.isDir))
        QFile::remove(path);
}

QString pathOf(QString const &folder, QString const &name)
{
    if (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QDir::separator()))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

bool isPlainFileName(QString const &name)
{
    if (name.isEmpty() || name.toUtf8().size() > 255)
        return false;
    if (name.startsWith(QLatin1Char('.')) || name.contains(QLatin1String("..")))
        return false;
    for (uint c : name.toUcs4()) {
        if (!QChar::isPrint(c) || QStringLiteral("/\\:*?\"<>|").contains(QChar(c)))
            return false;
    }
    return true;
}

bool isSetupFileName(QString const &name, QString const &prefix)
{
    return isPlainFileName(name) && name.startsWith(prefix) && name.endsWith(QLatin1String(".exe"));
}

void removeRegularFile(QString const &path)
{
    if (!path.isEmpty() && QFileInfo(path).isFile())
        QFile::remove(path);
}

} // namespace downloadfolder
