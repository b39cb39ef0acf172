#include "companion_p.h"
#include "downloadfolder_p.h"
#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"
#include "urlfiledownloader_p.h"
#include "webpage_p.h"

#include <QDebug>
#include <QFile>
#include <QPointer>
#include <QUrl>

#include <utility>

namespace
{

const char RedirectsProperty[] = "env_redirects";

// The redirect slot hands the number of redirects that led to the next request
// over to httpDownload, whose signature carries no such count.
thread_local int t_pendingRedirects = 0;

// Fetches a companion of a setup program (.md5, or .sig with wholeText) and
// gives its digest, or all its text trimmed; empty when there is none, which
// the installation refuses, or when the owner went away meanwhile.
QString fetchCompanionDigest(Updater *owner, QUrl url, QString const &localPath, bool wholeText = false)
{
    const QPointer<Updater> alive(owner);
    bool fetched = false;
    for (int redirects = 0;; ++redirects) {
        // Owned by the updater, which cancels it should it go first.
        auto *downloader = new UrlFileDownloader(owner);
        QString next;
        QObject::connect(downloader, &UrlFileDownloader::redirected, [&next](QString const &target) { next = target; });
        QObject::connect(downloader, &UrlFileDownloader::downloaded,
            [&fetched](QNetworkReply::NetworkError error, QString const &errorDescr, QString const &) {
                fetched = error == QNetworkReply::NoError;
                if (!fetched)
                    qCritical().noquote() << "No digest companion:" << errorDescr;
            });
        downloader->setTransferTimeout(updater_limits::transferTimeout());
        downloader->setMaxSize(companion::MaxSize);
        downloader->startDownload(url, localPath, false);
        delete downloader;
        if (!alive)
            return QString();
        if (next.isEmpty())
            break;
        if (redirects == webpage::MaxRedirects) {
            qCritical().noquote() << "No digest companion: too many redirects, last to" << next;
            fetched = false;
            break;
        }
        url = webpage::parsedUrl(next);
    }

    const QByteArray bytes = fetched ? companion::read(localPath) : QByteArray();
    const QString digest = wholeText ? companion::signature(bytes) : companion::digest(bytes);
    QFile::remove(localPath);
    return digest;
}

} // namespace

void Updater::httpDownload(QString const &url)
{
    const int redirects = std::exchange(t_pendingRedirects, 0);
    if (url.isEmpty())
        return;
    // The transfer runs an event loop, in which the host may delete the
    // updater; nothing of it is touched after that.
    const QPointer<Updater> alive(this);

    const QUrl target = webpage::parsedUrl(url);
    m_setupFileName = webpage::downloadName(target);
    // The separator doubled, as this source has always named its files.
    m_downloadFilePath = downloadfolder::pathOf(m_tempPath + QLatin1Char('/'), m_setupFileName);
    downloadfolder::removeEntry(m_downloadFilePath);

    // A page offers no digest: it lies next to the setup program, as in the
    // update folder. Fetched once, before the program itself.
    if (!m_infoMode && redirects == 0) {
        const QString digest = fetchCompanionDigest(
            this, webpage::companionUrl(target, QStringLiteral(".md5")), m_downloadFilePath + QStringLiteral(".md5"));
        if (!alive)
            return;
        m_setupMd5 = digest;
        // The signature lies beside it too, and is fetched the same way.
        QString signature;
        if (updatetrust::signaturesRequired()) {
            signature = fetchCompanionDigest(this, webpage::companionUrl(target, QStringLiteral(".sig")),
                m_downloadFilePath + QStringLiteral(".sig"), true);
            if (!alive)
                return;
        }
        UpdaterState::of(this)->setupSignature = signature;
    }

    // The updater is the one owner: it deletes the downloader here, once the
    // transfer is over. Should the updater be deleted during the transfer,
    // its destructor cancels it and leaves the downloader to this call, whose
    // event loop is still running on it.
    auto *downloader = new UrlFileDownloader(this);
    downloader->setProperty(RedirectsProperty, redirects);
    connect(downloader, &UrlFileDownloader::downloaded, this, &Updater::vardoStudioSetupDownloaded);
    connect(downloader, &UrlFileDownloader::redirected, this, &Updater::vardoStudioSetupRedirected);
    connect(downloader, &UrlFileDownloader::downloadProgress, this, &Updater::onDownloadProgress);
    downloader->setTransferTimeout(updater_limits::transferTimeout());
    downloader->setMaxSize(m_infoMode ? webpage::MaxPageDownload : updater_limits::maxSetupFileSize());
    downloader->startDownload(target, m_downloadFilePath, m_infoMode);
    delete downloader;
}

QStringList Updater::findVardoStudioData(QString const &fileName)
{
    const webpage::Link link = webpage::readLink(fileName, m_setupRegExp, m_setupFilePrefix);
    if (!link.text.isEmpty())
        qCritical().noquote() << link.text;
    if (link.status != webpage::LinkStatus::Found)
        return QStringList();
    return QStringList{link.name, link.address};
}

void Updater::vardoStudioSetupRedirected(QString const &newUrl)
{
    // The body of a redirect is neither a page nor a setup program; a loop
    // would otherwise leave one file per step in the folder.
    QFile::remove(m_downloadFilePath);
    const int redirects = (sender() ? sender()->property(RedirectsProperty).toInt() : 0) + 1;
    if (redirects > webpage::MaxRedirects) {
        qCritical().noquote() << "Redirect not followed, more than" << webpage::MaxRedirects << "in a row:" << newUrl;
        vardoStudioSetupDownloaded(QNetworkReply::TooManyRedirectsError,
            tr("Too many redirects (more than %1): %2").arg(webpage::MaxRedirects).arg(newUrl), m_downloadFilePath);
        return;
    }
    t_pendingRedirects = redirects;
    httpDownload(newUrl);
}

void Updater::vardoStudioSetupDownloaded(
    QNetworkReply::NetworkError error, QString const &errorDescr, QString const &downloadedFileName)
{
    // The host may delete the updater when it hears of the outcome.
    const QPointer<Updater> alive(this);
    if (error != QNetworkReply::NoError) {
        qCritical().noquote().nospace() << "File: " << downloadedFileName << ", download error:" << error << " "
                                        << errorDescr << ", infoMode:" << (m_infoMode ? "true" : "false");
        if (m_infoMode)
            m_errors.append(QStringLiteral("NetworkError [") + QString::number(static_cast<int>(error))
                + QStringLiteral("] ") + errorDescr);
        else
            showNetworkError(error, errorDescr);
    } else if (m_infoMode) {
        const webpage::Link link = webpage::readLink(downloadedFileName, m_setupRegExp, m_setupFilePrefix);
        if (link.status == webpage::LinkStatus::Found) {
            // Only a page that offered a usable link has told a version; one
            // without must not end the check as "the latest version".
            m_versionChecked = true;
            analyseFileVersion(link.name);
            m_setupLocation = link.address;
            if (isNewVersion())
                emit newVersionIsAvailable();
        } else {
            if (!link.text.isEmpty()) {
                qCritical().noquote() << link.text;
                m_errors.append(link.text);
            }
            qCritical().noquote() << "Unable to find setup file in url" << downloadedFileName;
            m_errors.append(tr("Unable to find setup file in url: ") + downloadedFileName);
        }
    } else {
        m_downloadFilePath = downloadedFileName;
#ifndef Q_OS_WIN
        // A fetched file is never executable here; runSetupFile checks its
        // digest before anything starts it.
        QFile::setPermissions(downloadedFileName, QFile::permissions(downloadedFileName) | QFile::ExeOwner);
#endif
        runSetupFile();
    }
    if (alive)
        setReady();
}
