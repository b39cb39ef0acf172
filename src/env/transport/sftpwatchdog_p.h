#ifndef ENV_SFTPWATCHDOG_P_H
#define ENV_SFTPWATCHDOG_P_H

#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>

#include <memory>

class QThread;

// Ends a session whose server stopped answering. libssh 0.10 waits for an
// SFTP reply for ever whatever SSH_OPTIONS_TIMEOUT says, so a thread shuts the
// socket down once nothing has moved for the time-out; libssh then sees a
// closed connection and the blocked call returns an error.
class SftpWatchdog
{
public:
    SftpWatchdog();
    ~SftpWatchdog();
    SftpWatchdog(SftpWatchdog const &) = delete;
    SftpWatchdog &operator=(SftpWatchdog const &) = delete;

    // Watches the socket until disarm(); a socket of -1 or a time-out of 0 watches nothing.
    void arm(qint64 socket, qint64 timeoutMs);
    // Something moved: the time-out starts again.
    void kick();
    // After this returns the watchdog no longer touches the socket.
    void disarm();
    // Whether the socket was shut down since the last arm().
    bool fired() const;

private:
    void run();

    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    std::unique_ptr<QThread> m_thread;
    qint64 m_socket = -1;
    qint64 m_timeoutMs = 0;
    QDeadlineTimer m_deadline;
    bool m_armed = false;
    bool m_fired = false;
    bool m_stopping = false;
};

#endif
