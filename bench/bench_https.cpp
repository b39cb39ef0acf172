// One HTTPS download by UrlFileDownloader, timed from the request to the closed file.

#include "benchutil.h"
#include "urlfiledownloader_p.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSslConfiguration>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <url> <local-file> <ca-certificate.pem>\n", argv[0]);
        return 2;
    }
    // Trust the benchmark's own certificate in this process only.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!config.addCaCertificates(QString::fromLocal8Bit(argv[3]), QSsl::Pem)) {
        std::fprintf(stderr, "cannot read %s\n", argv[3]);
        return 1;
    }
    QSslConfiguration::setDefaultConfiguration(config);

    const QString local = QString::fromLocal8Bit(argv[2]);
    UrlFileDownloader downloader(nullptr);
    QNetworkReply::NetworkError result = QNetworkReply::UnknownNetworkError;
    QString description;
    QObject::connect(&downloader, &UrlFileDownloader::downloaded,
        [&](QNetworkReply::NetworkError error, QString const &errorDescr, QString const &) {
            result = error;
            description = errorDescr;
        });

    QElapsedTimer timer;
    timer.start();
    downloader.startDownload(QUrl(QString::fromLocal8Bit(argv[1])), local, false);
    const qint64 ns = timer.nsecsElapsed();
    if (result != QNetworkReply::NoError) {
        std::fprintf(stderr, "download failed: %s\n", description.toUtf8().constData());
        return 1;
    }
    bench::printResult(QStringLiteral("seconds=%1 bytes=%2 hwm_kb=%3")
                           .arg(ns / 1e9, 0, 'f', 6)
                           .arg(QFileInfo(local).size())
                           .arg(bench::peakRssKb()));
    return 0;
}
