#include "transferpolicy_p.h"

#include <QRandomGenerator>

#include <algorithm>

namespace transfer_policy
{

namespace
{
constexpr int DefaultRetryDelayScale = 1500;

int s_retryDelayScale = DefaultRetryDelayScale;
RateFloor s_rateFloor;
} // namespace

int retryDelayMsecs(int attempt, double random01, int scaleMsecs)
{
    // Try n waits between 2^(n-1)/7.5 and 2^(n-1) times the scale: with the
    // default scale 0.2-1.5 s first, then 0.4-3 s, then 0.8-6 s.
    attempt = std::clamp(attempt, 1, 8);
    double const low = 0.2 / 1.5;
    double const share = low + (1.0 - low) * std::clamp(random01, 0.0, 1.0);
    return int(share * scaleMsecs * (1 << (attempt - 1)));
}

int retryDelayMsecs(int attempt)
{
    return retryDelayMsecs(attempt, QRandomGenerator::global()->generateDouble(), s_retryDelayScale);
}

int retryDelayScale()
{
    return s_retryDelayScale;
}

void setRetryDelayScale(int msecs)
{
    s_retryDelayScale = msecs > 0 ? msecs : DefaultRetryDelayScale;
}

bool belowRateFloor(qint64 bytesReceived, qint64 elapsedMsecs, RateFloor const &floor)
{
    if (floor.bytesPerSecond <= 0 || elapsedMsecs < floor.graceMsecs || elapsedMsecs <= 0)
        return false;
    return bytesReceived * 1000 < floor.bytesPerSecond * elapsedMsecs;
}

RateFloor rateFloor()
{
    return s_rateFloor;
}

void setRateFloor(RateFloor floor)
{
    s_rateFloor = floor.bytesPerSecond > 0 ? floor : RateFloor();
}

} // namespace transfer_policy
