#include "urlfiledownloader_p.h"

#include <QDebug>
#include <QEventLoop>
#include <QMetaEnum>
#include <QNetworkRequest>
#include <QSslConfiguration>

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

} // namespace

UrlFileDownloader::UrlFileDownloader(QObject *parent)
    : QObject(parent)
    , m_error(QNetworkReply::NoError)
    , m_infoMode(false)
    , m_reply(nullptr)
    , m_transferTimeout(DefaultTransferTimeout)
{
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
    m_writeError.clear();
    m_cancelled = false;

    // A link at the name goes too (not what it points to), even a dangling one.
    QFile::remove(fileName);

    // Made new: a link that appears at the name after the removal above makes
    // the open fail instead of having its target overwritten.
    m_file.reset(new QFile(fileName));
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qWarning().noquote() << QStringLiteral("Unable to save the file %1: %2.").arg(fileName, m_file->errorString());
        return;
    }

    QNetworkRequest request(url);
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setProtocol(QSsl::TlsV1_2);
    request.setSslConfiguration(ssl);
    if (m_transferTimeout > 0)
        request.setTransferTimeout(m_transferTimeout);

    m_reply = m_manager.get(request);
    // Qt's buffer is unbounded by default: a disk slower than the network would
    // pile the body up in memory.
    m_reply->setReadBufferSize(1 << 20);
    connect(
        m_reply, SIGNAL(error(QNetworkReply::NetworkError)), this, SLOT(downloadError(QNetworkReply::NetworkError)));
    connect(m_reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(onDownloadProgress(qint64, qint64)));
    connect(m_reply, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
    connect(m_reply, SIGNAL(finished()), this, SLOT(downloadFinished()));

    // The manager hears of the reply's end before this object does, so the loop
    // is told to quit first and ends after downloadFinished in the same turn.
    QEventLoop loop;
    connect(&m_manager, &QNetworkAccessManager::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

void UrlFileDownloader::downloadReadyRead()
{
    // An aborted reply is closed and has nothing left to read.
    if (!m_reply || !m_reply->isOpen() || !m_writeError.isEmpty())
        return;
    const QByteArray data = m_reply->readAll();
    if (data.isEmpty())
        return;
    if (m_maxSize > 0 && m_file->pos() + data.size() > m_maxSize) {
        // A server that sends without end would otherwise fill the disk.
        m_writeError
            = tr("The file %1 is larger than %2 bytes, download stopped.").arg(m_file->fileName()).arg(m_maxSize);
        m_reply->abort();
        return;
    }
    errno = 0;
    if (m_file->write(data) != data.size()) {
        // Carrying on would report a truncated file as a success.
        m_writeError = tr("Unable to save the file %1: %2.").arg(m_file->fileName(), writeErrorText(*m_file, errno));
        m_reply->abort();
    }
}

void UrlFileDownloader::cancel()
{
    disconnect();
    if (m_reply) {
        m_cancelled = true;
        m_reply->abort();
    }
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
    emit downloadProgress(bytesReceived, bytesTotal);
}

void UrlFileDownloader::downloadFinished()
{
    if (!m_reply)
        return;
    // Whatever is still buffered belongs to the body too; QFile buffers
    // writes, so a full disk may show only when it flushes.
    downloadReadyRead();
    errno = 0;
    if (m_writeError.isEmpty() && !m_file->flush())
        m_writeError = tr("Unable to save the file %1: %2.").arg(m_file->fileName(), writeErrorText(*m_file, errno));
    m_file->close();

    m_error = m_reply->error();
    m_errorString = m_reply->errorString();
    if (!m_writeError.isEmpty()) {
        m_error = QNetworkReply::OperationCanceledError;
        m_errorString = m_writeError;
    } else if (m_cancelled) {
        m_error = QNetworkReply::OperationCanceledError;
        m_errorString = tr("Download cancelled");
    } else if (m_error == QNetworkReply::OperationCanceledError) {
        // Nothing else here aborts a reply but a failed write, so this is the
        // transfer time-out of the request.
        m_error = QNetworkReply::TimeoutError;
        m_errorString = tr("No data received for %1 seconds").arg(m_transferTimeout / 1000.0);
    }

    QString target;
    if (m_error == QNetworkReply::NoError || m_infoMode) {
        if (isRedirect())
            target = reportRedirect();
    }
    // A refused redirect turns into an error above, so this is checked afterwards.
    if (m_error != QNetworkReply::NoError && !m_infoMode) {
        qCritical().noquote().nospace() << "Download error: " << m_errorString;
        m_file->remove();
    }

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
