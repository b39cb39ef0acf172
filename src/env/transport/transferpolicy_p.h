#ifndef ENV_TRANSFERPOLICY_P_H
#define ENV_TRANSFERPOLICY_P_H

#include <QtGlobal>

// What every transfer of the library, SFTP or HTTPS, is bound by: how often a
// failed connection is tried again, how often a cut download resumes, and the
// slowest rate a download may keep. The updater sets the values; the
// downloaders apply them with the rules below.
namespace transfer_policy
{

// Tries after the first one when a connection fails before authentication.
constexpr int ConnectRetries = 3;
// Times a download that was cut after some bytes continues from what arrived.
constexpr int ResumeAttempts = 3;

// The wait before try number `attempt` (1 for the first retry): it grows with
// each try, and `random01` (0..1) spreads clients that failed together, so
// that they do not all come back at the same moment. `scaleMsecs` is the
// longest first wait (1500 in use; tests set less).
int retryDelayMsecs(int attempt, double random01, int scaleMsecs);

// The wait before try `attempt` with the configured scale and a fresh random draw.
int retryDelayMsecs(int attempt);

// The configured scale of retry waits in milliseconds; 0 restores the default.
int retryDelayScale();
void setRetryDelayScale(int msecs);

// A download whose average rate since its start is under `bytesPerSecond`
// once `graceMsecs` have passed is given up as a stall: a server that trickles
// just fast enough to beat the time-out would otherwise hold the user for days.
struct RateFloor {
    qint64 bytesPerSecond = 4096;
    qint64 graceMsecs = 60000;
};

bool belowRateFloor(qint64 bytesReceived, qint64 elapsedMsecs, RateFloor const &floor);

// The configured floor; a floor of 0 bytes per second restores the default.
RateFloor rateFloor();
void setRateFloor(RateFloor floor);

} // namespace transfer_policy

#endif // ENV_TRANSFERPOLICY_P_H
