#ifndef ENVCTL_COMMANDS_H
#define ENVCTL_COMMANDS_H

#include <QStringList>

namespace envctl
{

// Exit statuses: 0 done or nothing to do, 1 error, 2 bad usage.
enum ExitStatus { ExitOk = 0, ExitError = 1, ExitUsage = 2 };

int run(QStringList const &arguments);

} // namespace envctl

#endif
