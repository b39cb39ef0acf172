#ifndef ENVCTL_TERMINAL_H
#define ENVCTL_TERMINAL_H

#include <QElapsedTimer>
#include <QString>

// Text as it may reach the terminal: control characters, which could move the
// cursor or reprogram the terminal, are shown escaped (ESC as "\x1b"); line
// breaks stay when keepLineBreaks is set. Printable text, umlauts included,
// stays as it is.
QString printable(QString const &text, bool keepLineBreaks = false);

// What a person at the terminal sees: answers to questions, a progress bar on
// standard error when it is a terminal, plain lines when it is not.
class Terminal
{
public:
    explicit Terminal(bool assumeYes);

    void out(QString const &line);
    void err(QString const &line);

    // Asks a y/N question; --yes answers it, and so does a closed input (no).
    // Each question takes the next line of standard input, whatever it is.
    bool ask(QString const &question);

    void progress(int value, QString const &text);
    void endProgress();

    // Ends a progress line or question left open, from any thread (on interruption).
    static void endOpenLine();

    bool assumeYes() const { return m_assumeYes; }

private:
    bool m_assumeYes;
    bool m_stderrIsTerminal;
    bool m_barShown = false;
    int m_lastValue = -1;
    QString m_lastText;
};

#endif
