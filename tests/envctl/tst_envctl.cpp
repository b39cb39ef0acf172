// envctl run as a separate process, the way a person runs it.

#include "envtesting.h"
#include "sftpupdatefixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <memory>
#include <unistd.h>

using namespace updatertest;

class tst_Envctl : public QObject
{
    Q_OBJECT

    // The update server envctl checks against: a version folder and a setup
    // program under the work folder, served on the build-time update port;
    // each test function runs with a fresh TMPDIR, where envctl's updater downloads.
    QTemporaryDir m_work;
    QString m_root = m_work.filePath("server"), m_control = m_work.filePath("control.json");
    QString m_setupPath = m_root + "/setup/" + setupName;
    SftpServerProcess m_server;
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_appDir = QFileInfo(QStringLiteral(ENVCTL_PATH)).absolutePath();
    QString m_settings; // the settings file envctl uses, as "info" tells

    // Runs envctl with the arguments separated by '|', %tmp replaced by folder;
    // "file!" or "folder!" before them makes the settings file or its folder
    // read-only for the run. Standard output and error.
    QStringList run(QString command, QString const &folder, int *exitCode)
    {
        const int bang = command.startsWith("$ ") ? -1 : command.indexOf('!');
        const QString lock = command.left(qMax(bang, 0));
        command.remove(0, bang + 1);
        const QStringList args = command.isEmpty() ? QStringList() : command.replace("%tmp", folder).split('|');
        const QString locked = lock.isEmpty() ? lock : lock == "file" ? m_settings : QFileInfo(m_settings).path();
        const QFile::Permissions permissions = QFile::permissions(locked);
        QFile::setPermissions(locked, lock == "file" ? QFile::ReadOwner : QFile::ReadOwner | QFile::ExeOwner);
        QProcess process;
        process.setWorkingDirectory(folder);
        // Root writes whatever the mode says: without the capabilities that allow it, the mode counts.
        if (command.startsWith("$ "))
            process.start("sh", {"-c", command.mid(2)});
        else if (!lock.isEmpty() && geteuid() == 0)
            process.start("setpriv",
                QStringList{"--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--", ENVCTL_PATH}
                    + args);
        else
            process.start(ENVCTL_PATH, args);
        process.closeWriteChannel();
        const bool finished = process.waitForFinished(120000);
        QFile::setPermissions(locked, permissions);
        *exitCode = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return {QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

private slots:
    void initTestCase()
    {
        clearSshHome();
        QVERIFY(QDir().mkpath(m_root + ENV_TEST_VERSION_DIR) && QDir().mkpath(m_root + "/setup"));
        // Several pipelined chunks, so the download reports progress more than once.
        QVERIFY(writeSetupProgram(m_setupPath, m_work.filePath("setup args.txt")));
        QFile setup(m_setupPath);
        QVERIFY(setup.open(QIODevice::Append) && setup.write("#" + QByteArray(100000, 'x') + "\n") > 0);
        qputenv("ENVCTL", ENVCTL_PATH);
        qputenv("PROMPT", ENV_SYSTEM_PYTHON " " ENV_TEST_SOURCE_DIR "/answer_prompt.py");
        int exitCode = 0;
        const QString info = run("info", QString(), &exitCode).first();
        m_settings = info.section("settings file:", 1).section('\n', 0, 0).trimmed();
        QVERIFY2(m_settings.endsWith("/uiconfig.ini"), qPrintable(info));
        qputenv("SETTINGS", m_settings.toUtf8());
    }
    void init()
    {
        m_tmp.reset(new QTemporaryDir(m_work.filePath("tmp with blank XXXXXX")));
        qputenv("TMPDIR", m_tmp->path().toLocal8Bit());
        QFile::remove(m_settings);
    }
    void cleanup() { m_tmp.reset(); }
    void commands_data();
    void commands();
    void updateFromTheServer_data();
    void updateFromTheServer();
};

void tst_Envctl::commands_data()
{
    QTest::addColumn<QByteArray>("file"); // the settings file before the steps
    // One step a line: "arguments => exit status|text shown|another text shown".
    QTest::addColumn<QString>("steps");
    auto row = [](char const *name, QString const &steps, QByteArray const &file = {}) {
        QTest::newRow(name) << file << steps;
    };
    // The local update folder holds a setup program that writes its arguments to "args".
    const QString update = "$ printf 'y\\ny\\n' | $ENVCTL update --mode local --dir update";
    const QString started = "\n$ for i in $(seq 100); do [ -f args ] && break; sleep 0.1; done; cat args => "
                            "0|upd=true|runAfterInst=true|instPath="
        + m_appDir;
    const QString notStarted = "\n$ sleep 0.3; test ! -e args => 0";
    row("no command", " => 2|usage");
    row("unknown option", "--bogus|info => 2|usage");
    row("an unknown command or mode", "frobnicate => 2|unknown\ncheck|--mode|ftp => 2|unknown");
    row("settings without action", "settings => 2|usage");
    row("not a locale", "language|xx_YY => 2|unknown");
    row("unknown setting", "settings|get|NO_SUCH_KEY => 2|unknown");
    row("info or demo with an argument", "info|extra => 2|usage\ndemo|extra => 2|usage");
    row("release sign without a key", "release|sign|--version|1.0.0.0|file => 2|usage");
    row("info tells the build's trust",
        "info => 0|release signatures:    not required|update server key:     not pinned");
    QTest::newRow("demo completes the cycle")
        << QByteArray()
        << "demo => 0|[upd=true]|[runAfterInst=true]|[instPath=" + m_appDir + "]|Demo update cycle completed.";
    row("the local-alt mode the application was installed with is kept", "check => 0|No newer version",
        "[APP_SETTINGS]\nAPP_MODE=3\n");
    row("an empty update folder offers nothing", "check|--mode|local|--dir|%tmp/empty => 0|No newer version");
    row("a text, a font and an unset entry go through the file",
        "settings|set|STYLE|fusion => 0\nsettings|get|STYLE => 0|fusion\n"
        "settings|set|GUI_NODE_NAME_FONT|DejaVu Sans, 21, italic => 0\n"
        "settings|set|COMPONENT_DATA_BANK|SqlDataBank => 0\nsettings|unset|COMPONENT_DATA_BANK => 0\n"
        "settings|list => 0|COMPONENT_DATA_BANK = FileDataBank|STYLE = fusion|21 px, italic");
    row("an escaped damaged object is not read", "settings|get|STYLE => 0|default",
        "[UI_SETTINGS]\nSTYLE=\\x40Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n");
    row("a read-only file fails and keeps the value",
        "file!settings|set|STYLE|plain => 1|read-only\nsettings|get|STYLE => 0|fusion",
        "[UI_SETTINGS]\nSTYLE=fusion\n");
    row("a read-only folder fails and keeps the value",
        "folder!settings|set|STYLE|plain => 1|read-only\nsettings|get|STYLE => 0|fusion",
        "[UI_SETTINGS]\nSTYLE=fusion\n");
    row("the language chosen translates the next start",
        "language|en_US => 1|no translation for en_US\nlanguage|de_DE => 0\n"
        "filters|project|korax-log => 0|Projektdatei (*.vsp);;Protokolldatei [KORAX] (pu pu0*)");
    row("two writers keep both changes",
        "settings|set|STYLE|fusion => 0\n$ for i in $(seq 20); do $ENVCTL settings set LOG_LEVEL l$i & a=$!; "
        "$ENVCTL settings set LOG_FILE f$i && wait $a && grep -qx LOG_LEVEL=l$i $SETTINGS && "
        "grep -qx LOG_FILE=f$i $SETTINGS && grep -qx STYLE=fusion $SETTINGS || exit 1; done => 0");
    // What envctl release signs, openssl verifies: Ed25519 over the documented message.
    row("a release signature is openssl's Ed25519",
        "$ $ENVCTL release keygen . > out && grep -qF -- -DENV_UPDATE_PUBLIC_KEY=$(cat release-key.pub) out => 0\n"
        "$ stat -c %a release-key.pem => 0|600\n"
        "$ truncate -s 70000 Setup_3.1.0.0.exe && $ENVCTL release sign --key release-key.pem --version 3.1 "
        "Setup_3.1.0.0.exe => 0\n"
        "$ printf 'env-release-1\\n3.1.0.0\\nSetup_3.1.0.0.exe\\n70000\\n%s\\n' $(sha256sum Setup_3.1.0.0.exe | cut "
        "-c1-64) > m; "
        "base64 -d Setup_3.1.0.0.exe.sig > s; openssl pkeyutl -verify -inkey release-key.pem -rawin -in m -sigfile s "
        "=> 0\n"
        "$ test $(openssl pkey -in release-key.pem -pubout -outform DER | tail -c 32 | base64) = $(cat "
        "release-key.pub) => 0\n"
        "$ $ENVCTL release verify --public-key $(cat release-key.pub) --version 3.1.0.0 Setup_3.1.0.0.exe => 0\n"
        "$ $ENVCTL release verify --public-key $(cat release-key.pub) --version 3.1.0.1 Setup_3.1.0.0.exe => 1");
    // The answers are typed at a terminal when each question shows.
    const QString atTerminal
        = "$ $PROMPT /dev/stdout %1 $ENVCTL update --mode local --dir update => 0|Download it? [y/N]";
    row("yes at the terminal installs", atTerminal.arg("y") + "|Install it? [y/N]" + started);
    row("no at the terminal leaves it", atTerminal.arg("n") + notStarted);
    row("two yes from a pipe install", update + " => 0|Download it? [y/N]|Install it? [y/N]" + started);
    row("two yes from a file install",
        "$ printf 'y\\ny\\n' > a; $ENVCTL update --mode local --dir update < a => 0|Install it? [y/N]" + started);
    row("a wrong digest is refused",
        "$ echo 00000000000000000000000000000000 > update/VardoStudioSetup_1.1.0.1.exe.md5\n" + update
            + " => 1|MD5 sum error!|Failed to update application" + notStarted);
}

void tst_Envctl::commands()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, steps);
    QTemporaryDir folder;
    const QString setup = folder.filePath("update/VardoStudioSetup_1.1.0.1.exe");
    QVERIFY(QDir().mkpath(folder.filePath("empty")) && QDir().mkpath(folder.filePath("update")));
    QVERIFY(writeSetupProgram(setup, folder.filePath("args")) && writeFile(setup + ".md5", md5Of(setup).toLatin1()));
    QVERIFY(envtest::writeFile(m_settings, file) && (!file.isEmpty() || QFile::remove(m_settings)));
    for (QString const &step : steps.split('\n')) {
        int exitCode = -1;
        const QStringList texts = step.section(" => ", 1).split('|');
        const QStringList shown = run(step.section(" => ", 0, 0), folder.path(), &exitCode);
        QVERIFY2(exitCode == texts.first().toInt(), qPrintable(step + shown.join(QString())));
        for (QString const &text : texts.mid(1))
            QVERIFY2(shown.join(QString()).contains(text), qPrintable(step + shown.join(QString())));
        QVERIFY2(exitCode == 0 || step.startsWith("$ ") || shown.first().isEmpty(), "a failure shows no value");
    }
}

void tst_Envctl::updateFromTheServer_data()
{
    QTest::addColumn<QString>("file"); // of the setup program, as the version file names it
    QTest::addColumn<QJsonObject>("faults"); // of the SFTP server
    QTest::addColumn<int>("signal"); // sent once the download has begun; envctl exits with 128 + it, else 1
    QTest::addColumn<QString>("shown"); // on standard error, umlauts as they are
    QTest::newRow("escape sequence in the file name")
        << QString("VardoStudioSetup_2.1.1.0 für\x1b]0;gotcha\a\x1b[31m.exe") << QJsonObject() << 0
        << QString("Incorrect setup file name in version file: VardoStudioSetup_2.1.1.0 "
                   "für\\x1b]0;gotcha\\x07\\x1b[31m.exe");
    QTest::newRow("Ctrl-C while the server does not answer")
        << setupName << QJsonObject{{"stall_after", 50000}} << int(SIGINT) << QString("envctl: interrupted");
    QTest::newRow("SIGTERM while the download trickles")
        << setupName << QJsonObject{{"short_reads", 1}, {"stall_after", 50000}} << int(SIGTERM)
        << QString("envctl: terminated");
}

void tst_Envctl::updateFromTheServer()
{
    QFETCH(QString, file);
    QFETCH(QJsonObject, faults);
    QFETCH(int, signal);
    QFETCH(QString, shown);
    const QJsonObject entry{{"version", "2.1.1.0"}, {"dir", "/setup/"}, {"file", file}, {"md5", md5Of(m_setupPath)}};
    QVERIFY(writeFile(
        m_root + ENV_TEST_VERSION_DIR "/vsver.json", QJsonDocument(QJsonObject{{"archx86", entry}}).toJson()));
    QVERIFY(SftpServerProcess::writeControl(m_control, faults));
    m_server.stop();
    clearSshHome();
    SftpServerProcess::Options options;
    options.root = m_root;
    options.control = m_control;
    options.accounts = defaultAccounts;
    QString error;
    QVERIFY2(startOnUpdatePort(m_server, options, &error), qPrintable(error));
    QProcess envctl;
    envctl.start(ENVCTL_PATH, {"update", "--mode", "server", "--yes"});
    envctl.closeWriteChannel();
    const QString partial = m_tmp->path() + "/vsupd/" + setupName;
    for (int i = 0; signal && !QFile::exists(partial) && envctl.state() != QProcess::NotRunning && i < 3000; ++i)
        QTest::qWait(20);
    QVERIFY2(!signal || (QFile::exists(partial) && ::kill(pid_t(envctl.processId()), signal) == 0),
        qPrintable(envctl.readAllStandardError()));
    QVERIFY(envctl.waitForFinished(120000));
    const QString err = QString::fromUtf8(envctl.readAllStandardError());
    QVERIFY2(envctl.exitStatus() == QProcess::NormalExit && envctl.exitCode() == (signal ? 128 + signal : 1)
            && err.contains(shown) && !err.contains(QChar(0x1b)),
        qPrintable(err));
    QVERIFY2(!QFile::exists(partial), qPrintable(partial));
}

QTEST_GUILESS_MAIN(tst_Envctl)
#include "tst_envctl.moc"
