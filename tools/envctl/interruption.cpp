#include "interruption.h"

#include "terminal.h"

#include <updater.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace interruption
{

#ifdef Q_OS_WIN

// Ctrl-C and Ctrl-Break end the process as before; the updater's folder is
// emptied by the next updater made.
void install() { }
void setUpdater(Updater *) { }
void poll() { }
WaitingForInput::WaitingForInput() = default;
WaitingForInput::~WaitingForInput() = default;

#else

namespace
{

int wakePipe[2] = {-1, -1};
std::atomic<int> caught{0};
std::atomic<bool> waitingForInput{false};
// Guards currentUpdater and the ending, which never gives it back.
std::mutex endMutex;
Updater *currentUpdater = nullptr;

extern "C" void onSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    if (write(wakePipe[1], &number, 1) < 0) {
        // Nothing to be done in a signal handler; the default stays with the thread.
    }
    errno = savedErrno;
}

[[noreturn]] void end(int signal)
{
    endMutex.lock();
    if (currentUpdater)
        currentUpdater->removeTempDir(false);
    Terminal::endOpenLine();
    std::fflush(stdout);
    std::fputs(signal == SIGINT ? "envctl: interrupted\n" : "envctl: terminated\n", stderr);
    std::fflush(stderr);
    // No exit handlers: the main thread may be inside a transfer.
    std::_Exit(128 + signal);
}

void watch()
{
    unsigned char number = 0;
    for (;;) {
        const ssize_t got = read(wakePipe[0], &number, 1);
        if (got == 1)
            break;
        if (got < 0 && errno == EINTR)
            continue;
        return;
    }
    caught = number;
    QMetaObject::invokeMethod(
        qApp, [] { poll(); }, Qt::QueuedConnection);
    if (!waitingForInput) {
        // Time for the main thread to end at a progress report or an event.
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    end(number);
}

} // namespace

void install()
{
    if (pipe(wakePipe) != 0)
        return;
    for (int fd : wakePipe)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    std::thread(watch).detach();
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void setUpdater(Updater *updater)
{
    std::lock_guard<std::mutex> lock(endMutex);
    currentUpdater = updater;
}

void poll()
{
    if (const int signal = caught)
        end(signal);
}

WaitingForInput::WaitingForInput()
{
    waitingForInput = true;
    poll();
}

WaitingForInput::~WaitingForInput()
{
    waitingForInput = false;
}

#endif

} // namespace interruption
