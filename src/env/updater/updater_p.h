#ifndef ENV_UPDATER_P_H
#define ENV_UPDATER_P_H

#include <QTime>
#include <QtGlobal>

#include <functional>

namespace updater_clock
{

using Clock = std::function<QTime()>;

// The wall-clock time that download speeds are measured against.
QTime now();

// Replaces the clock (tests); an empty clock restores the system's.
void setClock(Clock clock);

} // namespace updater_clock

namespace updater_limits
{

// How long a transfer may go without receiving anything before it is given
// up: the HTTP transfer time-out and the SFTP watchdog (rounded up to whole
// seconds). 60 seconds unless a test sets less; 0 restores that.
int transferTimeout();
void setTransferTimeout(int msecs);

// transferTimeout in whole seconds, rounded up: the SFTP watchdog counts so.
long transferTimeoutSeconds();

// The most a web source writes for one setup program; a server that sends a
// body without end would otherwise fill the disk. 0 restores the default.
qint64 maxSetupFileSize();
void setMaxSetupFileSize(qint64 bytes);

} // namespace updater_limits

#endif // ENV_UPDATER_P_H
