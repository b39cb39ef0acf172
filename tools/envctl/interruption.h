#ifndef ENVCTL_INTERRUPTION_H
#define ENVCTL_INTERRUPTION_H

class Updater;

// Ctrl-C (SIGINT) and a request to terminate (SIGTERM) while envctl runs: the
// transfer stops, the updater's temporary folder goes with a partial setup
// program in it, an open progress line or question is ended, and envctl exits
// with 128 plus the signal's number (130, 143). Windows keeps its default.
//
// A signal only wakes a thread of envctl's own. The main thread ends the
// process at its next progress report or event; a transfer that blocks it
// without progress (a server that stopped answering) is ended by that thread
// after a moment.
namespace interruption
{

// Once, after the application object exists.
void install();

// The updater whose temporary folder goes on interruption; nullptr for none.
// Main thread only; an updater is unset before it is destroyed.
void setUpdater(Updater *updater);

// On the main thread, where it may end: ends envctl if a signal has come.
void poll();

// While one lives the main thread waits for a person's answer and is ended at
// once.
class WaitingForInput
{
public:
    WaitingForInput();
    ~WaitingForInput();
    WaitingForInput(WaitingForInput const &) = delete;
    WaitingForInput &operator=(WaitingForInput const &) = delete;
};

} // namespace interruption

#endif
