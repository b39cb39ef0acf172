// One SFTP download by SftpDownloader, timed from connectToHost to the closed
// file so that it compares with a whole run of OpenSSH's sftp.

#include "benchutil.h"
#include "sftpdownloader.h"

#include <QCoreApplication>
#include <QFileInfo>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 8) {
        std::fprintf(
            stderr, "usage: %s async|plain <host> <port> <user> <password> <remote-path> <local-path>\n", argv[0]);
        return 2;
    }
    const QByteArray mode = argv[1];
    const QString local = QString::fromLocal8Bit(argv[7]);

    QElapsedTimer timer;
    timer.start();
    qint64 connectNs = 0;
    int rc = 0;
    QString errors;
    {
        // The session ends with the object; sftp's time holds its goodbye too.
        SftpDownloader downloader;
        rc = downloader.connectToHost(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt(),
            QString::fromUtf8(argv[4]), QString::fromUtf8(argv[5]));
        connectNs = timer.nsecsElapsed();
        if (rc == 0) {
            const QString remote = QString::fromUtf8(argv[6]);
            rc = mode == "async" ? downloader.downloadFileAsync(remote, local) : downloader.downloadFile(remote, local);
        }
        errors = downloader.errors().join(QStringLiteral("; "));
    }
    const qint64 ns = timer.nsecsElapsed();
    if (rc != 0) {
        std::fprintf(stderr, "download failed (%d): %s\n", rc, errors.toUtf8().constData());
        return 1;
    }
    bench::printResult(QStringLiteral("seconds=%1 connect_seconds=%2 bytes=%3 hwm_kb=%4")
                           .arg(ns / 1e9, 0, 'f', 6)
                           .arg(connectNs / 1e9, 0, 'f', 6)
                           .arg(QFileInfo(local).size())
                           .arg(bench::peakRssKb()));
    return 0;
}
