#ifndef ENV_SFTPDOWNLOADER_H
#define ENV_SFTPDOWNLOADER_H

#include <QElapsedTimer>
#include <QFile>
#include <QMultiHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <libssh/libssh_version.h>

#include <memory>

struct ssh_session_struct;
struct sftp_session_struct;
struct sftp_file_struct;
class SftpWatchdog;

// libssh 0.11 brought sftp_aio_* and sftp_limits; 0.10 (Debian 12) has only
// sftp_async_read_begin/sftp_async_read.
#if LIBSSH_VERSION_INT >= SSH_VERSION_INT(0, 11, 0)
#define ENV_SFTP_HAS_AIO 1
struct sftp_aio_struct;
#endif

// Fetches one file from an SFTP server, blocking the calling thread.
class SftpDownloader : public QObject
{
    Q_OBJECT

public:
    explicit SftpDownloader(QObject *parent = nullptr);
    ~SftpDownloader() override;

    int connectToHost(QString const &host, int port, QString const &user, QString const &password);
    int verifyKnownhost();
    int downloadFile(QString const &remotePath, QString const &localPath);
    int downloadFileAsync(QString const &remotePath, QString const &localPath);
    int beginAsyncRead(QString const &remotePath, QString const &localPath);

    // What a download that may go on after a cut keeps from one try (and
    // connection) to the next; the caller holds it.
    struct Resume {
        quint64 size = 0; // the remote file's size and modification time at the first try
        quint64 mtime = 0;
        quint64 device = 0; // the local file the first try made: which entry it is
        quint64 inode = 0;
        QElapsedTimer started; // since the first try: the rate floor holds over all tries
        quint64 kept = 0; // whole bytes on disk after a cut, where the next try goes on; 0: nothing to resume
    };
    // downloadFileAsync, except that a download cut after some bytes (Cut or
    // TimedOut) keeps them in the local file (resume.kept), and a call with a
    // resume that kept bytes goes on from there when the remote file's size
    // and modification time are those of the first try; else it starts over.
    int downloadFileResumable(QString const &remotePath, QString const &localPath, Resume &resume);
    int listDirectory(QString const &remotePath, QMultiHash<int, QString> *entries);
    void disconnectFromHost();
    const QStringList &errors() const;

    // How long to wait for the server before giving up, in seconds (60 unless
    // set); the connection's part takes effect at the next connectToHost.
    // 0 waits for ever.
    void setTimeout(long seconds);

    // The largest remote file a download accepts, in bytes (0: any size). A
    // larger one is refused before anything is written, and a download stops
    // once more than this has arrived, whatever size the server stated.
    void setMaxFileSize(quint64 bytes);
    // Size of the remote file of the last download, as the server stated it.
    quint64 remoteSize() const;

    // Why the last call failed, kept beside its result and errors() (None
    // after a success), so a caller can act on it without reading the texts.
    enum class Cause {
        None,
        NotConnected,
        ConnectFailed, // no SSH session could be made with the host
        HostKeyRefused, // the server's key changed, is of another type, or could not be checked or recorded
        LoginRefused,
        SessionFailed, // the SFTP subsystem could not be started or asked
        RemoteMissing, // the remote file or folder cannot be opened or its size read
        TooLarge, // larger than setMaxFileSize, as stated or as received
        LocalFailed, // the local file could not be opened or written, or memory ran out
        TimedOut, // the server did not answer within the time-out
        Cut, // the connection or the file ended before the whole file arrived
    };
    Cause cause() const;

signals:
    void progress(qint64 downloaded, qint64 total);

private:
    struct SessionDeleter {
        void operator()(ssh_session_struct *session) const;
    };
    struct SftpDeleter {
        void operator()(sftp_session_struct *sftp) const;
    };
    struct FileDeleter {
        void operator()(sftp_file_struct *file) const;
    };
    // One outstanding read request and the part of the file it asked for.
    struct PendingRead {
#ifdef ENV_SFTP_HAS_AIO
        sftp_aio_struct *aio = nullptr;
#else
        quint32 id = 0;
#endif
        quint64 offset = 0;
        quint32 length = 0;
    };

    class Watch;

    int openForDownload(QString const &remotePath, QString const &localPath, char const *readPrefix,
        char const *writePrefix, Resume *resume = nullptr);
    int beginAsyncRead(QString const &remotePath, QString const &localPath, Resume *resume);
    int downloadAsync(QString const &remotePath, QString const &localPath, Resume &resume, bool keepCut);
    void keepOrAbandon(bool keep, quint64 firstMissing, Resume &resume);
    int issueAsyncRead();
    int issueAsyncRead(quint64 offset, quint32 length);
    qint64 waitAsyncRead(PendingRead &read);
    bool finishLocalFile();
    void releasePendingReads();
    void abandonDownload();
    void appendSshError(QString const &prefix, Cause cause);
    void appendErrnoError(QString const &prefix, int error, Cause cause = Cause::LocalFailed);

    std::unique_ptr<ssh_session_struct, SessionDeleter> m_session;
    std::unique_ptr<sftp_session_struct, SftpDeleter> m_sftp;
    std::unique_ptr<sftp_file_struct, FileDeleter> m_remoteFile;
    QFile m_localFile;
    qint32 m_result = 0;
    std::unique_ptr<char[]> m_buffer;
    quint64 m_remoteSize = 0;
    quint32 m_chunkSize = 0;
    // 64 bits, so files of 4 GiB and more are counted right.
    quint64 m_received = 0;
    quint64 m_requested = 0;
    QVector<PendingRead> m_pendingReads;
    QStringList m_errors;
    long m_timeout = 60;
    std::unique_ptr<SftpWatchdog> m_watchdog;
    quint64 m_maxFileSize = 0;
    Cause m_cause = Cause::None;

    void fail(Cause cause, QString const &text);
    bool countReceived(qint64 count, QElapsedTimer const &started);
};

#endif
