#ifndef ENV_DOWNLOADFOLDER_P_H
#define ENV_DOWNLOADFOLDER_P_H

#include <QString>

#include <memory>

class QLockFile;

// The updater's private download folder. Off Windows the temporary folder is
// shared by every user, so a folder found there is used only when it is a real
// folder of this user's that nobody else can enter, and each updater holds its
// own folder with a lock file for as long as it lives.
namespace downloadfolder
{

// An entry as the file system tells it, without following a link.
struct Facts {
    bool exists = false;
    bool isLink = false; // a symbolic link (or junction) stands at the path
    bool isDir = false;
    qint64 owner = -1; // user id of the entry's owner
    qint64 user = -1; // user id of this process
    int mode = 0; // permission bits
    quint64 device = 0; // with inode: which entry it is, to notice a swap
    quint64 inode = 0;
};

enum class Verdict { Ours, Missing, Link, NotFolder, Foreign, OpenToOthers };

// Whether a folder may hold this user's downloads: a real folder, not a link,
// owned by this user, that no other user can enter, list or write.
Verdict judge(Facts const &facts);

// Why a folder is not used, for the log.
char const *reason(Verdict verdict);

// The download folder called name, followed by "-" and token when there is a
// token, in the temporary folder tempRoot; it ends with a separator, which is
// a backslash on Windows as in Environment::getTempPath.
QString folderPath(QString const &tempRoot, QString const &name, QString const &token = QString());

// The lock file that holds the folder (folderPath's result).
QString lockPath(QString const &folder);

Facts inspect(QString const &path);

// A download folder held by one updater.
struct Held {
    Held();
    ~Held();
    Held(Held const &) = delete;
    Held &operator=(Held const &) = delete;

    QString path; // as folderPath gives it
    std::unique_ptr<QLockFile> lock;
    Facts lockFacts; // the lock file as it was made
};

// Takes a download folder for this user: tempRoot/name when it is free or
// left by an updater that died, else a folder of this user's beside it whose
// holder died, else a new one beside it. A folder that is not ours, or is
// held by a live updater, is never used nor changed. The folder taken holds no
// files of an earlier holder. False when no folder could be had.
bool acquire(Held &held, QString const &tempRoot, QString const &name);

// Whether held still holds its folder: the folder is ours and the lock file
// in it is the one this updater made.
bool holds(Held const &held);

// Lets go of the folder. With removeFolder (only while it is held) the files
// in it are removed and so is the folder.
void release(Held &held, bool removeFolder);

// Removes the files and links right inside folder, but not the lock file;
// never follows a link nor goes into a sub-folder.
void removeFiles(QString const &folder);

// Removes the entry at path when it is a file or a link (the link itself), so
// that a download into the folder makes its file new.
void removeEntry(QString const &path);

// Where a file called name lands in folder: folder and name joined by "/",
// unless folder already ends in a separator (as folderPath's result does).
QString pathOf(QString const &folder, QString const &name);

// A name that stays inside the folder it is put in and names neither a device
// nor a drive: not empty, at most 255 bytes in UTF-8, not hidden (the folder's
// lock file is), no "..", only printable characters, and none that Windows
// forbids in a file name ("/\:*?\"<>|"; the colon would also make a drive
// letter or a stream name).
bool isPlainFileName(QString const &name);

// A plain file name of a setup program: prefix, anything, ".exe".
bool isSetupFileName(QString const &name, QString const &prefix);

// Removes the file at path when it is a regular file: a refused or unfinished
// download, so that nothing is left that could be started.
void removeRegularFile(QString const &path);

} // namespace downloadfolder

#endif // ENV_DOWNLOADFOLDER_P_H
