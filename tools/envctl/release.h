#ifndef ENVCTL_RELEASE_H
#define ENVCTL_RELEASE_H

#include <QStringList>

class Terminal;

namespace envctl
{

// The publisher's side of signed releases: "envctl release keygen|sign|
// manifest|verify ...", the arguments after "release".
int releaseCommand(Terminal &terminal, QStringList const &arguments);

} // namespace envctl

#endif
