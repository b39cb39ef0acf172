#ifndef ENVCTL_TERMINAL_H
#define ENVCTL_TERMINAL_H

#include <QElapsedTimer>
#include <QString>

// What a person at the terminal sees: answers to questions, a progress bar on
// standard error when it is a terminal, plain lines when it is not.
class Terminal
{
public:
    explicit Terminal(bool assumeYes);

    void out(QString const &line);
    void err(QString const &line);

    // Asks a y/N question; --yes answers it, and so does a closed input (no).
    bool ask(QString const &question);

    void progress(int value, QString const &text);
    void endProgress();

    bool assumeYes() const { return m_assumeYes; }

private:
    bool m_assumeYes;
    bool m_stderrIsTerminal;
    bool m_barShown = false;
    int m_lastValue = -1;
    QString m_lastText;
};

#endif
