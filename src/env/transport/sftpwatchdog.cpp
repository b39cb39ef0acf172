#include "sftpwatchdog_p.h"

#include <QMutexLocker>
#include <QThread>

#include <functional>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace
{

class WatchdogThread : public QThread
{
public:
    explicit WatchdogThread(std::function<void()> body)
        : m_body(std::move(body))
    {
    }

protected:
    void run() override { m_body(); }

private:
    std::function<void()> m_body;
};

} // namespace

SftpWatchdog::SftpWatchdog() = default;

SftpWatchdog::~SftpWatchdog()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_armed = false;
        m_wake.wakeAll();
    }
    if (m_thread)
        m_thread->wait();
}

void SftpWatchdog::arm(qint64 socket, qint64 timeoutMs)
{
    QMutexLocker lock(&m_mutex);
    m_fired = false;
    if (socket < 0 || timeoutMs <= 0)
        return;
    m_socket = socket;
    m_timeoutMs = timeoutMs;
    m_deadline.setRemainingTime(timeoutMs);
    m_armed = true;
    if (!m_thread) {
        m_thread.reset(new WatchdogThread([this] { run(); }));
        m_thread->start();
    }
    m_wake.wakeAll();
}

void SftpWatchdog::kick()
{
    QMutexLocker lock(&m_mutex);
    if (m_armed)
        m_deadline.setRemainingTime(m_timeoutMs);
}

void SftpWatchdog::disarm()
{
    QMutexLocker lock(&m_mutex);
    m_armed = false;
    m_socket = -1;
}

bool SftpWatchdog::fired() const
{
    QMutexLocker lock(&m_mutex);
    return m_fired;
}

void SftpWatchdog::run()
{
    QMutexLocker lock(&m_mutex);
    while (!m_stopping) {
        if (!m_armed) {
            m_wake.wait(&m_mutex);
            continue;
        }
        if (!m_deadline.hasExpired()) {
            m_wake.wait(&m_mutex, m_deadline);
            continue;
        }
        // Only shut down, never close: the descriptor still belongs to libssh.
#ifdef Q_OS_WIN
        ::shutdown(static_cast<SOCKET>(m_socket), SD_BOTH);
#else
        ::shutdown(static_cast<int>(m_socket), SHUT_RDWR);
#endif
        m_fired = true;
        m_armed = false;
    }
}
