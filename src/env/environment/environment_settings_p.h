#ifndef ENV_ENVIRONMENT_SETTINGS_P_H
#define ENV_ENVIRONMENT_SETTINGS_P_H

class Environment;

namespace settingsfile
{

// Drops what the settings file held when an environment last read or wrote it.
void forget(Environment const *environment);

} // namespace settingsfile

#endif
