// The settings loader on arbitrary file content, followed by a write: the
// load never fails start-up, a file Qt could not read completely is kept byte
// for byte in "uiconfig.ini.bak" before it is rewritten, and a clean file
// reads back cleanly after the write.
#include "environment.h"
#include "fuzzing.h"
#include "settingsvariants_p.h"

#include <QSettings>

static bool loadReportedError = false;

static void recordMessages(QtMsgType type, QMessageLogContext const &, QString const &message)
{
    loadReportedError |= type == QtInfoMsg && message.startsWith(QLatin1String("Cannot read settings file:"));
}

static bool loadFails(QString const &path)
{
    loadReportedError = false;
    Environment::instance()->loadSettings(false, path);
    return loadReportedError;
}

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
    if (failed && (!kept.open(QIODevice::ReadOnly) || kept.readAll() != content))
        std::abort(); // the unreadable file was not kept in uiconfig.ini.bak
    // A clean file stays clean. A host's damaged entry is kept as it is (only
    // what changed is written), so such a file may still read incomplete.
    if (!failed && loadFails(path))
        std::abort(); // a clean file does not read back cleanly after a write
    return 0;
}
