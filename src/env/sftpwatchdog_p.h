#ifndef ENV_SFTPWATCHDOG_P_H
#define ENV_SFTPWATCHDOG_P_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Ends a session whose server stopped answering. libssh 0.10 waits for an
// SFTP reply for ever whatever SSH_OPTIONS_TIMEOUT says, so a thread shuts the
// socket down once nothing has moved for the time-out; libssh then sees a
// closed connection and the blocked call returns an error.
class SftpWatchdog
{
public:
    SftpWatchdog() = default;
    ~SftpWatchdog();
    SftpWatchdog(SftpWatchdog const &) = delete;
    SftpWatchdog &operator=(SftpWatchdog const &) = delete;

    // Watches the socket until disarm(); a socket of -1 or a time-out of 0 watches nothing.
    void arm(long long socket, std::chrono::milliseconds timeout);
    // Something moved: the time-out starts again.
    void kick();
    // After this returns the watchdog no longer touches the socket.
    void disarm();
    // Whether the socket was shut down since the last arm().
    bool fired() const;

private:
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    long long m_socket = -1;
    std::chrono::milliseconds m_timeout{0};
    std::chrono::steady_clock::time_point m_deadline;
    bool m_armed = false;
    bool m_fired = false;
    bool m_stopping = false;
};

#endif
