#include "volumes_p.h"

#include <QStorageInfo>

namespace volumes
{

namespace
{
Provider &provider()
{
    static Provider instance;
    return instance;
}
} // namespace

QList<Volume> mountedVolumes()
{
    if (provider())
        return provider()();

    QList<Volume> result;
    const QList<QStorageInfo> infos = QStorageInfo::mountedVolumes();
    for (QStorageInfo const &info : infos) {
        Volume volume;
        volume.rootPath = info.rootPath();
        volume.name = info.name();
        volume.valid = info.isValid();
        volume.ready = info.isReady();
        result.append(volume);
    }
    return result;
}

void setProvider(Provider replacement)
{
    provider() = std::move(replacement);
}

} // namespace volumes
