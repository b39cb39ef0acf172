#include "sftpfetch_p.h"
#include "transferpolicy_p.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace sftpfetch
{

bool mayRetry(SftpDownloader::Cause cause)
{
    return cause == SftpDownloader::Cause::ConnectFailed;
}

int connect(SftpDownloader &downloader, Server const &server)
{
    for (int attempt = 1;; ++attempt) {
        int const result = downloader.connectToHost(server.host, server.port, server.user, server.password);
        if (result == 0 || attempt > transfer_policy::ConnectRetries || !mayRetry(downloader.cause()))
            return result;
        int const wait = transfer_policy::retryDelayMsecs(attempt);
        qWarning().noquote() << QStringLiteral("Connection to %1:%2 failed (%3); trying again in %4 ms (%5 of %6)")
                                    .arg(server.host)
                                    .arg(server.port)
                                    .arg(downloader.errors().join(QStringLiteral("; ")))
                                    .arg(wait)
                                    .arg(attempt)
                                    .arg(transfer_policy::ConnectRetries);
        QThread::msleep(static_cast<unsigned long>(wait));
    }
}

int fetch(SftpDownloader &downloader, Server const &server, QString const &remotePath, QString const &localPath)
{
    SftpDownloader::Resume resume;
    int result = downloader.downloadFileResumable(remotePath, localPath, resume);
    // A cut comes back at once: should the server still be away, connect waits between its tries.
    for (int attempt = 1; result != 0 && resume.kept > 0 && attempt <= transfer_policy::ResumeAttempts; ++attempt) {
        qWarning().noquote() << QStringLiteral("Download of %1 cut after %2 of %3 bytes (%4); going on (%5 of %6)")
                                    .arg(remotePath)
                                    .arg(resume.kept)
                                    .arg(resume.size)
                                    .arg(downloader.errors().join(QStringLiteral("; ")))
                                    .arg(attempt)
                                    .arg(transfer_policy::ResumeAttempts);
        result = connect(downloader, server);
        if (result == 0)
            result = downloader.downloadFileResumable(remotePath, localPath, resume);
    }
    // What a cut left is no setup program: nothing that could be started stays.
    if (result != 0 && resume.kept > 0 && QFileInfo(localPath).isFile())
        QFile::remove(localPath);
    return result;
}

} // namespace sftpfetch
