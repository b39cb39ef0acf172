// The settings loader on arbitrary file content, followed by a write: the
// load never fails start-up, a file Qt could not read completely is kept byte
// for byte in "uiconfig.ini.bak" before it is rewritten, and a clean file
// reads back cleanly after the write.
#include "environment.h"
#include "fuzzing.h"
#include "settingsvariants_p.h"

#include <QSettings>

#include <cstdio>

namespace
{

bool loadReportedError = false;

void recordMessages(QtMsgType type, QMessageLogContext const &, QString const &message)
{
    if (type == QtInfoMsg && message.startsWith(QLatin1String("Cannot read settings file:")))
        loadReportedError = true;
}

bool loadFails(QString const &path)
{
    loadReportedError = false;
    Environment::instance()->loadSettings(false, path);
    return loadReportedError;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzing::start(argc, argv, recordMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QByteArray content(reinterpret_cast<char const *>(data), int(size));
    const QString backup = fuzzing::workDir().filePath(QStringLiteral("uiconfig.ini.bak"));
    QFile::remove(backup);
    const QString path = fuzzing::writeInput(QStringLiteral("uiconfig.ini"), data, size);

    // The scan that keeps damaged stored objects away from QSettings: a file
    // it lets through parses without a crash, a hang or a huge allocation
    // (the fuzzer's own limits tell).
    if (settingsvariants::scan(content) != settingsvariants::Verdict::Unsafe) {
        QSettings direct(path, QSettings::IniFormat);
        for (QString const &key : direct.allKeys())
            direct.value(key);
    }

    const bool failed = loadFails(path);
    Environment::instance()->writeSettings();
    QFile kept(backup);
    if (failed && (!kept.open(QIODevice::ReadOnly) || kept.readAll() != content)) {
        std::fprintf(stderr, "the unreadable settings file was not kept in %s\n", qPrintable(backup));
        std::abort();
    }
    // A clean file stays clean. A host's damaged entry is kept as it is (only
    // what changed is written), so such a file may still read incomplete.
    if (!failed && loadFails(path)) {
        std::fprintf(stderr, "a clean settings file does not read back cleanly after a write\n");
        std::abort();
    }
    return 0;
}
