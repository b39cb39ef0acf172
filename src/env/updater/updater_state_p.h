#ifndef ENV_UPDATER_STATE_P_H
#define ENV_UPDATER_STATE_P_H

#include "downloadfolder_p.h"

#include <QObject>

class Updater;

// Per-instance state of an Updater that its exported member list has no room
// for: hosts compiled against that list fix its layout. It lives as a private
// child of the updater and goes with it.
class UpdaterState : public QObject
{
    Q_OBJECT

public:
    explicit UpdaterState(Updater *owner);

    // The state of this updater; made by the updater's constructor.
    static UpdaterState *of(Updater const *updater);

    // The publisher's signature of the offered setup program, and the size the
    // SFTP version file states for it (-1: none), which bounds its download.
    QString setupSignature;
    qint64 setupSize = -1;

    // The updater's private download folder (m_tempPath) and its lock.
    downloadfolder::Held downloadFolder;

    // The network share is mapped under m_mountedDrive by this updater (a
    // letter that failed to map stays in m_mountedDrive but is not ours).
    bool shareMounted = false;
};

#endif // ENV_UPDATER_STATE_P_H
