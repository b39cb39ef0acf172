#ifndef ENVCTL_UPDATESESSION_H
#define ENVCTL_UPDATESESSION_H

#include <environment.h>
#include <progressinitvalues.h>
#include <updater.h>

#include <QEventLoop>
#include <QObject>

#include <functional>

class Terminal;

// Drives one check or one whole update through the updater's signals, the way
// an application of the family does, and turns the outcome into an exit status.
class UpdateSession : public QObject
{
    Q_OBJECT
public:
    enum class Kind { CheckOnly, Update };

    // Exit statuses of envctl.
    enum Status { Done = 0, Failed = 1 };

    UpdateSession(Environment::AppMode mode, Kind kind, Terminal &terminal);
    ~UpdateSession() override;

    // Called once the setup program has been started, before the updater goes
    // away (the demo waits there for the setup program's report).
    void setAfterStart(std::function<void()> afterStart) { m_afterStart = std::move(afterStart); }

    // Prefix of the narration lines ("step" lines); empty for a quiet session.
    void setNarrate(bool narrate) { m_narrate = narrate; }

    int run(bool ignoreCurrentVersion);
    int runLastRelease(bool keepAppMode);

    Updater &updater() { return m_updater; }

private:
    void onInstallQuestion(QString const &question);
    void onCheckEnded();
    void onSetupFileDownloaded();
    void onCloseApplication();
    void onErrors(QString const &errors, QString const &title);
    void onProgress(int barId, int value, QString const &text);
    void onStatus(ProgressInitValues const &line);
    void step(QString const &text);
    void finish(int status);
    int exec(std::function<void()> start);

    Updater m_updater;
    Kind m_kind;
    Terminal &m_terminal;
    QEventLoop m_loop;
    std::function<void()> m_afterStart;
    bool m_narrate = false;
    bool m_downloadAccepted = false;
    bool m_newerFound = false;
    bool m_warned = false;
    bool m_finished = false;
    int m_status = Done;
    int m_steps = 0;
};

#endif
