#ifndef ENV_UPDATER_H
#define ENV_UPDATER_H

#include "env_export.h"
#include "environment.h"
#include "progressinitvalues.h"

#include <QChar>
#include <QDir>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QVector>

// Finds, fetches, verifies and starts the setup program of a newer release of
// the host application. It shows nothing itself: questions, progress, status
// lines and errors leave it as signals, and the host moves the update on by
// calling back (checkForUpdates, prepareToUpdateApp, runSetupFile).
class ENV_EXPORT Updater : public QObject
{
    Q_OBJECT

public:
    enum FileServer {
        FILE_SERVER_SFTP = 0,
        FILE_SERVER_HTTP_URL = 1,
        FILE_SERVER_HTTP_PAGE = 2,
        FILE_SERVER_HTTP_TEST_URL = 3,
        FILE_SERVER_LOCAL_DIR = 5,
        FILE_SERVER_SAMBA = 6
    };

    explicit Updater(Environment::AppMode mode);
    ~Updater() override;

    // Lifetime and state
    void setReady();
    void setNotReady();
    void setAvailableServers(Environment::AppMode mode);
    bool nextFileServer();
    int getFileServer() const;
    QString getNewVersionString();
    QString getCurrentVersionString();

    // Progress
    void setProgressBarId(int id);
    void emitProgressBarInfo();

    // Check
    void checkForUpdates(bool ignoreCurrentVersion);
    void downloadLastReleaseVersion(bool keepAppMode);
    bool isNewVersion();
    void analyseFileVersion(QString const &fileName);
    void checkSetupFile();

    // Web page source
    void httpDownload(QString const &url);
    QStringList findVardoStudioData(QString const &fileName);

    // SFTP source
    QStringList secureEnumArgs(QVector<EnvSettingKey> keys);
    void sftpDownloadCheckVersion();
    bool sftpDownloadNewVersion();
    QStringList sftpDownloadSetupFile();

    // Update folder and network share
    void localDir();
    void sambaFileVersion();
    bool checkInstallationFiles(QDir const &dir);
    QChar getUnmountedVolume();
    bool mountDrive();
    void unmountDrive();

    // Installation
    QString prepareRunSetupQuestion();
    void runSetupFile();
    void removeTempDir(bool recreate);

signals:
    void installQuestion(QString const &question);
    void newVersionIsAvailable();
    void checkForUpdatesEnded();
    void setupFileDownloaded();
    void closeApplication();
    void removeProgressBar(int progressBarId);
    void errorsOccured(QString const &errors, QString const &title);
    void progressInfo(int progressBarId, int value, QString const &text);
    void progressStatusInfo(ProgressInitValues const &piv);

public slots:
    void updateApp();
    void prepareToUpdateApp(int downloadProgressBarId);

private slots:
    void vardoStudioSetupDownloaded(
        QNetworkReply::NetworkError error, QString const &errorDescr, QString const &downloadedFileName);
    void vardoStudioSetupRedirected(QString const &newUrl);
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void prepareInstallationQuestion();
    void showErrors(bool error, QStringList const &errors);
    void showNetworkError(QNetworkReply::NetworkError netError, QString const &error);
    void sftpErrors(QStringList const &errors);
    void sendUpdateError(QString const &err);

private:
    Q_DISABLE_COPY(Updater)

    bool tempDirIsOwn() const;
    QString tempDirError() const;

    // The order of these members is part of the binary interface.
    QString m_setupFilePrefix;
    QString m_tempDirName;
    QChar m_noDrive;
    int m_fileServer;
    QStringList m_errors;
    QVector<int> m_fileServers;
    int m_fileServerCount;
    bool m_infoMode;
    bool m_releaseMode;
    bool m_keepAppMode;
    QMutex m_readyMutex;
    bool m_ready;
    bool m_versionChecked;
    int m_progressBarId;
    int m_downloadProgressBarId;
    QTime m_downloadTime;
    AppVersion m_currentVersion;
    AppVersion m_newVersion;
    QChar m_mountedDrive;
    QString m_tempPath;
    QString m_setupLocation;
    QString m_setupDir;
    QString m_setupFileName;
    QString m_setupMd5;
    QString m_setupRegExp;
    QString m_downloadFilePath;
};

#endif // ENV_UPDATER_H
