#include "companion_p.h"
#include "downloadfolder_p.h"
#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"
#include "urlfiledownloader_p.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QTextStream>
#include <QUrl>

#include <utility>

namespace
{

// Each redirect is a new request started from inside the previous one, so a
// loop on the server would otherwise recurse until the stack runs out.
constexpr int MaxRedirects = 10;

// A page is read whole into memory to be searched.
constexpr qint64 MaxPageSize = 8 * 1024 * 1024;

// What is fetched for a page: more than is searched, so that a page a little
// too large is still reported as such, but a body without end stops.
constexpr qint64 MaxPageDownload = 2 * MaxPageSize;

const char RedirectsProperty[] = "env_redirects";

// The redirect slot hands the number of redirects that led to the next request
// over to httpDownload, whose signature carries no such count.
thread_local int t_pendingRedirects = 0;

QUrl parsedUrl(QString const &url)
{
    return QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode);
}

// A name that stays inside the folder it is put in and is not hidden there
// (the folder's lock file is).
bool isPlainFileName(QString const &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char(':'));
}

struct PageLink {
    QStringList data; // file name and address, or empty
    QString problem; // why nothing usable was found, when it is worth telling
};

PageLink readSetupLink(QString const &fileName, QString const &pattern, QString const &prefix)
{
    PageLink link;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return link;
    if (file.size() > MaxPageSize) {
        link.problem = Updater::tr("Web page is too large (more than %1 MiB): %2")
                           .arg(MaxPageSize / (1024 * 1024))
                           .arg(QFileInfo(fileName).fileName());
        return link;
    }
    QTextStream stream(&file);
    const QString text = stream.readAll();

    const QRegularExpressionMatch match = QRegularExpression(pattern).match(text);
    if (!match.hasMatch())
        return link;
    const QString matched = match.captured(0);
    const int prefixAt = matched.indexOf(prefix);
    const int httpAt = matched.indexOf(QLatin1String("http"));
    if (prefixAt < 0 || httpAt < 0)
        return link;
    const QString name = matched.mid(prefixAt, matched.size() - 1 - prefixAt);
    const QString address = matched.mid(httpAt, matched.size() - 1 - httpAt);

    // The link names a program that will be run: it must come over TLS, and
    // its name must not lead out of the folder it is stored in. A greedy match
    // over several links on one line fails here too.
    const QUrl url = parsedUrl(address);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()) {
        link.problem = Updater::tr("Setup file link is not an https address: %1").arg(address);
        return link;
    }
    if (!isPlainFileName(name)) {
        link.problem = Updater::tr("Setup file link does not end in a plain file name: %1").arg(address);
        return link;
    }
    link.data = QStringList{name, address};
    return link;
}

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
        if (redirects == MaxRedirects) {
            qCritical().noquote() << "No digest companion: too many redirects, last to" << next;
            fetched = false;
            break;
        }
        url = parsedUrl(next);
    }

    const QByteArray bytes = fetched ? companion::read(localPath) : QByteArray();
    const QString digest = wholeText ? QString::fromLatin1(bytes).trimmed() : companion::digest(bytes);
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

    const QUrl target = parsedUrl(url);
    m_setupFileName = QFileInfo(target.path(QUrl::FullyDecoded)).fileName();
    // The name comes from the server (a decoded %2F or a backslash could lead
    // out of our folder) or is missing for an address that ends in "/".
    if (!isPlainFileName(m_setupFileName))
        m_setupFileName = QStringLiteral("download");
    m_downloadFilePath = m_tempPath + QLatin1Char('/') + m_setupFileName;
    downloadfolder::removeEntry(m_downloadFilePath);

    // A page offers no digest: it lies next to the setup program, as in the
    // update folder. Fetched once, before the program itself.
    if (!m_infoMode && redirects == 0) {
        QUrl companion = target;
        companion.setPath(target.path(QUrl::FullyEncoded) + QStringLiteral(".md5"), QUrl::TolerantMode);
        const QString digest = fetchCompanionDigest(this, companion, m_downloadFilePath + QStringLiteral(".md5"));
        if (!alive)
            return;
        m_setupMd5 = digest;
        // The signature lies beside it too, and is fetched the same way.
        QString signature;
        if (updatetrust::signaturesRequired()) {
            companion.setPath(target.path(QUrl::FullyEncoded) + QStringLiteral(".sig"), QUrl::TolerantMode);
            signature = fetchCompanionDigest(this, companion, m_downloadFilePath + QStringLiteral(".sig"), true);
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
    downloader->setMaxSize(m_infoMode ? MaxPageDownload : updater_limits::maxSetupFileSize());
    downloader->startDownload(target, m_downloadFilePath, m_infoMode);
    delete downloader;
}

QStringList Updater::findVardoStudioData(QString const &fileName)
{
    const PageLink link = readSetupLink(fileName, m_setupRegExp, m_setupFilePrefix);
    if (!link.problem.isEmpty())
        qCritical().noquote() << link.problem;
    return link.data;
}

void Updater::vardoStudioSetupRedirected(QString const &newUrl)
{
    // The body of a redirect is neither a page nor a setup program; a loop
    // would otherwise leave one file per step in the folder.
    QFile::remove(m_downloadFilePath);
    const int redirects = (sender() ? sender()->property(RedirectsProperty).toInt() : 0) + 1;
    if (redirects > MaxRedirects) {
        qCritical().noquote() << "Redirect not followed, more than" << MaxRedirects << "in a row:" << newUrl;
        vardoStudioSetupDownloaded(QNetworkReply::TooManyRedirectsError,
            tr("Too many redirects (more than %1): %2").arg(MaxRedirects).arg(newUrl), m_downloadFilePath);
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
        const PageLink link = readSetupLink(downloadedFileName, m_setupRegExp, m_setupFilePrefix);
        if (link.data.size() == 2) {
            // Only a page that offered a usable link has told a version; one
            // without must not end the check as "the latest version".
            m_versionChecked = true;
            analyseFileVersion(link.data.at(0));
            m_setupLocation = link.data.at(1);
            if (isNewVersion())
                emit newVersionIsAvailable();
        } else {
            if (!link.problem.isEmpty()) {
                qCritical().noquote() << link.problem;
                m_errors.append(link.problem);
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
