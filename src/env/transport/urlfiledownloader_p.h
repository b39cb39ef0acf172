#ifndef ENV_URLFILEDOWNLOADER_P_H
#define ENV_URLFILEDOWNLOADER_P_H

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QUrl>

class QEventLoop;

// Fetches one URL into one local file, blocking the caller in a local event loop
// until the reply has finished. Redirects are reported, never followed: the user
// starts a new download for the target (and bounds how many it follows in a row).
//
// A connection that fails before any reply is tried again after a growing,
// random wait; a file (not a page) cut after its reply started continues from
// what arrived, with a range request guarded by the first reply's validator.
// The system's proxy settings apply.
//
// Internal to the library; this header is not installed.
class UrlFileDownloader : public QObject
{
    Q_OBJECT

public:
    explicit UrlFileDownloader(QObject *parent);
    ~UrlFileDownloader() override;

    void startDownload(QUrl const &url, QString const &fileName, bool infoMode);

    // A transfer that receives nothing for this long is aborted as a time-out, so
    // that a dead server cannot hang the caller for ever. 0 disables it.
    void setTransferTimeout(int msecs) { m_transferTimeout = msecs; }
    int transferTimeout() const { return m_transferTimeout; }

    static constexpr int DefaultTransferTimeout = 60000;

    // A body larger than this is not saved: the transfer is aborted and the
    // file removed (kept in information mode). 0, the default, sets no bound.
    void setMaxSize(qint64 bytes) { m_maxSize = bytes; }

    // Its user is going away: no signal reaches anyone any more, and a
    // transfer in progress is aborted, so that startDownload returns.
    void cancel();

signals:
    void downloaded(QNetworkReply::NetworkError error, QString const &errorDescr, QString const &downloadedFileName);
    void redirected(QString const &newUrl);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private slots:
    void downloadFinished();
    void downloadReadyRead();
    void downloadError(QNetworkReply::NetworkError error);
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onMetaDataChanged();

private:
    void runRequest(QUrl const &url);
    bool connectFailed() const;
    bool cutAfterStart() const;
    void abortWith(QNetworkReply::NetworkError error, QString const &text);
    void finish();
    bool isRedirect() const;
    QString reportRedirect();

    QNetworkReply::NetworkError m_error;
    QString m_errorString;
    bool m_infoMode;
    QNetworkAccessManager m_manager;
    QNetworkReply *m_reply;
    QSharedPointer<QFile> m_file;

    int m_transferTimeout;
    qint64 m_maxSize = 0;
    // Set when the reply was aborted here (a failed write, the size limit, a
    // stall); any other cancellation of the reply is the transfer time-out.
    QString m_abortText;
    QNetworkReply::NetworkError m_abortCode = QNetworkReply::NoError;
    bool m_cancelled = false;
    QEventLoop *m_loop = nullptr;

    // The request in progress: where in the file its body starts, the status
    // of its reply (0: none yet) and what it has brought so far.
    qint64 m_offset = 0;
    int m_status = 0;
    bool m_certificateRefused = false;
    qint64 m_requestBytes = 0;
    QElapsedTimer m_requestTime;
    // The first reply's ETag or Last-Modified, which a range request must match.
    QByteArray m_validator;
    // The most progress reported of a file of this size: a download continued
    // or sent whole again does not go back.
    qint64 m_progress = 0;
    qint64 m_progressTotal = -1;
};

#endif
