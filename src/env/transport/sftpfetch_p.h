#ifndef ENV_SFTPFETCH_P_H
#define ENV_SFTPFETCH_P_H

#include "sftpdownloader.h"

#include <QString>

// How the updater talks to its SFTP server: connections that fail before the
// login are tried again after a growing, random wait, and a download that is
// cut goes on from what arrived (transferpolicy_p.h gives how often).
namespace sftpfetch
{

struct Server {
    QString host;
    int port = 22;
    QString user;
    QString password;
};

// Whether a failed connection may be tried again: only one that failed before
// the login; a refused password or host key never is.
bool mayRetry(SftpDownloader::Cause cause);

// connectToHost, tried again while mayRetry allows, at most
// transfer_policy::ConnectRetries times. Each retry is logged; the downloader
// holds the outcome of the last try.
int connect(SftpDownloader &downloader, Server const &server);

// Downloads remotePath (pipelined) on a connected downloader. A download cut
// after some bytes reconnects and goes on from them, at most
// transfer_policy::ResumeAttempts times. A failure leaves no local file.
int fetch(SftpDownloader &downloader, Server const &server, QString const &remotePath, QString const &localPath);

} // namespace sftpfetch

#endif // ENV_SFTPFETCH_P_H
