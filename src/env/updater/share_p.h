#ifndef ENV_SHARE_P_H
#define ENV_SHARE_P_H

#include "volumes_p.h"

#include <QChar>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// The update share on the maker's internal file server: mapped to a free
// drive letter with "net use" through "cmd.exe", searched, and released.
namespace share
{

// The arguments of "cmd.exe" that map the share to drive, and that release it.
QStringList mountArguments(QChar drive);
QStringList unmountArguments(QChar drive);

// The free drive letter for the share: the last of "Z" to "I" that no valid
// mounted volume's root starts with; none when all are taken.
QChar freeDriveLetter(QList<volumes::Volume> const &mounted, QChar none);

// The setup programs' folder of the share mapped to drive.
QString folderOn(QChar drive);

// The setup programs' folder of the share when it is already mapped under
// another letter (a ready volume named after the product); empty when not.
QString mappedFolder(QList<volumes::Volume> const &mounted);

enum class Status {
    Done, // ran to its end and answered 0
    Failed, // ran to its end with another answer, or crashed
    Unfinished // did not start, or did not end in time and was killed
};

struct Outcome {
    Status status = Status::Unfinished;
    int exitCode = 0; // 0 also for a program that never started
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    QString output; // what it wrote, up to the first zero byte
    QString errors;
};

// Runs "cmd.exe" with arguments and waits for it, at most 30 seconds.
Outcome run(QStringList const &arguments);

// The name of an exit status, for the log.
char const *exitStatusName(QProcess::ExitStatus status);

} // namespace share

#endif // ENV_SHARE_P_H
