#include "updater_state_p.h"

#include "updater.h"

UpdaterState::UpdaterState(Updater *owner)
    : QObject(owner)
{
}

UpdaterState *UpdaterState::of(Updater const *updater)
{
    return updater->findChild<UpdaterState *>(QString(), Qt::FindDirectChildrenOnly);
}
