// The settings loader on arbitrary file content, followed by a write: the
// load never fails start-up, and a file Qt could not read completely is kept
// byte for byte in "uiconfig.ini.bak" before it is rewritten.
#include "environment.h"
#include "settingsvariants_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

QTemporaryDir &workDir()
{
    // Removed at exit; a crash leaves it to the caller's temporary folder.
    static QTemporaryDir dir;
    return dir;
}
bool loadReportedError = false;

// Also keeps the fuzzer fast: every load and write logs a line.
void recordMessages(QtMsgType type, QMessageLogContext const &, QString const &message)
{
    if (type == QtInfoMsg && message.startsWith(QLatin1String("Cannot read settings file:")))
        loadReportedError = true;
}

QByteArray readAll(QString const &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QStandardPaths::setTestModeEnabled(true);
    if (!workDir().isValid())
        std::abort();
    qInstallMessageHandler(recordMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QByteArray content(reinterpret_cast<char const *>(data), int(size));
    const QString path = workDir().filePath(QStringLiteral("uiconfig.ini"));
    const QString backup = path + QStringLiteral(".bak");
    QFile::remove(backup);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
            std::abort();
    }

    // The scan that keeps damaged stored objects away from QSettings: a file
    // it lets through parses without a crash, a hang or a huge allocation
    // (the fuzzer's own limits tell).
    if (settingsvariants::scan(content) != settingsvariants::Verdict::Unsafe) {
        QSettings direct(path, QSettings::IniFormat);
        for (QString const &key : direct.allKeys())
            direct.value(key);
    }

    Environment *env = Environment::instance();
    loadReportedError = false;
    env->loadSettings(false, path);
    const bool hadError = loadReportedError;
    env->writeSettings();

    if (hadError && readAll(backup) != content) {
        std::fprintf(stderr, "the unreadable settings file was not kept in %s\n", qPrintable(backup));
        std::abort();
    }

    // What was written reads back without an error.
    loadReportedError = false;
    env->loadSettings(false, path);
    if (loadReportedError) {
        std::fprintf(stderr, "the written settings file does not read back cleanly\n");
        std::abort();
    }
    return 0;
}
