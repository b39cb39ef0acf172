#ifndef ENVCTL_DEMO_H
#define ENVCTL_DEMO_H

class Terminal;

namespace envctl
{

// Builds a demo update source holding a newer demo setup program and runs the
// whole update cycle against it without questions. With sftp the source is
// the project's test SFTP server on loopback, otherwise an update folder.
int runDemo(Terminal &terminal, bool sftp);

} // namespace envctl

#endif
