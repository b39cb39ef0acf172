#ifndef ENV_UPDATER_P_H
#define ENV_UPDATER_P_H

#include "env_export.h"

#include <QTime>

#include <functional>

namespace updater_clock
{

using Clock = std::function<QTime()>;

// The wall-clock time that download speeds are measured against.
QTime now();

// Replaces the clock (tests); an empty clock restores the system's.
ENV_EXPORT void setClock(Clock clock);

} // namespace updater_clock

#endif // ENV_UPDATER_P_H
