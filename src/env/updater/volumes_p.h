#ifndef ENV_VOLUMES_P_H
#define ENV_VOLUMES_P_H

#include <QList>
#include <QString>

#include <functional>

// The mounted volumes as the updater sees them when it picks a drive letter for
// the update share. Drive letters cannot exist on every platform the library is
// built and tested on, so the list can be replaced.
namespace volumes
{

struct Volume {
    QString rootPath; // "C:/" on Windows, "/" elsewhere
    QString name;
    bool valid = false;
    bool ready = false;
};

using Provider = std::function<QList<Volume>()>;

// The system's mounted volumes (QStorageInfo), or the replacement's.
QList<Volume> mountedVolumes();

// Replaces the system's list; an empty provider restores it.
void setProvider(Provider provider);

} // namespace volumes

#endif // ENV_VOLUMES_P_H
