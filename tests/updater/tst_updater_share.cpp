#include "updater.h"
#include "updatertestsupport.h"
#include "volumes_p.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTest>

#include <memory>

using namespace updatertest;

namespace
{

QStringList s_log;
QtMessageHandler s_previousHandler = nullptr;

void captureMessages(QtMsgType type, QMessageLogContext const &context, QString const &message)
{
    if (type == QtWarningMsg) {
        s_log.append(QString::fromLatin1(context.function ? context.function : "") + QLatin1Char('|')
            + QString::fromLatin1(context.category ? context.category : "") + QLatin1Char('|') + message);
    }
    if (s_previousHandler)
        s_previousHandler(type, context, message);
}

volumes::Volume volume(QString const &root, QString const &name = QString(), bool valid = true, bool ready = true)
{
    volumes::Volume v;
    v.rootPath = root;
    v.name = name;
    v.valid = valid;
    v.ready = ready;
    return v;
}

QList<volumes::Volume> lettersTaken(char from, char to)
{
    QList<volumes::Volume> result;
    for (char letter = from; letter <= to; ++letter)
        result << volume(QString(QLatin1Char(letter)) + QStringLiteral(":/"));
    return result;
}

} // namespace

Q_DECLARE_METATYPE(QList<volumes::Volume>)

// The update share: drive letters and "net use" through cmd.exe. Neither
// exists here, so the mounted volumes come from the volume list's replacement
// and a script named cmd.exe, first on PATH, records what it is asked.
class UpdaterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void getUnmountedVolume_data();
    void getUnmountedVolume();
    void mountCheckCopyUnmount();
    void mountFails_data();
    void mountFails();
    void destructorUnmounts_data();
    void destructorUnmounts();
    void withoutCmdTheRestWorks();

private:
    QList<QStringList> calls() const;
    void setVolumes(QList<volumes::Volume> const &list)
    {
        volumes::setProvider([list] { return list; });
    }

    std::unique_ptr<TemporaryTmpDir> m_tmp;
    std::unique_ptr<QTemporaryDir> m_work;
    QByteArray m_savedPath;
    QString m_savedCurrent;
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.0"));
    m_savedPath = qgetenv("PATH");
    m_savedCurrent = QDir::currentPath();
}

void UpdaterTest::init()
{
    m_tmp.reset(new TemporaryTmpDir);
    QVERIFY(m_tmp->isValid());
    m_work.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/../share work XXXXXX")));
    QVERIFY(m_work->isValid());
    const QDir work(m_work->path());

    QVERIFY(work.mkpath(QStringLiteral("bin")));
    const QByteArray script = "#!/bin/sh\n"
                              "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo '--'; } >> '"
        + work.filePath(QStringLiteral("cmd.log")).toUtf8()
        + "'\n"
          "echo \"System error 53 has occurred.\"\n"
          "echo \"The network path was not found.\" >&2\n"
          "if [ \"$4\" = /delete ]; then exit \"${FAKE_DELETE_EXIT:-0}\"; fi\n"
          "exit \"${FAKE_MOUNT_EXIT:-0}\"\n";
    const QString cmd = work.filePath(QStringLiteral("bin/cmd.exe"));
    QVERIFY(writeFile(cmd, script));
    QVERIFY(QFile::setPermissions(cmd, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", QFile::encodeName(work.filePath(QStringLiteral("bin"))) + ':' + m_savedPath);
    qputenv("FAKE_MOUNT_EXIT", "0");
    qputenv("FAKE_DELETE_EXIT", "0");

    // Off Windows "Z:/inst" is a folder relative to the current one.
    QVERIFY(QDir::setCurrent(work.path()));
    QVERIFY(work.mkpath(QStringLiteral("Z:/inst")));

    s_log.clear();
    s_previousHandler = qInstallMessageHandler(captureMessages);
}

void UpdaterTest::cleanup()
{
    qInstallMessageHandler(s_previousHandler);
    volumes::setProvider(volumes::Provider());
    qputenv("PATH", m_savedPath);
    QDir::setCurrent(m_savedCurrent);
    m_work.reset();
    m_tmp.reset();
}

QList<QStringList> UpdaterTest::calls() const
{
    QFile file(QDir(m_work->path()).filePath(QStringLiteral("cmd.log")));
    QList<QStringList> result;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return result;
    QStringList current;
    for (QString const &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line == QLatin1String("--")) {
            result << current;
            current.clear();
        } else if (!line.isEmpty()) {
            current << line;
        }
    }
    return result;
}

void UpdaterTest::getUnmountedVolume_data()
{
    QTest::addColumn<QList<volumes::Volume>>("mounted");
    QTest::addColumn<QChar>("letter");

    QTest::newRow("C, D, Z and Y taken: X")
        << QList<volumes::Volume>{volume("C:/"), volume("D:/"), volume("Z:/"), volume("Y:/")} << QChar('X');
    QTest::newRow("every letter from I to Z taken: none") << lettersTaken('I', 'Z') << QChar('?');
    QTest::newRow("letters below I are never used") << lettersTaken('J', 'Z') << QChar('I');
    QTest::newRow("an invalid volume does not take its letter")
        << QList<volumes::Volume>{volume("Z:/", QString(), false)} << QChar('Z');
    QTest::newRow("root paths without letters take none")
        << QList<volumes::Volume>{volume("/"), volume("/boot")} << QChar('Z');
    QTest::newRow("a root outside Latin-1 takes none")
        << QList<volumes::Volume>{volume(QString::fromUtf8("Ж:/"))} << QChar('Z');
}

void UpdaterTest::getUnmountedVolume()
{
    QFETCH(QList<volumes::Volume>, mounted);
    QFETCH(QChar, letter);

    setVolumes(mounted);
    Updater updater(Environment::MODE_DEFAULT);
    QCOMPARE(updater.getUnmountedVolume(), letter);
}

void UpdaterTest::mountCheckCopyUnmount()
{
    setVolumes({volume("C:/"), volume("D:/")});
    QVERIFY(addSetupProgram(QStringLiteral("Z:/inst"), QStringLiteral("VardoStudioSetup_2.1.0.3.exe"),
        m_work->filePath(QStringLiteral("args.txt"))));

    {
        Updater updater(Environment::MODE_DEFAULT);
        updater.m_fileServers = {Updater::FILE_SERVER_SAMBA};
        Recorder said(&updater);
        updater.checkForUpdates(false);

        QCOMPARE(said.question.count(), 1);
        QCOMPARE(updater.m_mountedDrive, QChar('Z'));
        QCOMPARE(calls().size(), 1);
        QCOMPARE(calls().at(0),
            (QStringList{"/C", "net use", "Z:", "\\\\vsfiles\\vsupdates", "/USER:VardoStudio", "kettle#9"}));
        QCOMPARE(updater.m_setupLocation,
            QDir(QStringLiteral("Z:/inst")).absolutePath() + QStringLiteral("/VardoStudioSetup_2.1.0.3.exe"));

        // The share is released once the setup program has been copied.
        updater.updateApp();
        QCOMPARE(said.errors.count(), 0);
        QCOMPARE(said.downloaded.count(), 1);
        QCOMPARE(calls().size(), 2);
        QCOMPARE(calls().at(1), (QStringList{"/C", "net use", "Z:", "/delete", "/YES"}));
        QCOMPARE(updater.m_mountedDrive, QChar('?'));
    }
    // Nothing left to release.
    QCOMPARE(calls().size(), 2);
    QVERIFY(s_log.isEmpty());
}

void UpdaterTest::mountFails_data()
{
    QTest::addColumn<QList<volumes::Volume>>("mounted");
    QTest::addColumn<bool>("mountTried");
    QTest::addColumn<bool>("fallback");

    const QString share = QStringLiteral("SHARE/");
    QTest::newRow("falls back on a volume named like the marker")
        << QList<volumes::Volume>{volume("C:/", "System"), volume(share, "VardoStudio Updates")} << true << true;
    QTest::newRow("a volume that is not ready is no fallback")
        << QList<volumes::Volume>{volume("C:/"), volume(share, "VARDOSTUDIO", true, false)} << true << false;
    QTest::newRow("no volume with the marker")
        << QList<volumes::Volume>{volume("C:/", "System"), volume(share, "Updates")} << true << false;
    QTest::newRow("no free letter: nothing is mounted") << lettersTaken('I', 'Z') << false << false;
}

void UpdaterTest::mountFails()
{
    QFETCH(QList<volumes::Volume>, mounted);
    QFETCH(bool, mountTried);
    QFETCH(bool, fallback);

    // The fallback volume's root is a folder of the test.
    const QString shareRoot = m_work->filePath(QStringLiteral("share root")) + QLatin1Char('/');
    for (volumes::Volume &v : mounted) {
        if (v.rootPath == QLatin1String("SHARE/"))
            v.rootPath = shareRoot;
    }
    QVERIFY(QDir().mkpath(shareRoot + QStringLiteral("inst")));
    QVERIFY(addSetupProgram(shareRoot + QStringLiteral("inst"), QStringLiteral("VardoStudioSetup_2.1.0.3.exe"),
        m_work->filePath(QStringLiteral("args.txt"))));
    setVolumes(mounted);
    qputenv("FAKE_MOUNT_EXIT", "2");
    qputenv("FAKE_DELETE_EXIT", "0");

    Updater updater(Environment::MODE_DEFAULT);
    updater.m_fileServers = {Updater::FILE_SERVER_SAMBA};
    Recorder said(&updater);
    updater.checkForUpdates(false);

    QCOMPARE(calls().size(), mountTried ? 1 : 0);
    if (mountTried) {
        QCOMPARE(s_log.size(), 1);
        const QString line = s_log.first();
        QVERIFY2(line.startsWith(QStringLiteral("bool Updater::mountDrive()|default|exit code: 2")), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral("exit code: 2 , exit status: NormalExit")), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral("\noutput: \"System error 53 has occurred.\\n\"")), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral("\nerrors: \"The network path was not found.\\n\"")), qPrintable(line));
        // The letter that failed stays set.
        QCOMPARE(updater.m_mountedDrive, QChar('Z'));
    } else {
        QVERIFY(s_log.isEmpty());
        QCOMPARE(updater.m_mountedDrive, QChar('?'));
    }

    if (fallback) {
        QCOMPARE(said.question.count(), 1);
        QCOMPARE(said.status.count(), 0);
        QCOMPARE(updater.m_setupLocation, shareRoot + QStringLiteral("inst/VardoStudioSetup_2.1.0.3.exe"));
    } else {
        QCOMPARE(said.question.count(), 0);
        QCOMPARE(updater.m_errors, QStringList(QStringLiteral("Unable to mount network drive to check setup file.")));
        QCOMPARE(said.status.count(), 1);
        QCOMPARE(said.statusText(), QStringLiteral("Warning: Unable to mount network drive to check setup file."));
    }
}

void UpdaterTest::destructorUnmounts_data()
{
    QTest::addColumn<QByteArray>("mountExit");
    QTest::addColumn<QByteArray>("deleteExit");
    QTest::addColumn<bool>("refusedDownload"); // updateApp, with nothing newer found, before the end

    QTest::newRow("released") << QByteArray("0") << QByteArray("0") << false;
    QTest::newRow("release fails") << QByteArray("0") << QByteArray("1") << false;
    QTest::newRow("mount failed: the letter, maybe the user's, is left alone")
        << QByteArray("2") << QByteArray("0") << false;
    QTest::newRow("refused download releases the share at once") << QByteArray("0") << QByteArray("0") << true;
}

void UpdaterTest::destructorUnmounts()
{
    QFETCH(QByteArray, mountExit);
    QFETCH(QByteArray, deleteExit);
    QFETCH(bool, refusedDownload);
    setVolumes({volume("C:/"), volume("Z:/")});
    qputenv("FAKE_MOUNT_EXIT", mountExit);
    qputenv("FAKE_DELETE_EXIT", deleteExit);

    {
        Updater updater(Environment::MODE_DEFAULT);
        updater.m_fileServers = {Updater::FILE_SERVER_SAMBA};
        updater.checkForUpdates(false);
        QCOMPARE(updater.m_mountedDrive, QChar('Y'));
        QCOMPARE(calls().size(), 1);
        QCOMPARE(s_log.size(), mountExit == "0" ? 0 : 1);
        s_log.clear();
        if (refusedDownload) {
            Recorder said(&updater);
            updater.updateApp();
            QCOMPARE(said.errors.count(), 1);
            QCOMPARE(calls().size(), 2);
        }
    }

    if (mountExit != "0") {
        QCOMPARE(calls().size(), 1);
        QVERIFY(s_log.isEmpty());
        return;
    }
    QCOMPARE(calls().size(), 2);
    QCOMPARE(calls().at(1), (QStringList{"/C", "net use", "Y:", "/delete", "/YES"}));
    if (deleteExit == "0") {
        QVERIFY(s_log.isEmpty());
    } else {
        QCOMPARE(s_log.size(), 1);
        const QString line = s_log.first();
        QVERIFY2(
            line.startsWith(QStringLiteral("void Updater::unmountDrive()|default|exit code: 1")), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral("exit code: 1 , exit status: NormalExit \noutput: \"System error 53")),
            qPrintable(line));
        QVERIFY(!line.contains(QStringLiteral("errors:")));
    }
}

// Where neither cmd.exe nor drive letters exist the share cannot be mounted;
// that is reported like any failed mount, and the other sources still work.
void UpdaterTest::withoutCmdTheRestWorks()
{
    qputenv("PATH", m_savedPath);
    volumes::setProvider(volumes::Provider());
    QVERIFY(QStandardPaths::findExecutable(QStringLiteral("cmd.exe")).isEmpty());

    const QString folder = m_work->filePath(QStringLiteral("update folder"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(addSetupProgram(
        folder, QStringLiteral("VardoStudioSetup_2.1.0.3.exe"), m_work->filePath(QStringLiteral("args.txt"))));
    Environment::instance()->setSetting(UPDATES_LOCAL_DIR, folder);

    Updater updater(Environment::MODE_DEFAULT);
    updater.m_fileServers = {Updater::FILE_SERVER_SAMBA};
    Recorder said(&updater);
    updater.checkForUpdates(false);
    QCOMPARE(said.question.count(), 0);
    QCOMPARE(said.status.count(), 1);
    QCOMPARE(said.statusText(), QStringLiteral("Warning: Unable to mount network drive to check setup file."));
    // A mount that never ran is not a success.
    QCOMPARE(calls().size(), 0);

    updater.setAvailableServers(Environment::MODE_LOCAL_UPDATES);
    updater.checkForUpdates(false);
    QCOMPARE(said.question.count(), 1);
    updater.updateApp();
    QCOMPARE(said.downloaded.count(), 1);
    Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
}

QTEST_GUILESS_MAIN(UpdaterTest)
#include "tst_updater_share.moc"
