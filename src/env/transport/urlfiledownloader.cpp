#include "urlfiledownloader_p.h"

#include "transferpolicy_p.h"

#include <QDebug>
#include <QEventLoop>
#include <QMetaEnum>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <initializer_list>

#include <cerrno>

namespace
{

// Why the last write or flush of file failed. QFile has no error text of its
// own for a write that stopped part-way (a full disk, a size limit) and says
// "Unknown error"; the system's error of that write tells why.
QString writeErrorText(QFile const &file, int systemError)
{
#ifndef Q_OS_WIN
    if (systemError != 0)
        return qt_error_string(systemError);
#else
    Q_UNUSED(systemError)
#endif
    return file.errorString();
}

// The proxy the host chose for the application, if it chose one, else the
// system's settings (on Unix http_proxy, https_proxy and no_proxy); for this
// downloader's requests only, leaving the application's setting as it is.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(QNetworkProxyQuery const &query) override
    {
        const QList<QNetworkProxy> chosen = proxyForQuery(query);
        if (!chosen.isEmpty() && chosen.first().type() != QNetworkProxy::NoProxy)
            return chosen;
        return systemProxyForQuery(query);
    }
};

bool isOneOf(QNetworkReply::NetworkError error, std::initializer_list<QNetworkReply::NetworkError> errors)
{
    return std::find(errors.begin(), errors.end(), error) != errors.end();
}

} // namespace

UrlFileDownloader::UrlFileDownloader(QObject *parent)
    : QObject(parent)
    , m_error(QNetworkReply::NoError)
    , m_infoMode(false)
    , m_reply(nullptr)
    , m_transferTimeout(DefaultTransferTimeout)
{
    m_manager.setProxyFactory(new SystemProxyFactory);
}

UrlFileDownloader::~UrlFileDownloader()
{
    if (m_file)
        m_file->close();
}

void UrlFileDownloader::startDownload(QUrl const &url, QString const &fileName, bool infoMode)
{
    m_error = QNetworkReply::NoError;
    m_infoMode = infoMode;
    m_cancelled = false;
    m_validator.clear();
    m_progress = 0;
    m_progressTotal = -1;

    // A link at the name goes too (not what it points to), even a dangling one.
    QFile::remove(fileName);

    // Made new: a link that appears at the name after the removal above makes
    // the open fail instead of having its target overwritten. It stays open
    // until the end, so a resumed transfer writes on into the same file.
    m_file.reset(new QFile(fileName));
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qWarning().noquote() << QStringLiteral("Unable to save the file %1: %2.").arg(fileName, m_file->errorString());
        return;
    }

    int retries = 0;
    int resumes = 0;
    for (;;) {
        runRequest(url);
        if (m_cancelled)
            break;
        if (connectFailed() && retries < transfer_policy::ConnectRetries) {
            const int wait = transfer_policy::retryDelayMsecs(++retries);
            qWarning().noquote().nospace()
                << "Connection to " << url.host() << " failed (" << m_errorString << "), trying again in " << wait
                << " ms (" << retries << " of " << transfer_policy::ConnectRetries << ")";
            QEventLoop pause;
            m_loop = &pause;
            QTimer::singleShot(wait, &pause, &QEventLoop::quit);
            pause.exec();
            m_loop = nullptr;
        } else if (cutAfterStart() && resumes < transfer_policy::ResumeAttempts) {
            ++resumes;
            qWarning().noquote().nospace()
                << "Download of " << url.toDisplayString() << " cut after " << m_file->pos() << " bytes ("
                << m_errorString << "), " << (m_validator.isEmpty() ? "starting over" : "resuming") << " (" << resumes
                << " of " << transfer_policy::ResumeAttempts << ")";
        } else {
            break;
        }
        if (m_cancelled) {
            m_error = QNetworkReply::OperationCanceledError;
            m_errorString = tr("Download cancelled");
            break;
        }
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    finish();
}

void UrlFileDownloader::runRequest(QUrl const &url)
{
    m_abortText.clear();
    m_abortCode = QNetworkReply::NoError;
    m_status = 0;
    m_certificateRefused = false;
    m_requestBytes = 0;

    QNetworkRequest request(url);
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setProtocol(QSsl::TlsV1_2);
    request.setSslConfiguration(ssl);
    if (m_transferTimeout > 0)
        request.setTransferTimeout(m_transferTimeout);
    m_offset = m_file->pos();
    if (m_offset > 0 && !m_validator.isEmpty()) {
        // Only the rest, and only while the file is the one begun: otherwise
        // the server sends it whole (200), and it is written anew.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_offset) + '-');
        request.setRawHeader("If-Range", m_validator);
    } else if (m_offset > 0) {
        // Nothing tells whether the file is still the same: all of it again.
        m_file->resize(0);
        m_offset = 0;
    }

    m_requestTime.start();
    m_reply = m_manager.get(request);
    // Qt's buffer is unbounded by default: a disk slower than the network would
    // pile the body up in memory. 64 KiB is also the fastest: Qt's network
    // thread then hands the body over in fewer, larger pieces (a third of the
    // thread wake-ups of 1 MiB), and the pieces stay in the cache.
    m_reply->setReadBufferSize(64 * 1024);
    connect(
        m_reply, SIGNAL(error(QNetworkReply::NetworkError)), this, SLOT(downloadError(QNetworkReply::NetworkError)));
    connect(m_reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(onDownloadProgress(qint64, qint64)));
    connect(m_reply, SIGNAL(metaDataChanged()), this, SLOT(onMetaDataChanged()));
    connect(m_reply, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
    connect(m_reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
    connect(m_reply, &QNetworkReply::sslErrors, this, [this] { m_certificateRefused = true; });

    // The manager hears of the reply's end before this object does, so the loop
    // is told to quit first and ends after downloadFinished in the same turn.
    QEventLoop loop;
    m_loop = &loop;
    connect(&m_manager, &QNetworkAccessManager::finished, &loop, &QEventLoop::quit);
    loop.exec();
    m_loop = nullptr;
}

bool UrlFileDownloader::connectFailed() const
{
    // Nothing came back yet: the server, or the way to it, may be busy for a
    // moment. A certificate refused is not, nor is anything this side ended.
    return m_status == 0 && !m_certificateRefused && m_abortText.isEmpty()
        && isOneOf(m_error,
            {QNetworkReply::ConnectionRefusedError, QNetworkReply::RemoteHostClosedError, QNetworkReply::TimeoutError,
                QNetworkReply::SslHandshakeFailedError, QNetworkReply::TemporaryNetworkFailureError,
                QNetworkReply::NetworkSessionFailedError, QNetworkReply::UnknownNetworkError,
                QNetworkReply::ProxyConnectionRefusedError, QNetworkReply::ProxyConnectionClosedError,
                QNetworkReply::ProxyTimeoutError});
}

bool UrlFileDownloader::cutAfterStart() const
{
    // A page is read as far as it came; a file continues where it was cut.
    return !m_infoMode && (m_status == 200 || m_status == 206) && m_abortText.isEmpty()
        && isOneOf(m_error,
            {QNetworkReply::RemoteHostClosedError, QNetworkReply::TimeoutError,
                QNetworkReply::TemporaryNetworkFailureError, QNetworkReply::NetworkSessionFailedError,
                QNetworkReply::UnknownNetworkError, QNetworkReply::ProxyConnectionClosedError});
}

void UrlFileDownloader::abortWith(QNetworkReply::NetworkError error, QString const &text)
{
    m_abortCode = error;
    m_abortText = text;
    m_reply->abort();
}

void UrlFileDownloader::onMetaDataChanged()
{
    if (!m_reply || m_status != 0)
        return;
    m_status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_status == 200) {
        // The whole file: anything kept from before is replaced.
        if (m_offset > 0) {
            m_file->resize(0);
            m_offset = 0;
        }
        // A weak tag may not guard a range.
        const QByteArray tag = m_reply->rawHeader("ETag");
        m_validator = !tag.isEmpty() && !tag.startsWith("W/") ? tag : m_reply->rawHeader("Last-Modified");
    } else if (m_status == 206 && m_offset > 0) {
        const QByteArray range = m_reply->rawHeader("Content-Range");
        if (!range.startsWith("bytes " + QByteArray::number(m_offset) + '-'))
            abortWith(QNetworkReply::ProtocolFailure,
                tr("The server continued %1 at the wrong place (%2 instead of byte %3)")
                    .arg(m_file->fileName(), QString::fromLatin1(range))
                    .arg(m_offset));
    }
}

void UrlFileDownloader::downloadReadyRead()
{
    // An aborted reply is closed and has nothing left to read.
    if (!m_reply || !m_reply->isOpen() || !m_abortText.isEmpty())
        return;
    // The status decides where the body goes.
    onMetaDataChanged();
    if (!m_abortText.isEmpty())
        return;
    const QByteArray data = m_reply->readAll();
    if (data.isEmpty())
        return;
    if (m_maxSize > 0 && m_file->pos() + data.size() > m_maxSize) {
        // A server that sends without end would otherwise fill the disk.
        abortWith(QNetworkReply::OperationCanceledError,
            tr("The file %1 is larger than %2 bytes, download stopped.").arg(m_file->fileName()).arg(m_maxSize));
        return;
    }
    errno = 0;
    if (m_file->write(data) != data.size()) {
        // Carrying on would report a truncated file as a success.
        abortWith(QNetworkReply::OperationCanceledError,
            tr("Unable to save the file %1: %2.").arg(m_file->fileName(), writeErrorText(*m_file, errno)));
        return;
    }
    m_requestBytes += data.size();
    const transfer_policy::RateFloor floor = transfer_policy::rateFloor();
    const qint64 elapsed = m_requestTime.elapsed();
    if (transfer_policy::belowRateFloor(m_requestBytes, elapsed, floor)) {
        // Just fast enough to beat the time-out, but it would take for ever.
        abortWith(QNetworkReply::TimeoutError,
            tr("Download stalled: %1 bytes in %2 seconds, under the floor of %3 bytes per second")
                .arg(m_requestBytes)
                .arg(elapsed / 1000.0)
                .arg(floor.bytesPerSecond));
    }
}

void UrlFileDownloader::cancel()
{
    disconnect();
    m_cancelled = true;
    if (m_reply)
        m_reply->abort();
    if (m_loop)
        m_loop->quit();
}

void UrlFileDownloader::downloadError(QNetworkReply::NetworkError error)
{
    if (m_cancelled)
        return;
    qCritical().noquote().nospace() << "Download error: "
                                    << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error)
                                    << ", description: " << (m_reply ? m_reply->errorString() : QString());
}

void UrlFileDownloader::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // A continued body counts on from what was kept.
    bytesReceived += m_offset;
    if (bytesTotal >= 0)
        bytesTotal += m_offset;
    // The same file sent whole again does not go back; another file starts anew.
    if (bytesTotal != m_progressTotal)
        m_progress = 0;
    m_progressTotal = bytesTotal;
    if (bytesReceived < m_progress)
        return;
    m_progress = bytesReceived;
    emit downloadProgress(bytesReceived, bytesTotal);
}

void UrlFileDownloader::downloadFinished()
{
    if (!m_reply)
        return;
    onMetaDataChanged();
    // Whatever is still buffered belongs to the body too; QFile buffers
    // writes, so a full disk may show only when it flushes.
    downloadReadyRead();
    errno = 0;
    if (m_abortText.isEmpty() && !m_file->flush()) {
        m_abortCode = QNetworkReply::OperationCanceledError;
        m_abortText = tr("Unable to save the file %1: %2.").arg(m_file->fileName(), writeErrorText(*m_file, errno));
    }

    m_error = m_reply->error();
    m_errorString = m_reply->errorString();
    if (!m_abortText.isEmpty()) {
        m_error = m_abortCode;
        m_errorString = m_abortText;
    } else if (m_cancelled) {
        m_error = QNetworkReply::OperationCanceledError;
        m_errorString = tr("Download cancelled");
    } else if (m_error == QNetworkReply::OperationCanceledError) {
        // Nothing else here aborts a reply without saying why, so this is the
        // transfer time-out of the request.
        m_error = QNetworkReply::TimeoutError;
        m_errorString = tr("No data received for %1 seconds").arg(m_transferTimeout / 1000.0);
    }
}

void UrlFileDownloader::finish()
{
    m_file->close();
    QString target;
    if (m_reply && (m_error == QNetworkReply::NoError || m_infoMode)) {
        if (isRedirect())
            target = reportRedirect();
    }
    // A refused redirect turns into an error above, so this is checked afterwards.
    if (m_error != QNetworkReply::NoError && !m_infoMode) {
        qCritical().noquote().nospace() << "Download error: " << m_errorString;
        m_file->remove();
    }

    if (m_reply)
        m_reply->deleteLater();
    m_reply = nullptr;

    if (!target.isEmpty())
        emit redirected(target);
    else
        emit downloaded(m_error, m_errorString, m_file->fileName());
}

bool UrlFileDownloader::isRedirect() const
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    switch (status) {
    case 301:
    case 302:
    case 303:
    case 305:
    case 307:
    case 308: return true;
    default: return false;
    }
}

QString UrlFileDownloader::reportRedirect()
{
    const QUrl requestUrl = m_reply->request().url();
    qWarning().noquote().nospace() << "Request: " << requestUrl.toDisplayString() << " was redirected with code: "
                                   << m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    // Qt sets the attribute to an empty address when the Location header is missing.
    QUrl target = m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (target.isEmpty())
        return QString();
    if (target.isRelative())
        target = requestUrl.resolved(target);

    // Never step down from https to plain http, nor to any other scheme: the
    // body is a program that will be run.
    const QString scheme = target.scheme();
    const bool allowed = target.isValid() && !target.host().isEmpty()
        && (scheme == QLatin1String("https")
            || (scheme == QLatin1String("http") && requestUrl.scheme() == QLatin1String("http")));
    if (!allowed) {
        qCritical().noquote().nospace() << "Redirect refused: " << target.toDisplayString();
        if (scheme == QLatin1String("http")) {
            m_error = QNetworkReply::InsecureRedirectError;
            m_errorString
                = tr("Redirect from a secure to an insecure address refused: %1").arg(target.toDisplayString());
        } else {
            m_error = QNetworkReply::ProtocolUnknownError;
            m_errorString = tr("Redirect to an unsupported address refused: %1").arg(target.toDisplayString());
        }
        return QString();
    }

    const QString display = target.toDisplayString();
    qWarning().noquote().nospace() << "Redirected to: " << display;
    return display;
}
