#include "terminal.h"

#include "interruption.h"

#include <QByteArray>

#include <atomic>
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

namespace
{

// The stream whose last line has no end yet: standard error under a progress
// bar, standard output after a question; none otherwise.
std::atomic<FILE *> openLine{nullptr};

// The next line of standard input without its line end; a null text at the end
// of the input. The C stream keeps what it read ahead for the next question.
QString readLine()
{
    QByteArray line;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, stdin)) {
        line += chunk;
        if (line.endsWith('\n'))
            break;
    }
    if (line.isEmpty())
        return QString();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromLocal8Bit(line);
}

} // namespace

QString printable(QString const &text, bool keepLineBreaks)
{
    QString shown;
    shown.reserve(text.size());
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control && !(keepLineBreaks && c == QLatin1Char('\n')))
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

Terminal::Terminal(bool assumeYes)
    : m_assumeYes(assumeYes)
    , m_stderrIsTerminal(envctl_isatty(envctl_fileno(stderr)))
{
}

void Terminal::out(QString const &line)
{
    endProgress();
    std::fputs(printable(line, true).toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Terminal::err(QString const &line)
{
    endProgress();
    std::fflush(stdout);
    std::fputs(printable(line, true).toLocal8Bit().constData(), stderr);
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
    QString answer;
    {
        openLine = stdout;
        interruption::WaitingForInput waiting;
        answer = readLine();
        openLine = nullptr;
    }
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
    const QString shownText = printable(text);
    if (m_stderrIsTerminal) {
        constexpr int width = 30;
        const int clamped = qBound(0, value, 100);
        const int filled = clamped * width / 100;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
        const QString line = QStringLiteral("\r[%1] %2% %3\x1b[K").arg(bar).arg(clamped, 3).arg(shownText);
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        m_barShown = true;
        openLine = stderr;
        return;
    }
    // Plain lines: one per step of the value, not one per network packet.
    if (value == m_lastValue && text.section(QLatin1Char(':'), 0, 0) == m_lastText.section(QLatin1Char(':'), 0, 0))
        return;
    m_lastValue = value;
    m_lastText = text;
    std::fprintf(stderr, "progress %3d%% %s\n", value, shownText.toLocal8Bit().constData());
    std::fflush(stderr);
}

void Terminal::endProgress()
{
    if (m_barShown) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
        m_barShown = false;
        openLine = nullptr;
    }
    m_lastValue = -1;
}

void Terminal::endOpenLine()
{
    if (FILE *stream = openLine.exchange(nullptr)) {
        std::fputc('\n', stream);
        std::fflush(stream);
    }
}
