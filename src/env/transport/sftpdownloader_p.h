#ifndef ENV_SFTPDOWNLOADER_P_H
#define ENV_SFTPDOWNLOADER_P_H

// What the session half (sftpdownloader.cpp) and the transfer half
// (sftptransfer.cpp) of SftpDownloader share.

#include "sftpdownloader.h"
#include "sftpwatchdog_p.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <memory>

namespace sftpinternal
{

struct AttributesDeleter {
    void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
using Attributes = std::unique_ptr<sftp_attributes_struct, AttributesDeleter>;

} // namespace sftpinternal

// Keeps the watchdog on the session's socket while a call may wait for the server.
class SftpDownloader::Watch
{
public:
    explicit Watch(SftpDownloader &downloader)
        : m_watchdog(*downloader.m_watchdog)
    {
        if (downloader.m_session)
            m_watchdog.arm(ssh_get_fd(downloader.m_session.get()), qint64(downloader.m_timeout) * 1000);
    }
    ~Watch() { m_watchdog.disarm(); }
    Watch(Watch const &) = delete;
    Watch &operator=(Watch const &) = delete;

private:
    SftpWatchdog &m_watchdog;
};

#endif
