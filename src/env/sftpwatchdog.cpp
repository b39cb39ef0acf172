#include "sftpwatchdog_p.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

SftpWatchdog::~SftpWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_armed = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void SftpWatchdog::arm(long long socket, std::chrono::milliseconds timeout)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fired = false;
        if (socket < 0 || timeout.count() <= 0)
            return;
        m_socket = socket;
        m_timeout = timeout;
        m_deadline = std::chrono::steady_clock::now() + timeout;
        m_armed = true;
        if (!m_thread.joinable())
            m_thread = std::thread(&SftpWatchdog::run, this);
    }
    m_wake.notify_all();
}

void SftpWatchdog::kick()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_armed)
        m_deadline = std::chrono::steady_clock::now() + m_timeout;
}

void SftpWatchdog::disarm()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed = false;
    m_socket = -1;
}

bool SftpWatchdog::fired() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fired;
}

void SftpWatchdog::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (!m_armed) {
            m_wake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < m_deadline) {
            m_wake.wait_until(lock, m_deadline);
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
