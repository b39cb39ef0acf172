#include "updatesession.h"

#include "interruption.h"
#include "terminal.h"

#include <QTimer>

namespace
{
constexpr int checkBarId = 1;
constexpr int downloadBarId = 2;
} // namespace

UpdateSession::UpdateSession(Environment::AppMode mode, Kind kind, Terminal &terminal)
    : m_updater(mode)
    , m_kind(kind)
    , m_terminal(terminal)
{
    m_updater.setProgressBarId(checkBarId);
    connect(&m_updater, &Updater::installQuestion, this, &UpdateSession::onInstallQuestion);
    connect(&m_updater, &Updater::checkForUpdatesEnded, this, &UpdateSession::onCheckEnded);
    connect(&m_updater, &Updater::setupFileDownloaded, this, &UpdateSession::onSetupFileDownloaded);
    connect(&m_updater, &Updater::closeApplication, this, &UpdateSession::onCloseApplication);
    connect(&m_updater, &Updater::errorsOccured, this, &UpdateSession::onErrors);
    connect(&m_updater, &Updater::progressInfo, this, &UpdateSession::onProgress);
    connect(&m_updater, &Updater::progressStatusInfo, this, &UpdateSession::onStatus);
    connect(&m_updater, &Updater::removeProgressBar, this, [this](int) { m_terminal.endProgress(); });
    interruption::setUpdater(&m_updater);
}

UpdateSession::~UpdateSession()
{
    interruption::setUpdater(nullptr);
}

int UpdateSession::run(bool ignoreCurrentVersion)
{
    return exec([this, ignoreCurrentVersion] {
        step(QStringLiteral("checking for a newer version"));
        m_updater.checkForUpdates(ignoreCurrentVersion);
    });
}

int UpdateSession::runLastRelease(bool keepAppMode)
{
    return exec([this, keepAppMode] {
        step(QStringLiteral("looking for the latest final release"));
        m_updater.downloadLastReleaseVersion(keepAppMode);
    });
}

int UpdateSession::exec(std::function<void()> start)
{
    // Start from the event loop, as a host's button would.
    QTimer::singleShot(0, this, std::move(start));
    m_loop.exec();
    return m_status;
}

void UpdateSession::step(QString const &text)
{
    if (m_narrate)
        m_terminal.out(QStringLiteral("[%1] %2").arg(++m_steps).arg(text));
}

void UpdateSession::onInstallQuestion(QString const &question)
{
    m_newerFound = true;
    step(QStringLiteral("the updater asks: install question"));
    m_terminal.out(question.trimmed());
    if (m_kind == Kind::CheckOnly)
        return;
    if (m_terminal.ask(QStringLiteral("Download it?"))) {
        m_downloadAccepted = true;
        step(QStringLiteral("download accepted; the updater starts it after 2 seconds"));
        m_updater.prepareToUpdateApp(downloadBarId);
    }
}

void UpdateSession::onCheckEnded()
{
    if (m_downloadAccepted)
        return; // the download follows from the event loop
    if (!m_newerFound && !m_warned)
        m_terminal.out(QStringLiteral("No newer version is available (running %1).")
                           .arg(Environment::instance()->getAppVersion().toString()));
    finish(m_warned ? Failed : Done);
}

void UpdateSession::onSetupFileDownloaded()
{
    step(QStringLiteral("setup program downloaded and its MD5 sum verified"));
    m_terminal.out(m_updater.prepareRunSetupQuestion().trimmed());
    if (m_terminal.ask(QStringLiteral("Install it?"))) {
        step(QStringLiteral("starting the setup program"));
        m_updater.runSetupFile();
    } else {
        m_terminal.out(QStringLiteral("Installation declined; nothing was started."));
        finish(Done);
    }
}

void UpdateSession::onCloseApplication()
{
    step(QStringLiteral("setup program started; the application is asked to close"));
    if (m_afterStart) {
        m_afterStart();
        finish(Done);
        return;
    }
    // The updater removes its temporary folder when it goes; give the setup
    // program started from there a moment to open its file first.
    QTimer::singleShot(1500, this, [this] { finish(Done); });
}

void UpdateSession::onErrors(QString const &errors, QString const &title)
{
    m_terminal.err(
        QStringLiteral("error: %1: %2").arg(title, QString(errors).replace(QLatin1Char('\n'), QStringLiteral("\n  "))));
    finish(Failed);
}

void UpdateSession::onProgress(int, int value, QString const &text)
{
    // A transfer reports here while it holds the main thread.
    interruption::poll();
    m_terminal.progress(value, text);
}

void UpdateSession::onStatus(ProgressInitValues const &line)
{
    if (line.type() == ProgressInitValues::Warning) {
        m_warned = true;
        m_terminal.err(line.text());
    } else {
        m_terminal.out(line.text());
    }
}

void UpdateSession::finish(int status)
{
    if (m_finished)
        return;
    m_finished = true;
    m_status = status;
    m_terminal.endProgress();
    m_loop.quit();
}
