#include "sftpdownloader.h"
#include "sftpwatchdog_p.h"
#include "updatetrust_p.h"

#include <QDataStream>
#include <QDebug>
#include <QFileInfo>

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>

namespace
{

constexpr int maxPendingReads = 20;
constexpr int plainReadSize = 16384;
// The read length every SFTP server must serve; libssh 0.10 cannot ask the
// server for its own limit.
constexpr quint32 defaultChunkSize = 32768;

struct KeyDeleter {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
struct HashDeleter {
    void operator()(unsigned char *hash) const { ssh_clean_pubkey_hash(&hash); }
};
struct HexaDeleter {
    void operator()(char *hexa) const { ssh_string_free_char(hexa); }
};
struct AttributesDeleter {
    void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
struct DirDeleter {
    void operator()(sftp_dir dir) const { sftp_closedir(dir); }
};
#ifdef ENV_SFTP_HAS_AIO
struct LimitsDeleter {
    void operator()(sftp_limits_t limits) const { sftp_limits_free(limits); }
};
#endif

using Attributes = std::unique_ptr<sftp_attributes_struct, AttributesDeleter>;

// The key's fingerprint as ssh-keygen -lf prints it; empty when it cannot be made.
QString sha256Fingerprint(ssh_key key)
{
    unsigned char *rawHash = nullptr;
    size_t hashLength = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &rawHash, &hashLength) < 0)
        return QString();
    std::unique_ptr<unsigned char, HashDeleter> hash(rawHash);
    return updatetrust::openSshFingerprint(QByteArray(reinterpret_cast<char const *>(hash.get()), int(hashLength)));
}

// Opens the local file for writing, made new: a file or a link at its path
// goes first (a link itself, not what it points to), so a link planted there
// never has its target overwritten; one planted after the removal makes the
// open fail. A device is written as it is.
bool openLocalForWriting(QFile &file)
{
    const QFileInfo existing(file.fileName());
    if (existing.isSymLink() || existing.isFile())
        QFile::remove(file.fileName());
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return true;
    const QFileInfo other(file.fileName());
    return other.exists() && !other.isSymLink() && !other.isFile() && !other.isDir()
        && file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

// libssh writes its log to stderr, and so to the host's terminal, unless it
// is given a callback; the library's own log takes it, at a matching level.
// The text already starts with libssh's function name.
void logFromLibssh(int priority, char const *, char const *text, void *)
{
    if (priority <= SSH_LOG_WARNING)
        qWarning().noquote() << "libssh:" << QString::fromUtf8(text);
    else if (priority == SSH_LOG_PROTOCOL)
        qInfo().noquote() << "libssh:" << QString::fromUtf8(text);
    else
        qDebug().noquote() << "libssh:" << QString::fromUtf8(text);
}

// The size limit holds on what arrives, not only on what the server states.
QString tooMuchReceived(quint64 limit, quint64 stated)
{
    return QStringLiteral("Remote file is too large: more than %1 bytes received, %2 bytes stated")
        .arg(limit)
        .arg(stated);
}

} // namespace

void SftpDownloader::SessionDeleter::operator()(ssh_session_struct *session) const
{
    ssh_disconnect(session);
    ssh_free(session);
}

void SftpDownloader::SftpDeleter::operator()(sftp_session_struct *sftp) const
{
    sftp_free(sftp);
}

void SftpDownloader::FileDeleter::operator()(sftp_file_struct *file) const
{
    sftp_close(file);
}

// Keeps the watchdog on the session's socket while a call may wait for the server.
class SftpDownloader::Watch
{
public:
    explicit Watch(SftpDownloader &downloader)
        : m_watchdog(*downloader.m_watchdog)
    {
        if (downloader.m_session)
            m_watchdog.arm(ssh_get_fd(downloader.m_session.get()), qint64(downloader.m_timeout) * 1000);
    }
    ~Watch() { m_watchdog.disarm(); }
    Watch(Watch const &) = delete;
    Watch &operator=(Watch const &) = delete;

private:
    SftpWatchdog &m_watchdog;
};

SftpDownloader::SftpDownloader(QObject *parent)
    : QObject(parent)
    , m_watchdog(new SftpWatchdog)
{
}

SftpDownloader::~SftpDownloader()
{
    disconnectFromHost();
}

const QStringList &SftpDownloader::errors() const
{
    return m_errors;
}

void SftpDownloader::setTimeout(long seconds)
{
    m_timeout = seconds;
}

void SftpDownloader::setMaxFileSize(quint64 bytes)
{
    m_maxFileSize = bytes;
}

quint64 SftpDownloader::remoteSize() const
{
    return m_remoteSize;
}

void SftpDownloader::appendSshError(QString const &prefix)
{
    if (m_watchdog->fired()) {
        m_errors.append(prefix + QStringLiteral("the server did not answer for %1 seconds").arg(m_timeout));
        return;
    }
    m_errors.append(prefix + QString::fromUtf8(ssh_get_error(m_session.get())));
}

void SftpDownloader::appendErrnoError(QString const &prefix, int error)
{
    m_errors.append(prefix + QString::fromLocal8Bit(std::strerror(error)));
}

int SftpDownloader::connectToHost(QString const &host, int port, QString const &user, QString const &password)
{
    m_errors.clear();
    disconnectFromHost();
    // libssh keeps the callback per thread.
    ssh_set_log_callback(logFromLibssh);
    m_session.reset(ssh_new());
    if (!m_session) {
        m_errors.append(QStringLiteral("Error preparing session!"));
        return -1;
    }

    QByteArray const hostName = host.toUtf8();
    int const verbosity = SSH_LOG_PROTOCOL;
    ssh_options_set(m_session.get(), SSH_OPTIONS_HOST, hostName.constData());
    ssh_options_set(m_session.get(), SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    ssh_options_set(m_session.get(), SSH_OPTIONS_PORT, &port);
    // libssh leaves Nagle's algorithm on; small read requests then wait for
    // delayed acknowledgements, which cost half the throughput on a fast link.
    int const noDelay = 1;
    ssh_options_set(m_session.get(), SSH_OPTIONS_NODELAY, &noDelay);
    // Without a time-out a server that stops answering blocks the caller for ever.
    if (m_timeout > 0)
        ssh_options_set(m_session.get(), SSH_OPTIONS_TIMEOUT, &m_timeout);
    // A pinned key alone decides; no known-hosts file is read (libssh orders
    // its host key algorithms by them) or written.
    if (!updatetrust::hostKeyFingerprint().isEmpty()) {
        ssh_options_set(m_session.get(), SSH_OPTIONS_KNOWNHOSTS, "/dev/null");
        ssh_options_set(m_session.get(), SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    }

    m_result = ssh_connect(m_session.get());
    if (m_result != SSH_OK) {
        m_errors.append(QStringLiteral("Error connecting to host ! Error code: ")
            + QString::number(ssh_get_error_code(m_session.get())));
        disconnectFromHost();
        return m_result;
    }

    Watch watch(*this);
    if (verifyKnownhost() < 0) {
        disconnectFromHost();
        return -1;
    }

    m_result = ssh_userauth_password(m_session.get(), user.toUtf8().constData(), password.toUtf8().constData());
    if (m_result != SSH_AUTH_SUCCESS) {
        appendSshError(QStringLiteral("Error authenticating with password: "));
        disconnectFromHost();
        return m_result;
    }

    m_sftp.reset(sftp_new(m_session.get()));
    if (!m_sftp) {
        appendSshError(QStringLiteral("Error allocating SFTP session: "));
        disconnectFromHost();
        return -1;
    }

    m_result = sftp_init(m_sftp.get());
    if (m_result != SSH_OK) {
        m_errors.append(
            QStringLiteral("Error initializing SFTP session: code ") + QString::number(sftp_get_error(m_sftp.get())));
        disconnectFromHost();
        return m_result;
    }
    return 0;
}

int SftpDownloader::verifyKnownhost()
{
    ssh_key rawKey = nullptr;
    if (!m_session || ssh_get_server_publickey(m_session.get(), &rawKey) < 0) {
        m_errors.append(QStringLiteral("Server publickey error!"));
        return -1;
    }
    std::unique_ptr<ssh_key_struct, KeyDeleter> key(rawKey);

    // A pinned key: exactly that key, on first contact too.
    QString const pinned = updatetrust::hostKeyFingerprint();
    if (!pinned.isEmpty()) {
        QString const fingerprint = sha256Fingerprint(key.get());
        if (fingerprint.isEmpty()) {
            m_errors.append(QStringLiteral("Publickey hash error!"));
            return -1;
        }
        if (fingerprint == pinned)
            return 0;
        m_errors.append(QStringLiteral("Host key for server changed: it is now:\n") + fingerprint
            + QStringLiteral("\nFor security reasons, connection will be stopped"));
        return -1;
    }

    unsigned char *rawHash = nullptr;
    size_t hashLength = 0;
    int const hashed = ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA1, &rawHash, &hashLength);
    key.reset();
    if (hashed < 0) {
        m_errors.append(QStringLiteral("Publickey hash error!"));
        return -1;
    }
    std::unique_ptr<unsigned char, HashDeleter> hash(rawHash);
    std::unique_ptr<char, HexaDeleter> hexa(ssh_get_hexa(hash.get(), hashLength));
    QString const hashText = QString::fromLatin1(hexa ? hexa.get() : "");

    switch (ssh_session_is_known_server(m_session.get())) {
    case SSH_KNOWN_HOSTS_OK: return 0;
    case SSH_KNOWN_HOSTS_CHANGED:
        m_errors.append(QStringLiteral("Host key for server changed: it is now:\n") + hashText
            + QStringLiteral("\nFor security reasons, connection will be stopped"));
        return -1;
    case SSH_KNOWN_HOSTS_OTHER:
        m_errors.append(QStringLiteral(
            "The host key for this server was not found but an othertype of key exists.\nAn attacker might change the "
            "default server key toconfuse your client into thinking the key does not exist"));
        return -1;
    case SSH_KNOWN_HOSTS_NOT_FOUND:
        qInfo().noquote() << "Could not find known host file.\nIf you accept the host key here, the file will "
                             "beautomatically created.";
        Q_FALLTHROUGH();
    case SSH_KNOWN_HOSTS_UNKNOWN:
        qInfo().noquote() << QStringLiteral("The server is unknown. Do you trust the host key?\nPublic key hash: ")
                + hashText;
        if (ssh_session_update_known_hosts(m_session.get()) < 0) {
            appendErrnoError(QStringLiteral("Error (SSH_KNOWN_HOSTS_UNKNOWN): "), errno);
            return -1;
        }
        return 0;
    case SSH_KNOWN_HOSTS_ERROR: appendSshError(QStringLiteral("Error ")); return -1;
    }
    return 0;
}

int SftpDownloader::openForDownload(
    QString const &remotePath, QString const &localPath, char const *readPrefix, char const *writePrefix)
{
    if (!m_sftp) {
        m_errors.append(QStringLiteral("Not connected to a server!"));
        return -1;
    }
    QByteArray const remote = remotePath.toUtf8();
    m_remoteFile.reset(sftp_open(m_sftp.get(), remote.constData(), O_RDONLY, 0));
    if (!m_remoteFile) {
        appendSshError(QString::fromLatin1(readPrefix));
        return -1;
    }

    Attributes attributes(sftp_stat(m_sftp.get(), remote.constData()));
    if (!attributes || !(attributes->flags & SSH_FILEXFER_ATTR_SIZE)) {
        appendSshError(QStringLiteral("Can't read the size of the remote file: "));
        m_remoteFile.reset();
        return -1;
    }
    m_remoteSize = attributes->size;
    attributes.reset();
    if (m_maxFileSize > 0 && m_remoteSize > m_maxFileSize) {
        m_errors.append(
            QStringLiteral("Remote file is too large: %1 bytes (at most %2)").arg(m_remoteSize).arg(m_maxFileSize));
        m_remoteFile.reset();
        return -1;
    }

    m_localFile.setFileName(localPath);
    if (!openLocalForWriting(m_localFile)) {
        m_errors.append(QString::fromLatin1(writePrefix) + localPath);
        m_localFile.setFileName(QString());
        m_remoteFile.reset();
        return -1;
    }
    return 0;
}

// Closes the local file and checks that it holds exactly the remote size.
bool SftpDownloader::finishLocalFile()
{
    if (!m_localFile.flush()) {
        appendErrnoError(QStringLiteral("Error writing: "), errno);
        return false;
    }
    m_localFile.close();
    quint64 const localSize = static_cast<quint64>(QFileInfo(m_localFile.fileName()).size());
    if (m_received != m_remoteSize || localSize != m_remoteSize) {
        m_errors.append(QStringLiteral("Size of the downloaded file differs from the remote file: %1 of %2 bytes")
                            .arg(localSize)
                            .arg(m_remoteSize));
        return false;
    }
    return true;
}

// A failed download leaves no partial file behind that a caller could take
// for the real one.
void SftpDownloader::abandonDownload()
{
    releasePendingReads();
    m_remoteFile.reset();
    // The name is set only once the local file was opened (and truncated).
    // Only a regular file is removed: the path may name a device.
    if (!m_localFile.fileName().isEmpty()) {
        m_localFile.close();
        if (QFileInfo(m_localFile.fileName()).isFile())
            m_localFile.remove();
        m_localFile.setFileName(QString());
    }
    m_buffer.reset();
}

int SftpDownloader::downloadFile(QString const &remotePath, QString const &localPath)
{
    m_errors.clear();
    m_localFile.setFileName(QString());
    Watch watch(*this);
    if (openForDownload(remotePath, localPath, "Can't open file for reading: ", "Can't open file for writing: ") != 0)
        return -1;

    char buffer[plainReadSize];
    m_received = 0;
    for (;;) {
        ssize_t const count = sftp_read(m_remoteFile.get(), buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0) {
            appendSshError(QStringLiteral("Error while reading file: "));
            abandonDownload();
            return -1;
        }
        m_watchdog->kick();
        m_received += static_cast<quint64>(count);
        // Plain reads go on until the server says the file ended, whatever
        // size it stated.
        if (m_maxFileSize > 0 && m_received > m_maxFileSize) {
            m_errors.append(tooMuchReceived(m_maxFileSize, m_remoteSize));
            abandonDownload();
            return -1;
        }
        emit progress(static_cast<qint64>(m_received), static_cast<qint64>(m_remoteSize));
        if (m_localFile.write(buffer, count) != count) {
            appendErrnoError(QStringLiteral("Error writing: "), errno);
            abandonDownload();
            return -1;
        }
    }

    if (!finishLocalFile()) {
        abandonDownload();
        return -1;
    }
    int const closed = sftp_close(m_remoteFile.release());
    if (closed != SSH_OK) {
        appendSshError(QStringLiteral("Can't close the read file: "));
        abandonDownload();
        return closed;
    }
    return 0;
}

int SftpDownloader::beginAsyncRead(QString const &remotePath, QString const &localPath)
{
    m_received = 0;
    m_requested = 0;
    releasePendingReads();
    m_localFile.setFileName(QString());
    if (!m_sftp) {
        m_errors.append(QStringLiteral("Not connected to a server!"));
        return -1;
    }

#ifdef ENV_SFTP_HAS_AIO
    std::unique_ptr<sftp_limits_struct, LimitsDeleter> limits(sftp_limits(m_sftp.get()));
    if (!limits) {
        m_errors.append(QStringLiteral("Asynchronous read - limits handle error!"));
        return -1;
    }
    m_chunkSize = static_cast<quint32>(limits->max_read_length);
    limits.reset();
    if (m_chunkSize == 0)
        m_chunkSize = defaultChunkSize;
#else
    m_chunkSize = defaultChunkSize;
#endif

    m_buffer.reset(new (std::nothrow) char[m_chunkSize]);
    if (!m_buffer) {
        m_errors.append(QStringLiteral("Asynchronous read - buffer allocation error!"));
        return -1;
    }

    if (openForDownload(remotePath, localPath, "Can't open file for reading:", "Can't open file for writing:") != 0)
        return -1;

    while (m_pendingReads.size() < maxPendingReads && m_remoteSize > m_requested) {
        if (issueAsyncRead() != 0) {
            m_errors.append(QStringLiteral("Asynchronous read - bytes requested handle error!"));
            return -1;
        }
    }
    return 0;
}

// Asks for the next chunk of the file.
int SftpDownloader::issueAsyncRead()
{
    quint32 const length = static_cast<quint32>(qMin<quint64>(m_chunkSize, m_remoteSize - m_requested));
    if (issueAsyncRead(m_requested, length) != 0)
        return -1;
    m_requested += m_pendingReads.constLast().length;
    return 0;
}

// Each request is placed explicitly: libssh 0.10 moves the file offset back
// after a short reply, while the requests already sent keep their own offsets.
int SftpDownloader::issueAsyncRead(quint64 offset, quint32 length)
{
    if (sftp_seek64(m_remoteFile.get(), offset) < 0)
        return -1;
    PendingRead read;
    read.offset = offset;
#ifdef ENV_SFTP_HAS_AIO
    ssize_t const asked = sftp_aio_begin_read(m_remoteFile.get(), length, &read.aio);
    if (asked <= 0)
        return -1;
    read.length = static_cast<quint32>(asked);
#else
    int const id = sftp_async_read_begin(m_remoteFile.get(), length);
    if (id < 0)
        return -1;
    read.id = static_cast<quint32>(id);
    read.length = length;
#endif
    m_pendingReads.append(read);
    return 0;
}

qint64 SftpDownloader::waitAsyncRead(PendingRead &read)
{
#ifdef ENV_SFTP_HAS_AIO
    qint64 const count = sftp_aio_wait_read(&read.aio, m_buffer.get(), m_chunkSize);
    sftp_aio_free(read.aio);
    read.aio = nullptr;
    return count;
#else
    // libssh 0.10 wants exactly the requested length here.
    return sftp_async_read(m_remoteFile.get(), m_buffer.get(), read.length, read.id);
#endif
}

int SftpDownloader::downloadFileAsync(QString const &remotePath, QString const &localPath)
{
    m_errors.clear();
    Watch watch(*this);
    if (beginAsyncRead(remotePath, localPath) != 0) {
        abandonDownload();
        return -1;
    }

    QDataStream stream(&m_localFile);
    while (!m_pendingReads.isEmpty()) {
        PendingRead read = m_pendingReads.takeFirst();
        qint64 const count = waitAsyncRead(read);
        if (count < 0) {
            appendSshError(QStringLiteral("Error while reading file: "));
            abandonDownload();
            return -1;
        }
        // Only bytes inside the remote size are asked for, so an end of file
        // here means the file shrank under us.
        if (count == 0) {
            m_errors.append(QStringLiteral("Error while reading file: the remote file ended at %1 of %2 bytes")
                                .arg(read.offset)
                                .arg(m_remoteSize));
            abandonDownload();
            return -1;
        }
        m_watchdog->kick();

        m_received += static_cast<quint64>(count);
        if (m_maxFileSize > 0 && m_received > m_maxFileSize) {
            m_errors.append(tooMuchReceived(m_maxFileSize, m_remoteSize));
            abandonDownload();
            return -1;
        }
        emit progress(static_cast<qint64>(m_received), static_cast<qint64>(m_remoteSize));

        // The rest of a short reply comes later, after requests for the bytes
        // behind it; so each chunk is written at its own place.
        if (static_cast<quint64>(m_localFile.pos()) != read.offset
            && !m_localFile.seek(static_cast<qint64>(read.offset))) {
            appendErrnoError(QStringLiteral("Error writing: "), errno);
            abandonDownload();
            return -1;
        }
        if (stream.writeRawData(m_buffer.get(), static_cast<int>(count)) != count) {
            appendErrnoError(QStringLiteral("Error writing: "), errno);
            abandonDownload();
            return -1;
        }

        // A reply shorter than asked, before the end of the file, would leave
        // a hole: ask for the rest in place of a new chunk. Requests are
        // waited for in the order they were sent, which libssh 0.10 needs: it
        // reads one more packet before it looks for a reply already queued.
        int issued = 0;
        if (count < read.length)
            issued
                = issueAsyncRead(read.offset + static_cast<quint64>(count), read.length - static_cast<quint32>(count));
        else if (m_requested < m_remoteSize)
            issued = issueAsyncRead();
        if (issued != 0) {
            m_errors.append(QStringLiteral("Asynchronous read - bytes requested handle error!"));
            abandonDownload();
            return -1;
        }
    }

    if (!finishLocalFile()) {
        abandonDownload();
        return -1;
    }
    m_buffer.reset();
    m_remoteFile.reset();
    return 0;
}

int SftpDownloader::listDirectory(QString const &remotePath, QMultiHash<int, QString> *entries)
{
    m_errors.clear();
    if (!m_sftp || !entries) {
        m_errors.append(QStringLiteral("Not connected to a server!"));
        return -1;
    }
    Watch watch(*this);
    std::unique_ptr<sftp_dir_struct, DirDeleter> dir(sftp_opendir(m_sftp.get(), remotePath.toUtf8().constData()));
    if (!dir) {
        appendSshError(QStringLiteral("Directory not opened: "));
        return -1;
    }

    while (Attributes entry{sftp_readdir(m_sftp.get(), dir.get())}) {
        m_watchdog->kick();
        if (entry->permissions & 0x4000)
            entries->insert(0, QString::fromUtf8(entry->name));
        else if (entry->permissions & 0x8000)
            entries->insert(1, QString::fromUtf8(entry->name));
    }

    if (!sftp_dir_eof(dir.get())) {
        appendSshError(QStringLiteral("Can't list directory: "));
        return -1;
    }
    int const closed = sftp_closedir(dir.release());
    if (closed != 0) {
        appendSshError(QStringLiteral("Can't close directory: "));
        return closed;
    }
    return 0;
}

void SftpDownloader::releasePendingReads()
{
#ifdef ENV_SFTP_HAS_AIO
    for (PendingRead &read : m_pendingReads)
        sftp_aio_free(read.aio);
#endif
    m_pendingReads.clear();
}

void SftpDownloader::disconnectFromHost()
{
    // Requests and the open file belong to the SFTP session: release them first.
    releasePendingReads();
    {
        // Closing the file and the SFTP channel waits for the server's answers.
        Watch watch(*this);
        m_remoteFile.reset();
        m_sftp.reset();
    }
    m_session.reset();
    m_buffer.reset();
}
