#include "commands.h"

#include <QGuiApplication>

int main(int argc, char **argv)
{
    // Fonts need a GUI application; a terminal program has no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VARDO"));
    QCoreApplication::setApplicationName(QStringLiteral("envctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ENVCTL_VERSION));
    return envctl::run(QCoreApplication::arguments());
}
