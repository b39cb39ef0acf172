// Environment::getVersionFromFileName on arbitrary names, such as a folder
// listing or a download page hands over.
#include "environment.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const &, QString const &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QString name = QString::fromUtf8(reinterpret_cast<char const *>(data), int(size));
    const AppVersion version = Environment::instance()->getVersionFromFileName(name);
    // Numbers are taken only in front of a '.', so a name without one gives 0.0.0.0.
    if (!name.contains(QLatin1Char('.'))
        && (version.m_major != 0 || version.m_minor != 0 || version.m_patch != 0 || version.m_rc != 0))
        std::abort();
    (void)version.toString();
    return 0;
}
