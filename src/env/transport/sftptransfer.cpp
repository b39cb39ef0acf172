#include "sftpdownloader_p.h"
#include "transferpolicy_p.h"

#include <QDataStream>
#include <QDebug>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <new>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

using sftpinternal::Attributes;

namespace
{

constexpr int maxPendingReads = 20;
constexpr int plainReadSize = 16384;
// The read length every SFTP server must serve; libssh 0.10 cannot ask the
// server for its own limit.
constexpr quint32 defaultChunkSize = 32768;

#ifdef ENV_SFTP_HAS_AIO
struct LimitsDeleter {
    void operator()(sftp_limits_t limits) const { sftp_limits_free(limits); }
};
#endif

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

// Opens the local file a cut download left, to go on writing at resume.kept:
// only the very file the first try made, still a regular file of this user's,
// never through a link, and at least as long as what was kept.
bool openLocalForContinuing(QFile &file, SftpDownloader::Resume const &resume)
{
#ifdef Q_OS_WIN
    QFileInfo const info(file.fileName());
    if (info.isSymLink() || !info.isFile() || quint64(info.size()) < resume.kept || !file.open(QIODevice::ReadWrite))
        return false;
#else
    // Checked on a descriptor that cannot be a link, then opened by name (so
    // that the file keeps its name) and compared with it.
    int const fd
        = ::open(QFile::encodeName(file.fileName()).constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat facts {
    }, opened{};
    bool const same = ::fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_uid == ::geteuid()
        && quint64(facts.st_dev) == resume.device && quint64(facts.st_ino) == resume.inode
        && quint64(facts.st_size) >= resume.kept && file.open(QIODevice::ReadWrite)
        && ::fstat(file.handle(), &opened) == 0 && opened.st_dev == facts.st_dev && opened.st_ino == facts.st_ino;
    ::close(fd);
    if (!same) {
        file.close();
        return false;
    }
#endif
    if (file.resize(qint64(resume.kept)) && file.seek(qint64(resume.kept)))
        return true;
    file.close();
    return false;
}

// Notes which file the first try of a resumable download made.
void noteLocalFile(QFile const &file, SftpDownloader::Resume &resume)
{
#ifdef Q_OS_WIN
    Q_UNUSED(file);
    Q_UNUSED(resume);
#else
    struct stat facts {
    };
    if (::fstat(file.handle(), &facts) == 0) {
        resume.device = quint64(facts.st_dev);
        resume.inode = quint64(facts.st_ino);
    }
#endif
}

// A transfer that has stayed under the rate floor is given up, naming the floor.
QString tooSlowText(transfer_policy::RateFloor const &floor)
{
    return QStringLiteral("Transfer stalled: slower than %1 bytes/s on average after %2 s")
        .arg(floor.bytesPerSecond)
        .arg(double(floor.graceMsecs) / 1000);
}

// The size limit holds on what arrives, not only on what the server states.
QString tooMuchReceived(quint64 limit, quint64 stated)
{
    return QStringLiteral("Remote file is too large: more than %1 bytes received, %2 bytes stated")
        .arg(limit)
        .arg(stated);
}

} // namespace

int SftpDownloader::openForDownload(QString const &remotePath, QString const &localPath, char const *readPrefix,
    char const *writePrefix, Resume *resume)
{
    if (!m_sftp) {
        fail(Cause::NotConnected, QStringLiteral("Not connected to a server!"));
        return -1;
    }
    QByteArray const remote = remotePath.toUtf8();
    m_remoteFile.reset(sftp_open(m_sftp.get(), remote.constData(), O_RDONLY, 0));
    if (!m_remoteFile) {
        appendSshError(QString::fromLatin1(readPrefix), Cause::RemoteMissing);
        return -1;
    }

    Attributes attributes(sftp_stat(m_sftp.get(), remote.constData()));
    if (!attributes || !(attributes->flags & SSH_FILEXFER_ATTR_SIZE)) {
        appendSshError(QStringLiteral("Can't read the size of the remote file: "), Cause::RemoteMissing);
        m_remoteFile.reset();
        return -1;
    }
    m_remoteSize = attributes->size;
    quint64 const mtime = attributes->mtime64 ? attributes->mtime64 : attributes->mtime;
    attributes.reset();
    if (m_maxFileSize > 0 && m_remoteSize > m_maxFileSize) {
        fail(Cause::TooLarge,
            QStringLiteral("Remote file is too large: %1 bytes (at most %2)").arg(m_remoteSize).arg(m_maxFileSize));
        m_remoteFile.reset();
        return -1;
    }

    m_localFile.setFileName(localPath);
    if (resume && resume->kept > 0) {
        if (resume->size == m_remoteSize && resume->mtime == mtime && openLocalForContinuing(m_localFile, *resume))
            return 0;
        qInfo().noquote() << QStringLiteral("The remote file %1 or what arrived of it changed since the cut: "
                                            "starting over")
                                 .arg(remotePath);
        resume->kept = 0;
    }
    if (resume) {
        resume->size = m_remoteSize;
        resume->mtime = mtime;
    }
    if (!openLocalForWriting(m_localFile)) {
        fail(Cause::LocalFailed, QString::fromLatin1(writePrefix) + localPath);
        m_localFile.setFileName(QString());
        m_remoteFile.reset();
        return -1;
    }
    if (resume)
        noteLocalFile(m_localFile, *resume);
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
        fail(Cause::Cut,
            QStringLiteral("Size of the downloaded file differs from the remote file: %1 of %2 bytes")
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

// After a cut: keeps the whole bytes before firstMissing for the next try
// when keep holds, else removes what was written.
void SftpDownloader::keepOrAbandon(bool keep, quint64 firstMissing, Resume &resume)
{
    bool const opened = m_localFile.isOpen();
    // A try cut before it opened the local file leaves what the last one kept.
    if (keep && !opened && resume.kept > 0) {
        releasePendingReads();
        m_remoteFile.reset();
        m_buffer.reset();
        return;
    }
    if (keep && opened && firstMissing > 0 && m_localFile.flush() && m_localFile.resize(qint64(firstMissing))) {
        releasePendingReads();
        m_remoteFile.reset();
        m_buffer.reset();
        m_localFile.close();
        m_localFile.setFileName(QString());
        resume.kept = firstMissing;
        return;
    }
    abandonDownload();
    resume.kept = 0;
}

// Counts what arrived; false, the download abandoned, once more than the limit
// came or the average rate since `started` fell under the floor.
bool SftpDownloader::countReceived(qint64 count, QElapsedTimer const &started)
{
    m_watchdog->kick();
    m_received += static_cast<quint64>(count);
    if (m_maxFileSize > 0 && m_received > m_maxFileSize) {
        fail(Cause::TooLarge, tooMuchReceived(m_maxFileSize, m_remoteSize));
        abandonDownload();
        return false;
    }
    transfer_policy::RateFloor const floor = transfer_policy::rateFloor();
    if (transfer_policy::belowRateFloor(qint64(m_received), started.elapsed(), floor)) {
        fail(Cause::TimedOut, tooSlowText(floor));
        abandonDownload();
        return false;
    }
    emit progress(static_cast<qint64>(m_received), static_cast<qint64>(m_remoteSize));
    return true;
}

int SftpDownloader::downloadFile(QString const &remotePath, QString const &localPath)
{
    m_errors.clear();
    m_cause = Cause::None;
    m_localFile.setFileName(QString());
    Watch watch(*this);
    QElapsedTimer started;
    started.start();
    if (openForDownload(remotePath, localPath, "Can't open file for reading: ", "Can't open file for writing: ") != 0)
        return -1;

    char buffer[plainReadSize];
    m_received = 0;
    for (;;) {
        ssize_t const count = sftp_read(m_remoteFile.get(), buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0) {
            appendSshError(QStringLiteral("Error while reading file: "), Cause::Cut);
            abandonDownload();
            return -1;
        }
        // Plain reads go on until the server says the file ended, whatever
        // size it stated.
        if (!countReceived(count, started))
            return -1;
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
        appendSshError(QStringLiteral("Can't close the read file: "), Cause::Cut);
        abandonDownload();
        return closed;
    }
    return 0;
}

int SftpDownloader::beginAsyncRead(QString const &remotePath, QString const &localPath)
{
    return beginAsyncRead(remotePath, localPath, nullptr);
}

int SftpDownloader::beginAsyncRead(QString const &remotePath, QString const &localPath, Resume *resume)
{
    m_received = 0;
    m_requested = 0;
    releasePendingReads();
    m_localFile.setFileName(QString());
    if (!m_sftp) {
        fail(Cause::NotConnected, QStringLiteral("Not connected to a server!"));
        return -1;
    }

#ifdef ENV_SFTP_HAS_AIO
    std::unique_ptr<sftp_limits_struct, LimitsDeleter> limits(sftp_limits(m_sftp.get()));
    if (!limits) {
        fail(Cause::SessionFailed, QStringLiteral("Asynchronous read - limits handle error!"));
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
        fail(Cause::LocalFailed, QStringLiteral("Asynchronous read - buffer allocation error!"));
        return -1;
    }

    if (openForDownload(remotePath, localPath, "Can't open file for reading:", "Can't open file for writing:", resume)
        != 0)
        return -1;
    // A resumed download asks only for what is missing; its progress goes on from there.
    m_received = m_requested = resume ? resume->kept : 0;

    while (m_pendingReads.size() < maxPendingReads && m_remoteSize > m_requested) {
        if (issueAsyncRead() != 0) {
            fail(Cause::Cut, QStringLiteral("Asynchronous read - bytes requested handle error!"));
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
    Resume resume;
    return downloadAsync(remotePath, localPath, resume, false);
}

int SftpDownloader::downloadFileResumable(QString const &remotePath, QString const &localPath, Resume &resume)
{
    return downloadAsync(remotePath, localPath, resume, true);
}

int SftpDownloader::downloadAsync(QString const &remotePath, QString const &localPath, Resume &resume, bool keepCut)
{
    m_errors.clear();
    m_cause = Cause::None;
    Watch watch(*this);
    if (!resume.started.isValid())
        resume.started.start();
    // Everything before the first byte neither written nor waited for is on
    // disk: replies are written at their places, and a short one is asked
    // again for its rest.
    auto const stop = [&](quint64 failedAt) {
        quint64 firstMissing = qMin(failedAt, m_requested);
        for (PendingRead const &read : qAsConst(m_pendingReads))
            firstMissing = qMin(firstMissing, read.offset);
        keepOrAbandon(keepCut && (m_cause == Cause::Cut || m_cause == Cause::TimedOut), firstMissing, resume);
        return -1;
    };
    auto const giveUp = [&] {
        abandonDownload();
        resume.kept = 0;
        return -1;
    };
    if (beginAsyncRead(remotePath, localPath, &resume) != 0)
        return stop(m_requested);

    QDataStream stream(&m_localFile);
    while (!m_pendingReads.isEmpty()) {
        PendingRead read = m_pendingReads.takeFirst();
        qint64 const count = waitAsyncRead(read);
        if (count < 0) {
            appendSshError(QStringLiteral("Error while reading file: "), Cause::Cut);
            return stop(read.offset);
        }
        // Only bytes inside the remote size are asked for, so an end of file
        // here means the file shrank under us.
        if (count == 0) {
            fail(Cause::Cut,
                QStringLiteral("Error while reading file: the remote file ended at %1 of %2 bytes")
                    .arg(read.offset)
                    .arg(m_remoteSize));
            return giveUp();
        }
        if (!countReceived(count, resume.started))
            return giveUp();

        // The rest of a short reply comes later, after requests for the bytes
        // behind it; so each chunk is written at its own place.
        if (static_cast<quint64>(m_localFile.pos()) != read.offset
            && !m_localFile.seek(static_cast<qint64>(read.offset))) {
            appendErrnoError(QStringLiteral("Error writing: "), errno);
            return giveUp();
        }
        if (stream.writeRawData(m_buffer.get(), static_cast<int>(count)) != count) {
            appendErrnoError(QStringLiteral("Error writing: "), errno);
            return giveUp();
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
            fail(Cause::Cut, QStringLiteral("Asynchronous read - bytes requested handle error!"));
            return stop(count < read.length ? read.offset + quint64(count) : m_requested);
        }
    }

    if (!finishLocalFile()) {
        return giveUp();
    }
    m_buffer.reset();
    m_remoteFile.reset();
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
