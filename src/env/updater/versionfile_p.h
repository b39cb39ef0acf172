#ifndef ENV_VERSIONFILE_P_H
#define ENV_VERSIONFILE_P_H

#include "environment.h"

#include <QByteArray>
#include <QString>

// The update server's version file ("vsver.json"): what it offers for the x86
// build. Parsing is apart from the transfer so that it can be fuzzed.
namespace versionfile
{

enum class Status {
    Ok, // an "archx86" object with a "version"
    NotJson, // parseError and errorOffset tell why
    NoArch, // no "archx86" member
    NoVersion // "archx86" without "version"
};

struct Offer {
    Status status = Status::NotJson;
    QString text; // the file as text: its bytes up to the first zero byte, as UTF-8
    QString parseError;
    int errorOffset = 0;
    AppVersion version;
    QString dir;
    QString file;
    QString md5;
    // The signed members; size is -1 when absent or not a whole number.
    qint64 size = -1;
    QString sha256;
    QString sig;
};

Offer parse(QByteArray data);

// The file's name on the server and in the download folder.
inline QString fileName()
{
    return QStringLiteral("vsver.json");
}

// The version file is a few hundred bytes; anything much bigger is not one,
// and is not read into memory.
constexpr qint64 MaxSize = 1024 * 1024;

enum class ReadStatus { Ok, CannotOpen, TooLarge };

struct Contents {
    ReadStatus status = ReadStatus::CannotOpen;
    QByteArray data; // when Ok
    qint64 size = 0; // the size found, when TooLarge
};

// The downloaded file at path, read only up to MaxSize: its size is looked
// at before anything is read, and the read stops at the limit too, in case the
// file grows meanwhile. A file found too large is removed.
Contents read(QString const &path);

} // namespace versionfile

#endif
