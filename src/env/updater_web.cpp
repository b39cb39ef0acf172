#include "updater.h"

// Stand-in until the web-page source lands: nothing is fetched.

void Updater::httpDownload(QString const &url)
{
    Q_UNUSED(url)
}

QStringList Updater::findVardoStudioData(QString const &fileName)
{
    Q_UNUSED(fileName)
    return QStringList();
}

void Updater::vardoStudioSetupRedirected(QString const &newUrl)
{
    httpDownload(newUrl);
}

void Updater::vardoStudioSetupDownloaded(
    QNetworkReply::NetworkError error, QString const &errorDescr, QString const &downloadedFileName)
{
    Q_UNUSED(error)
    Q_UNUSED(errorDescr)
    Q_UNUSED(downloadedFileName)
    setReady();
}
