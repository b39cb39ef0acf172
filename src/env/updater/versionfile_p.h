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

} // namespace versionfile

#endif
