#include "terminal.h"

#include <QTextStream>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define envctl_isatty _isatty
#define envctl_fileno _fileno
#else
#include <unistd.h>
#define envctl_isatty isatty
#define envctl_fileno fileno
#endif

Terminal::Terminal(bool assumeYes)
    : m_assumeYes(assumeYes)
    , m_stderrIsTerminal(envctl_isatty(envctl_fileno(stderr)))
{
}

void Terminal::out(QString const &line)
{
    endProgress();
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Terminal::err(QString const &line)
{
    endProgress();
    std::fflush(stdout);
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool Terminal::ask(QString const &question)
{
    endProgress();
    std::fputs((question + QStringLiteral(" [y/N] ")).toLocal8Bit().constData(), stdout);
    if (m_assumeYes) {
        std::fputs("y (--yes)\n", stdout);
        std::fflush(stdout);
        return true;
    }
    std::fflush(stdout);
    QTextStream in(stdin);
    const QString answer = in.readLine();
    if (answer.isNull()) {
        std::fputs("\n(no answer: taken as no)\n", stdout);
        std::fflush(stdout);
        return false;
    }
    const QString a = answer.trimmed().toLower();
    return a == QLatin1String("y") || a == QLatin1String("yes");
}

void Terminal::progress(int value, QString const &text)
{
    if (m_stderrIsTerminal) {
        constexpr int width = 30;
        const int clamped = qBound(0, value, 100);
        const int filled = clamped * width / 100;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
        const QString line = QStringLiteral("\r[%1] %2% %3\x1b[K").arg(bar).arg(clamped, 3).arg(text);
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        m_barShown = true;
        return;
    }
    // Plain lines: one per step of the value, not one per network packet.
    if (value == m_lastValue && text.section(QLatin1Char(':'), 0, 0) == m_lastText.section(QLatin1Char(':'), 0, 0))
        return;
    m_lastValue = value;
    m_lastText = text;
    std::fprintf(stderr, "progress %3d%% %s\n", value, text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void Terminal::endProgress()
{
    if (m_barShown) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
        m_barShown = false;
    }
    m_lastValue = -1;
}
