// The link finder of the web-page source on an arbitrary fetched page: it
// gives nothing or the setup program's file name and its address, and the
// version is then read from that file name.
#include "updater.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

QTemporaryDir &workDir()
{
    static QTemporaryDir dir;
    return dir;
}

Updater *updater = nullptr;

} // namespace

// The updater's test seam: the link pattern is set by checkSetupFile, which
// would also start a check.
class UpdaterTest
{
public:
    static void setLinkPattern(Updater &updater)
    {
        updater.m_setupRegExp
            = QStringLiteral("href=.{0,1}http.*") + updater.m_setupFilePrefix + QStringLiteral(".*exe[\",>]");
    }
};

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const &, QString const &) {});
    if (!workDir().isValid())
        std::abort();
    static Updater instance(Environment::MODE_DEFAULT);
    UpdaterTest::setLinkPattern(instance);
    updater = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QString path = workDir().filePath(QStringLiteral("download.html"));
    {
        QFile page(path);
        if (!page.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || page.write(reinterpret_cast<char const *>(data), qint64(size)) != qint64(size))
            std::abort();
    }
    const QStringList found = updater->findVardoStudioData(path);
    if (!found.isEmpty() && found.size() != 2) {
        std::fprintf(stderr, "the link finder gave %d texts\n", int(found.size()));
        std::abort();
    }
    if (found.size() == 2)
        updater->analyseFileVersion(found.at(0));
    return 0;
}
