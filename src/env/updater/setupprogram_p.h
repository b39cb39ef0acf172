#ifndef ENV_SETUPPROGRAM_P_H
#define ENV_SETUPPROGRAM_P_H

#include "updatetrust_p.h"

#include <QString>
#include <QStringList>

// The downloaded setup program as it is started: its command line, and the
// start itself, with the program held and its digest taken again first.
namespace setupprogram
{

// The items the program gets: "upd=true", "runAfterInst=true" and
// "instPath=" followed by the application folder appDir.
QStringList arguments(QString const &appDir);

// The same as one line for the log: the program's path and appDir in double
// quotes when they contain a blank.
QString commandLine(QString const &path, QString const &appDir);

// Whether the program at path lies right inside folder.
bool isDirectlyIn(QString const &path, QString const &folder);

enum class Status {
    Started,
    Refused, // not the program that was verified: verdict tells why
    NotStarted // verified, but the system did not start it
};

struct Start {
    Status status = Status::NotStarted;
    updatetrust::Verdict verdict;
};

// Starts the program at path, detached, with arguments, once it has been
// verified again (updatetrust::checkSetupFile) from the file as it is now.
// On Windows the file is held meanwhile so that no one can change it between
// the check and the start; a file that cannot be held is refused. A refused
// program is removed when signatures are required.
Start start(QString const &path, QString const &expectedMd5, AppVersion const &version, QString const &signature,
    QStringList const &arguments);

} // namespace setupprogram

#endif // ENV_SETUPPROGRAM_P_H
