#include "commands.h"
#include "interruption.h"
#include "terminal.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstring>

namespace
{
// Until the library has registered its logger only failures reach the
// terminal; --verbose shows everything.
void quietUntilLoggerIsSet(QtMsgType type, QMessageLogContext const &, QString const &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(printable(message, true)));
}
} // namespace

int main(int argc, char **argv)
{
    // Fonts need a GUI application; a terminal program has no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    bool verbose = false;
    for (int i = 1; i < argc; ++i)
        verbose = verbose || std::strcmp(argv[i], "--verbose") == 0;
    if (!verbose)
        qInstallMessageHandler(quietUntilLoggerIsSet);
    QGuiApplication app(argc, argv);
    interruption::install();
    QCoreApplication::setOrganizationName(QStringLiteral("VARDO"));
    QCoreApplication::setApplicationName(QStringLiteral("envctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ENVCTL_VERSION));
    return envctl::run(QCoreApplication::arguments());
}
