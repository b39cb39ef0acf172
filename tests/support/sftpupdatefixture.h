#ifndef ENV_TESTS_SFTPUPDATEFIXTURE_H
#define ENV_TESTS_SFTPUPDATEFIXTURE_H

#include "sftpserverprocess.h"
#include "updatertestsupport.h"

#include <QJsonObject>
#include <QStringList>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

#include <memory>

namespace updatertest
{

// libssh records the server in the known-hosts file of the password
// database's home, which must be this test's own (nss_wrapper, through
// ctest). A key of an earlier run on the same port would read as a changed
// key, so it goes.
inline void clearSshHome()
{
    passwd const *user = getpwuid(getuid());
    QVERIFY(user);
    const QString home = QString::fromLocal8Bit(user->pw_dir);
    QVERIFY2(home.startsWith(QStringLiteral(ENV_TEST_BINARY_DIR "/")),
        qPrintable(QStringLiteral("not isolated (run it through ctest): home is ") + home));
    QVERIFY(QDir(home + QStringLiteral("/.ssh")).removeRecursively());
}

// Starts server on the build-time update port. The port is fixed: a demo or
// another build's test outside this ctest run may hold it for a while.
inline bool startOnUpdatePort(SftpServerProcess &server, SftpServerProcess::Options options, QString *error)
{
    options.port = ENV_TEST_UPDATE_PORT;
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (server.start(options, error))
            return true;
        QTest::qWait(1000);
    }
    return false;
}

// What the update server offers, and to whom.
const QString setupName = QStringLiteral("VardoStudioSetup_2.1.1.0.exe");
const QStringList defaultAccounts{QStringLiteral(ENV_TEST_CHECK_ACCOUNT), QStringLiteral(ENV_TEST_FETCH_ACCOUNT)};

// The update server of the SFTP source: a version folder and a setup program
// (that records how it was started) under m_root, served on the update port.
class SftpUpdateFixture
{
protected:
    // For initTestCase: the server's files; the server is not started yet.
    void makeServerFiles()
    {
        QVERIFY(m_work.isValid());
        clearSshHome();
        m_root = m_work.filePath(QStringLiteral("server"));
        m_control = m_work.filePath(QStringLiteral("control.json"));
        m_argsFile = m_work.filePath(QStringLiteral("setup args.txt"));
        m_setupPath = m_root + QStringLiteral("/setup/") + setupName;
        QVERIFY(QDir().mkpath(m_root + QStringLiteral(ENV_TEST_VERSION_DIR)));
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/setup")));
        // Several pipelined chunks, so the download reports progress more than once.
        QVERIFY(writeSetupProgram(m_setupPath, m_argsFile));
        QFile setup(m_setupPath);
        QVERIFY(setup.open(QIODevice::Append));
        QVERIFY(setup.write("#" + QByteArray(100000, 'x') + "\n") > 0);
    }

    bool startServer(QStringList const &accounts, QString const &hostKey)
    {
        SftpServerProcess::Options options;
        options.root = m_root;
        options.hostKey = hostKey;
        options.control = m_control;
        options.accounts = accounts;
        QString error;
        if (startOnUpdatePort(m_server, options, &error))
            return true;
        qWarning() << error;
        return false;
    }

    // The entry of the version file that offers the setup program.
    QJsonObject offer(QString const &version = QStringLiteral("2.1.1.0")) const
    {
        return QJsonObject{{QStringLiteral("version"), version}, {QStringLiteral("dir"), QStringLiteral("/setup/")},
            {QStringLiteral("file"), setupName}, {QStringLiteral("md5"), md5Of(m_setupPath)}};
    }
    QString versionFilePath() const { return m_root + QStringLiteral(ENV_TEST_VERSION_DIR "/vsver.json"); }

    // For init: no record of an earlier start, a fresh TMPDIR.
    void resetForTest()
    {
        QFile::remove(m_argsFile);
        m_tmp.reset(new TemporaryTmpDir);
        QVERIFY(m_tmp->isValid());
    }

    // The data of a fault that strikes after the afterColumn'th byte sent: of
    // a padded version file (during the check) or of the setup program.
    static void midTransferRows(char const *afterColumn)
    {
        QTest::addColumn<int>("versionFileSize");
        QTest::addColumn<int>(afterColumn);
        QTest::addColumn<bool>("duringCheck");

        QTest::newRow("during the version file") << 40000 << 20000 << true;
        QTest::newRow("during the setup program") << 0 << 50000 << false;
    }

    QString tempFolder() const { return QDir::tempPath() + QStringLiteral("/vsupd/"); }
    QStringList tempEntries() const { return QDir(tempFolder()).entryList(QDir::Files); }

    QTemporaryDir m_work;
    QString m_root;
    QString m_control;
    QString m_setupPath;
    QString m_argsFile;
    SftpServerProcess m_server;
    std::unique_ptr<TemporaryTmpDir> m_tmp;
};

} // namespace updatertest

#endif
