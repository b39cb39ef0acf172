// Start-up cost of the environment: setupEnvironmentVariables on a first run (no
// settings file) and with a full settings file, writeSettings, and the part the
// font database takes (getProperFont and QFontDatabase::families on their own).
//
//   bench_startup cold-setup   first call in a fresh process, no settings file
//   bench_startup cold-fonts   first QFontDatabase::families + the five default fonts in a fresh process
//   bench_startup warm <n>     per-call medians over n calls after a warm-up
//
// Runs with QStandardPaths' test mode under the temporary HOME the caller gives.

#include "benchutil.h"
#include "environment.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QStandardPaths>

#include <algorithm>
#include <functional>
#include <vector>

namespace
{

QString settingsFile()
{
    return Environment::instance()->getConfigPath() + QStringLiteral("/uiconfig.ini");
}

void setup(bool skipFonts)
{
    Environment::instance()->setupEnvironmentVariables(Environment::APP_STUDIO, skipFonts, true, false, false, false);
}

// The fonts that loading the defaults makes, as the settings loader asks for them.
void defaultFonts()
{
    Environment::getProperFont(QStringLiteral("MS Shell Dlg 2"), 11, false, false);
    Environment::getProperFont(QStringLiteral("Calibri"), 11, false, false);
    Environment::getProperFont(QStringLiteral("Calibri"), 18, true, false);
    Environment::getProperFont(QStringLiteral("Calibri"), 15, true, false);
    Environment::getProperFont(QStringLiteral("Calibri"), 15, true, false);
}

double micros(std::function<void()> const &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e3;
}

// Median of n timed calls; before() runs untimed ahead of each call.
double medianMicros(int n, std::function<void()> const &before, std::function<void()> const &work)
{
    std::vector<double> samples;
    for (int i = 0; i < n; ++i) {
        before();
        samples.push_back(micros(work));
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    // The library's log lines are not what is measured.
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const &, QString const &) {});

    const QByteArray mode = argc > 1 ? argv[1] : "";
    Environment *env = Environment::instance();
    if (mode == "cold-setup") {
        QFile::remove(settingsFile());
        const double us = micros([] { setup(false); });
        bench::printResult(QStringLiteral("cold_setup_us=%1").arg(us, 0, 'f', 1));
        return 0;
    }
    if (mode == "cold-fonts") {
        const double families = micros([] { QFontDatabase().families(); });
        const double fonts = micros(defaultFonts);
        bench::printResult(
            QStringLiteral("cold_families_us=%1 cold_fonts_us=%2").arg(families, 0, 'f', 1).arg(fonts, 0, 'f', 1));
        return 0;
    }
    if (mode != "warm" || argc != 3) {
        std::fprintf(stderr, "usage: %s cold-setup | cold-fonts | warm <calls>\n", argv[0]);
        return 2;
    }
    const int n = std::max(5, QByteArray(argv[2]).toInt());
    auto removeFile = [] { QFile::remove(settingsFile()); };
    auto nothing = [] {};

    // Warm-up: font database, folders, logger, settings file.
    setup(false);
    env->writeSettings();
    setup(false);

    const double firstRun = medianMicros(n, removeFile, [] { setup(false); });
    const double firstRunNoFonts = medianMicros(n, removeFile, [] { setup(true); });
    env->writeSettings();
    const qint64 fileSize = QFileInfo(settingsFile()).size();
    const double fullFile = medianMicros(n, nothing, [] { setup(false); });
    const double fullFileNoFonts = medianMicros(n, nothing, [] { setup(true); });
    setup(false);
    const double write = medianMicros(n, nothing, [env] { env->writeSettings(); });
    const double fonts = medianMicros(n, nothing, defaultFonts);
    const double families = medianMicros(n, nothing, [] { QFontDatabase().families(); });

    bench::printResult(QStringLiteral("first_run_us=%1 first_run_nofonts_us=%2 full_file_us=%3 full_file_nofonts_us=%4 "
                                      "write_us=%5 fonts_us=%6 families_us=%7 settings_bytes=%8 calls=%9")
                           .arg(firstRun, 0, 'f', 1)
                           .arg(firstRunNoFonts, 0, 'f', 1)
                           .arg(fullFile, 0, 'f', 1)
                           .arg(fullFileNoFonts, 0, 'f', 1)
                           .arg(write, 0, 'f', 1)
                           .arg(fonts, 0, 'f', 1)
                           .arg(families, 0, 'f', 1)
                           .arg(fileSize)
                           .arg(n));
    return 0;
}
