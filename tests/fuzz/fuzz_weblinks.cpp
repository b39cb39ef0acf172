// The link finder of the web-page source on an arbitrary fetched page: it gives
// nothing or the setup program's file name and its address, and the version is
// then read from that name. The input is also read as a file name, such as an
// update folder's listing hands over.
#include "fuzzing.h"
#include "updater.h"

static Updater *updater = nullptr;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzing::start(argc, argv, nullptr);
    static Updater instance(Environment::MODE_DEFAULT);
    // Sets the link pattern; with no source chosen it fetches nothing.
    instance.checkSetupFile();
    updater = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QStringList found
        = updater->findVardoStudioData(fuzzing::writeInput(QStringLiteral("page.html"), data, size));
    if (found.size() == 2)
        updater->analyseFileVersion(found.at(0));
    else if (!found.isEmpty())
        std::abort(); // a name without its address, or more

    // Numbers are taken only in front of a '.', so a name without one gives 0.0.0.0.
    const QString name = QString::fromUtf8(reinterpret_cast<char const *>(data), int(size));
    const AppVersion version = Environment::instance()->getVersionFromFileName(name);
    if (!name.contains(QLatin1Char('.')) && version.jsonString() != QLatin1String("0.0.0.0"))
        std::abort();
    return 0;
}
