#include "sftpdownloader_p.h"
#include "updatetrust_p.h"

#include <QDebug>

#include <libssh/callbacks.h>

#include <cerrno>
#include <cstring>

using sftpinternal::Attributes;

namespace
{

struct KeyDeleter {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
struct HashDeleter {
    void operator()(unsigned char *hash) const { ssh_clean_pubkey_hash(&hash); }
};
struct HexaDeleter {
    void operator()(char *hexa) const { ssh_string_free_char(hexa); }
};
struct DirDeleter {
    void operator()(sftp_dir dir) const { sftp_closedir(dir); }
};

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

QString keyChangedText(QString const &fingerprint)
{
    return QStringLiteral("Host key for server changed: it is now:\n") + fingerprint
        + QStringLiteral("\nFor security reasons, connection will be stopped");
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

SftpDownloader::Cause SftpDownloader::cause() const
{
    return m_cause;
}

void SftpDownloader::fail(Cause cause, QString const &text)
{
    m_cause = cause;
    m_errors.append(text);
}

// A call that failed because the watchdog ended the session failed for the time-out.
void SftpDownloader::appendSshError(QString const &prefix, Cause cause)
{
    if (m_watchdog->fired())
        fail(Cause::TimedOut, prefix + QStringLiteral("the server did not answer for %1 seconds").arg(m_timeout));
    else
        fail(cause, prefix + QString::fromUtf8(ssh_get_error(m_session.get())));
}

void SftpDownloader::appendErrnoError(QString const &prefix, int error, Cause cause)
{
    fail(cause, prefix + QString::fromLocal8Bit(std::strerror(error)));
}

int SftpDownloader::connectToHost(QString const &host, int port, QString const &user, QString const &password)
{
    m_errors.clear();
    m_cause = Cause::None;
    disconnectFromHost();
    // libssh keeps the callback per thread.
    ssh_set_log_callback(logFromLibssh);
    m_session.reset(ssh_new());
    if (!m_session) {
        fail(Cause::ConnectFailed, QStringLiteral("Error preparing session!"));
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
        fail(Cause::ConnectFailed,
            QStringLiteral("Error connecting to host ! Error code: ")
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
        appendSshError(QStringLiteral("Error authenticating with password: "), Cause::LoginRefused);
        disconnectFromHost();
        return m_result;
    }

    m_sftp.reset(sftp_new(m_session.get()));
    if (!m_sftp) {
        appendSshError(QStringLiteral("Error allocating SFTP session: "), Cause::SessionFailed);
        disconnectFromHost();
        return -1;
    }

    m_result = sftp_init(m_sftp.get());
    if (m_result != SSH_OK) {
        fail(Cause::SessionFailed,
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
        fail(Cause::HostKeyRefused, QStringLiteral("Server publickey error!"));
        return -1;
    }
    std::unique_ptr<ssh_key_struct, KeyDeleter> key(rawKey);

    // A pinned key: exactly that key, on first contact too.
    QString const pinned = updatetrust::hostKeyFingerprint();
    if (!pinned.isEmpty()) {
        QString const fingerprint = sha256Fingerprint(key.get());
        if (fingerprint.isEmpty()) {
            fail(Cause::HostKeyRefused, QStringLiteral("Publickey hash error!"));
            return -1;
        }
        if (fingerprint == pinned)
            return 0;
        fail(Cause::HostKeyRefused, keyChangedText(fingerprint));
        return -1;
    }

    unsigned char *rawHash = nullptr;
    size_t hashLength = 0;
    int const hashed = ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA1, &rawHash, &hashLength);
    key.reset();
    if (hashed < 0) {
        fail(Cause::HostKeyRefused, QStringLiteral("Publickey hash error!"));
        return -1;
    }
    std::unique_ptr<unsigned char, HashDeleter> hash(rawHash);
    std::unique_ptr<char, HexaDeleter> hexa(ssh_get_hexa(hash.get(), hashLength));
    QString const hashText = QString::fromLatin1(hexa ? hexa.get() : "");

    switch (ssh_session_is_known_server(m_session.get())) {
    case SSH_KNOWN_HOSTS_OK: return 0;
    case SSH_KNOWN_HOSTS_CHANGED: fail(Cause::HostKeyRefused, keyChangedText(hashText)); return -1;
    case SSH_KNOWN_HOSTS_OTHER:
        fail(Cause::HostKeyRefused,
            QStringLiteral("The host key for this server was not found but an othertype of key exists.\nAn attacker "
                           "might change the "
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
            appendErrnoError(QStringLiteral("Error (SSH_KNOWN_HOSTS_UNKNOWN): "), errno, Cause::HostKeyRefused);
            return -1;
        }
        return 0;
    case SSH_KNOWN_HOSTS_ERROR: appendSshError(QStringLiteral("Error "), Cause::HostKeyRefused); return -1;
    }
    return 0;
}

int SftpDownloader::listDirectory(QString const &remotePath, QMultiHash<int, QString> *entries)
{
    m_errors.clear();
    m_cause = Cause::None;
    if (!m_sftp || !entries) {
        fail(Cause::NotConnected, QStringLiteral("Not connected to a server!"));
        return -1;
    }
    Watch watch(*this);
    std::unique_ptr<sftp_dir_struct, DirDeleter> dir(sftp_opendir(m_sftp.get(), remotePath.toUtf8().constData()));
    if (!dir) {
        appendSshError(QStringLiteral("Directory not opened: "), Cause::RemoteMissing);
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
        appendSshError(QStringLiteral("Can't list directory: "), Cause::Cut);
        return -1;
    }
    int const closed = sftp_closedir(dir.release());
    if (closed != 0) {
        appendSshError(QStringLiteral("Can't close directory: "), Cause::Cut);
        return closed;
    }
    return 0;
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
