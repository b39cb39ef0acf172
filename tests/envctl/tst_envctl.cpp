// envctl run as a separate process, the way a person runs it.

#include "sftpupdatefixture.h"

#include <commonfunc.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace
{

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runEnvctl(QStringList const &args)
{
    QProcess process;
    process.setProgram(QStringLiteral(ENVCTL_PATH));
    process.setArguments(args);
    process.start();
    process.closeWriteChannel();
    Run run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("envctl did not finish");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A setup program that writes its arguments, one per line, to a file.
void writeSetupProgram(QString const &path, QString const &recordPath)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '%1.part'\nmv '%1.part' '%1'\n")
                   .arg(recordPath)
                   .toUtf8());
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
}

void writeDigest(QString const &setupPath, QByteArray const &digest)
{
    QFile file(setupPath + QStringLiteral(".md5"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(digest + '\n');
}

QStringList waitForRecord(QString const &path)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path) && timer.elapsed() < 10000)
        QThread::msleep(50);
    QThread::msleep(100);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class tst_Envctl : public QObject
{
    Q_OBJECT

private slots:
    void demoCompletesTheCycle();
    void settingsRoundTripThroughTheFile();
    void twoWritersKeepBothChanges();
    void unwritableSettingsFail_data();
    void unwritableSettingsFail();
    void checkOfAnEmptyFolderFindsNothing();
    void badUsage_data();
    void badUsage();
    void languageSwitchesTheLibrarysTexts();
    void updateRefusesAWrongDigest();
    void releaseSignatureIsOpensslsEd25519();
    void questionAnsweredAtThePrompt_data();
    void questionAnsweredAtThePrompt();
    void updateFromTheServer_data();
    void updateFromTheServer();

private:
    QString m_appDir = QFileInfo(QStringLiteral(ENVCTL_PATH)).absolutePath();
};

void tst_Envctl::demoCompletesTheCycle()
{
    const Run run = runEnvctl({QStringLiteral("demo")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QVERIFY2(run.out.contains(QStringLiteral("[upd=true]")), qPrintable(run.out));
    QVERIFY(run.out.contains(QStringLiteral("[runAfterInst=true]")));
    QVERIFY(run.out.contains(QStringLiteral("[instPath=%1]").arg(m_appDir)));
    QVERIFY(run.out.contains(QStringLiteral("Demo update cycle completed.")));
}

void tst_Envctl::settingsRoundTripThroughTheFile()
{
    Run run = runEnvctl(
        {QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("STYLE"), QStringLiteral("fusion")});
    QCOMPARE(run.exitCode, 0);
    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("get"), QStringLiteral("STYLE")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out.trimmed(), QStringLiteral("fusion"));

    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("GUI_NODE_NAME_FONT"),
        QStringLiteral("DejaVu Sans, 21, italic")});
    QCOMPARE(run.exitCode, 0);
    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("get"), QStringLiteral("GUI_NODE_NAME_FONT")});
    QVERIFY2(
        run.out.contains(QStringLiteral("21 px")) && run.out.contains(QStringLiteral("italic")), qPrintable(run.out));

    // An unset entry leaves the file, so the next start takes the default again.
    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("COMPONENT_DATA_BANK"),
        QStringLiteral("SqlDataBank")});
    QCOMPARE(run.exitCode, 0);
    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("unset"), QStringLiteral("COMPONENT_DATA_BANK")});
    QCOMPARE(run.exitCode, 0);
    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("list")});
    QVERIFY2(run.out.contains(QStringLiteral("COMPONENT_DATA_BANK = FileDataBank")), qPrintable(run.out));
    QVERIFY(run.out.contains(QStringLiteral("STYLE = fusion")));
}

namespace
{

// The settings file envctl uses, as it tells.
QString settingsPath()
{
    const Run run = runEnvctl({QStringLiteral("info")});
    for (QString const &line : run.out.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("settings file:")))
            return line.mid(line.indexOf(QLatin1Char('/'))).trimmed();
    }
    return QString();
}

} // namespace

void tst_Envctl::twoWritersKeepBothChanges()
{
    QCOMPARE(runEnvctl(
                 {QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("STYLE"), QStringLiteral("fusion")})
                 .exitCode,
        0);
    const QString path = settingsPath();
    QVERIFY(QFile::exists(path));
    // Two people change two settings at the same moment, again and again.
    for (int round = 0; round < 20; ++round) {
        const QString level = QStringLiteral("level%1").arg(round);
        const QString logFile = QStringLiteral("file%1.log").arg(round);
        QProcess first;
        QProcess second;
        first.start(QStringLiteral(ENVCTL_PATH),
            {QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("LOG_LEVEL"), level});
        second.start(QStringLiteral(ENVCTL_PATH),
            {QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("LOG_FILE"), logFile});
        QVERIFY(first.waitForFinished(120000) && second.waitForFinished(120000));
        QCOMPARE(first.exitCode() + second.exitCode(), 0);
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.value(QStringLiteral("APP_SETTINGS/LOG_LEVEL")).toString(), level);
        QCOMPARE(file.value(QStringLiteral("APP_SETTINGS/LOG_FILE")).toString(), logFile);
        QCOMPARE(file.value(QStringLiteral("UI_SETTINGS/STYLE")).toString(), QStringLiteral("fusion"));
    }
}

void tst_Envctl::unwritableSettingsFail_data()
{
    QTest::addColumn<bool>("folder"); // the folder read-only, else the file
    QTest::newRow("read-only file") << false;
    QTest::newRow("read-only folder") << true;
}

void tst_Envctl::unwritableSettingsFail()
{
    QFETCH(bool, folder);
    QCOMPARE(runEnvctl(
                 {QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("STYLE"), QStringLiteral("fusion")})
                 .exitCode,
        0);
    const QString path = settingsPath();
    const QString locked = folder ? QFileInfo(path).absolutePath() : path;
    const QFile::Permissions permissions = QFile::permissions(locked);
    QVERIFY(QFile::setPermissions(
        locked, folder ? QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser : QFile::ReadOwner));
    // Root writes whatever the mode says: without the two capabilities that
    // allow it, the mode counts.
    QProcess process;
    if (geteuid() == 0)
        process.start(QStringLiteral("setpriv"),
            {QStringLiteral("--inh-caps=-all"), QStringLiteral("--bounding-set=-dac_override,-dac_read_search"),
                QStringLiteral("--"), QStringLiteral(ENVCTL_PATH), QStringLiteral("settings"), QStringLiteral("set"),
                QStringLiteral("STYLE"), QStringLiteral("plain")});
    else
        process.start(QStringLiteral(ENVCTL_PATH),
            {QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("STYLE"), QStringLiteral("plain")});
    const bool finished = process.waitForFinished(120000);
    QFile::setPermissions(locked, permissions);
    QVERIFY(finished);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(err.contains(QStringLiteral("read-only")), qPrintable(err));
    QVERIFY2(process.readAllStandardOutput().isEmpty(), "no new value is shown");
    QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("UI_SETTINGS/STYLE")).toString(),
        QStringLiteral("fusion"));
}

void tst_Envctl::checkOfAnEmptyFolderFindsNothing()
{
    QTemporaryDir empty;
    const Run run = runEnvctl({QStringLiteral("check"), QStringLiteral("--mode"), QStringLiteral("local"),
        QStringLiteral("--dir"), empty.path()});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("No newer version")), qPrintable(run.out + run.err));
}

void tst_Envctl::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus"), QStringLiteral("info")};
    QTest::newRow("unknown command") << QStringList{QStringLiteral("frobnicate")};
    QTest::newRow("unknown mode") << QStringList{
        QStringLiteral("check"), QStringLiteral("--mode"), QStringLiteral("ftp")};
    QTest::newRow("settings without action") << QStringList{QStringLiteral("settings")};
    QTest::newRow("not a locale") << QStringList{QStringLiteral("language"), QStringLiteral("xx_YY")};
    QTest::newRow("unknown setting") << QStringList{
        QStringLiteral("settings"), QStringLiteral("get"), QStringLiteral("NO_SUCH_KEY")};
    QTest::newRow("info with an argument") << QStringList{QStringLiteral("info"), QStringLiteral("extra")};
    QTest::newRow("demo with an argument") << QStringList{QStringLiteral("demo"), QStringLiteral("extra")};
    QTest::newRow("release sign without a key") << QStringList{QStringLiteral("release"), QStringLiteral("sign"),
        QStringLiteral("--version"), QStringLiteral("1.0.0.0"), QStringLiteral("file")};
}

void tst_Envctl::badUsage()
{
    QFETCH(QStringList, args);
    const Run run = runEnvctl(args);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(
        run.err.contains(QStringLiteral("usage")) || run.err.contains(QStringLiteral("unknown")), qPrintable(run.err));
}

void tst_Envctl::languageSwitchesTheLibrarysTexts()
{
    Run run = runEnvctl({QStringLiteral("language"), QStringLiteral("en_US")});
    QCOMPARE(run.exitCode, 1); // no English file: the library's own texts are English
    QVERIFY(run.err.contains(QStringLiteral("no translation for en_US")));

    run = runEnvctl({QStringLiteral("language"), QStringLiteral("de_DE")});
    QCOMPARE(run.exitCode, 0);
    // The choice is kept in the settings file and applied at the next start.
    run = runEnvctl({QStringLiteral("filters"), QStringLiteral("project"), QStringLiteral("korax-log")});
    QCOMPARE(run.out.trimmed(), QStringLiteral("Projektdatei (*.vsp);;Protokolldatei [KORAX] (pu pu0*)"));

    run = runEnvctl({QStringLiteral("settings"), QStringLiteral("set"), QStringLiteral("LANG"), QString()});
    QCOMPARE(run.exitCode, 0);
}

void tst_Envctl::updateRefusesAWrongDigest()
{
    QTemporaryDir dir;
    const QString setup = dir.filePath(QStringLiteral("VardoStudioSetup_1.1.0.1.exe"));
    const QString record = dir.filePath(QStringLiteral("record.txt"));
    writeSetupProgram(setup, record);
    writeDigest(setup, QByteArrayLiteral("00000000000000000000000000000000"));

    const Run run = runEnvctl({QStringLiteral("update"), QStringLiteral("--mode"), QStringLiteral("local"),
        QStringLiteral("--dir"), dir.path(), QStringLiteral("--yes")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(QStringLiteral("MD5 sum error!")), qPrintable(run.err));
    QVERIFY(run.err.contains(QStringLiteral("Failed to update application")));
    QVERIFY(!QFile::exists(record));
}

// What envctl release signs, the openssl command verifies: the format is
// Ed25519 over the documented message, not something of our own.
void tst_Envctl::releaseSignatureIsOpensslsEd25519()
{
    QTemporaryDir dir;
    Run run = runEnvctl({QStringLiteral("release"), QStringLiteral("keygen"), dir.path()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString pem = dir.filePath(QStringLiteral("release-key.pem"));
    // Readable by its owner alone.
    QCOMPARE(QFile::permissions(pem), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QFile pub(dir.filePath(QStringLiteral("release-key.pub")));
    QVERIFY(pub.open(QIODevice::ReadOnly));
    const QString publicKey = QString::fromLatin1(pub.readAll()).trimmed();
    QVERIFY(run.out.contains(QStringLiteral("-DENV_UPDATE_PUBLIC_KEY=") + publicKey));

    const QString setup = dir.filePath(QStringLiteral("VardoStudioSetup_3.1.0.0.exe"));
    QVERIFY(QFile(setup).open(QIODevice::WriteOnly) && QFile::resize(setup, 70000));
    run = runEnvctl({QStringLiteral("release"), QStringLiteral("sign"), QStringLiteral("--key"), pem,
        QStringLiteral("--version"), QStringLiteral("3.1"), setup});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    QFile sig(setup + QStringLiteral(".sig"));
    QVERIFY(sig.open(QIODevice::ReadOnly));
    QFile raw(dir.filePath(QStringLiteral("sig.bin")));
    QVERIFY(raw.open(QIODevice::WriteOnly) && raw.write(QByteArray::fromBase64(sig.readAll())) == 64);
    raw.close();
    QFile message(dir.filePath(QStringLiteral("message")));
    QVERIFY(message.open(QIODevice::WriteOnly));
    message.write("env-release-1\n3.1.0.0\nVardoStudioSetup_3.1.0.0.exe\n70000\n"
        + CommonFunc::calculateSha256Sum(setup).toLatin1() + "\n");
    message.close();
    QProcess openssl;
    openssl.start(QStringLiteral("sh"),
        {QStringLiteral("-c"),
            QStringLiteral("openssl pkey -in \"$1\" -pubout -outform DER | tail -c 32 | base64 && "
                           "openssl pkeyutl -verify -inkey \"$1\" -rawin -in \"$2\" -sigfile \"$3\""),
            QStringLiteral("sh"), pem, message.fileName(), raw.fileName()});
    QVERIFY(openssl.waitForFinished(30000));
    const QString said = QString::fromLatin1(openssl.readAll());
    QVERIFY2(openssl.exitCode() == 0, qPrintable(said));
    QVERIFY2(said.startsWith(publicKey + QLatin1Char('\n')), qPrintable(said));

    run = runEnvctl({QStringLiteral("release"), QStringLiteral("verify"), QStringLiteral("--public-key"), publicKey,
        QStringLiteral("--version"), QStringLiteral("3.1.0.0"), setup});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    run = runEnvctl({QStringLiteral("release"), QStringLiteral("verify"), QStringLiteral("--public-key"), publicKey,
        QStringLiteral("--version"), QStringLiteral("3.1.0.1"), setup});
    QCOMPARE(run.exitCode, 1);

    run = runEnvctl({QStringLiteral("info")});
    QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("release signatures: +not required\n")))
            && run.out.contains(QRegularExpression(QStringLiteral("update server key: +not pinned"))),
        qPrintable(run.out));
}

void tst_Envctl::questionAnsweredAtThePrompt_data()
{
    QTest::addColumn<QString>("input"); // typed at a terminal, or all lines at once from a pipe or a file
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("installed");
    QTest::newRow("yes installs") << QStringLiteral("terminal") << QStringLiteral("y") << true;
    QTest::newRow("no leaves it") << QStringLiteral("terminal") << QStringLiteral("n") << false;
    QTest::newRow("two yes from a pipe") << QStringLiteral("pipe") << QStringLiteral("y\ny\n") << true;
    QTest::newRow("two yes from a file") << QStringLiteral("file") << QStringLiteral("y\ny\n") << true;
}

void tst_Envctl::questionAnsweredAtThePrompt()
{
    QFETCH(QString, input);
    QFETCH(QString, answer);
    QFETCH(bool, installed);
    QTemporaryDir dir;
    const QString setup = dir.filePath(QStringLiteral("VardoStudioSetup_1.1.0.1.exe"));
    const QString record = dir.filePath(QStringLiteral("record.txt"));
    writeSetupProgram(setup, record);
    writeDigest(setup, CommonFunc::calculateMd5Sum(setup).toLatin1());
    const QString transcript = dir.filePath(QStringLiteral("screen.txt"));
    const QStringList update{QStringLiteral("update"), QStringLiteral("--mode"), QStringLiteral("local"),
        QStringLiteral("--dir"), dir.path()};

    QProcess person;
    if (input == QLatin1String("terminal")) {
        person.start(QStringLiteral(ENV_SYSTEM_PYTHON),
            QStringList{QStringLiteral(ENV_TEST_SOURCE_DIR "/answer_prompt.py"), transcript, answer,
                QStringLiteral(ENVCTL_PATH)}
                + update);
    } else {
        const QString answers = dir.filePath(QStringLiteral("answers.txt"));
        QVERIFY(updatertest::writeFile(answers, answer.toUtf8()));
        person.setStandardOutputFile(transcript);
        if (input == QLatin1String("file"))
            person.setStandardInputFile(answers);
        person.start(QStringLiteral(ENVCTL_PATH), update);
        if (input == QLatin1String("pipe")) {
            person.write(answer.toUtf8());
            person.closeWriteChannel();
        }
    }
    QVERIFY(person.waitForFinished(120000));
    QFile screenFile(transcript);
    QVERIFY(screenFile.open(QIODevice::ReadOnly));
    const QString screen = QString::fromUtf8(screenFile.readAll());
    QVERIFY2(person.exitCode() == 0, qPrintable(screen + person.readAllStandardError()));
    QVERIFY2(screen.contains(QStringLiteral("Download it? [y/N]")), qPrintable(screen));
    if (installed) {
        QVERIFY(screen.contains(QStringLiteral("Install it? [y/N]")));
        const QStringList args = waitForRecord(record);
        QCOMPARE(args.value(0), QStringLiteral("upd=true"));
        QCOMPARE(args.value(1), QStringLiteral("runAfterInst=true"));
        QCOMPARE(args.value(2), QStringLiteral("instPath=") + m_appDir);
    } else {
        QThread::msleep(300);
        QVERIFY(!QFile::exists(record));
    }
}

void tst_Envctl::updateFromTheServer_data()
{
    QTest::addColumn<QString>("file"); // of the setup program, as the version file names it
    QTest::addColumn<QJsonObject>("faults"); // of the SFTP server
    QTest::addColumn<int>("signal"); // sent once the download has begun
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("shown"); // on standard error, umlauts as they are

    const QString setup = updatertest::setupName;
    const QString escaped = QStringLiteral("VardoStudioSetup_2.1.1.0 für\\x1b]0;gotcha\\x07\\x1b[31m.exe");
    QTest::newRow("escape sequence in the file name")
        << QStringLiteral("VardoStudioSetup_2.1.1.0 für\x1b]0;gotcha\a\x1b[31m.exe") << QJsonObject() << 0 << 1
        << QStringLiteral("Incorrect setup file name in version file: ") + escaped;
    QTest::newRow("Ctrl-C while the server does not answer")
        << setup << QJsonObject{{QStringLiteral("stall_after"), 50000}} << int(SIGINT) << 130
        << QStringLiteral("envctl: interrupted");
    QTest::newRow("SIGTERM while the download trickles")
        << setup << QJsonObject{{QStringLiteral("short_reads"), 1}, {QStringLiteral("stall_after"), 50000}}
        << int(SIGTERM) << 143 << QStringLiteral("envctl: terminated");
}

void tst_Envctl::updateFromTheServer()
{
    QFETCH(QString, file);
    QFETCH(QJsonObject, faults);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, shown);

    QTemporaryDir work;
    const QString root = work.filePath(QStringLiteral("server"));
    const QString setupPath = root + QStringLiteral("/setup/") + updatertest::setupName;
    QVERIFY(QDir().mkpath(root + QStringLiteral(ENV_TEST_VERSION_DIR)));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/setup")));
    QVERIFY(updatertest::writeSetupProgram(setupPath, work.filePath(QStringLiteral("record.txt"))));
    QFile setup(setupPath);
    QVERIFY(setup.open(QIODevice::Append) && setup.write("#" + QByteArray(100000, 'x') + "\n") > 0);
    setup.close();
    const QJsonObject offer{{QStringLiteral("version"), QStringLiteral("2.1.1.0")},
        {QStringLiteral("dir"), QStringLiteral("/setup/")}, {QStringLiteral("file"), file},
        {QStringLiteral("md5"), updatertest::md5Of(setupPath)}};
    QVERIFY(updatertest::writeFile(root + QStringLiteral(ENV_TEST_VERSION_DIR "/vsver.json"),
        QJsonDocument(QJsonObject{{QStringLiteral("archx86"), offer}}).toJson()));

    updatertest::clearSshHome();
    SftpServerProcess server;
    SftpServerProcess::Options options;
    options.root = root;
    options.accounts = updatertest::defaultAccounts;
    options.control = work.filePath(QStringLiteral("control.json"));
    QVERIFY(SftpServerProcess::writeControl(options.control, faults));
    QString error;
    QVERIFY2(updatertest::startOnUpdatePort(server, options, &error), qPrintable(error));

    const QString tmp = work.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tmp));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tmp);
    QProcess envctl;
    envctl.setProcessEnvironment(environment);
    envctl.start(QStringLiteral(ENVCTL_PATH),
        {QStringLiteral("update"), QStringLiteral("--mode"), QStringLiteral("server"), QStringLiteral("--yes")});
    QVERIFY(envctl.waitForStarted());
    envctl.closeWriteChannel();
    const QString partial = tmp + QStringLiteral("/vsupd/") + updatertest::setupName;
    if (signal) {
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(partial) && envctl.state() == QProcess::Running && waited.elapsed() < 60000)
            QTest::qWait(20);
        QVERIFY2(QFile::exists(partial), qPrintable(envctl.readAllStandardError()));
        ::kill(pid_t(envctl.processId()), signal);
    }
    QVERIFY(envctl.waitForFinished(120000));
    const QString err = QString::fromUtf8(envctl.readAllStandardError());
    QCOMPARE(envctl.exitStatus(), QProcess::NormalExit);
    QVERIFY2(envctl.exitCode() == exitCode, qPrintable(err));
    QVERIFY2(err.contains(shown) && !err.contains(QChar(0x1b)), qPrintable(err));
    QVERIFY2(!QFile::exists(partial), qPrintable(partial));
}

QTEST_GUILESS_MAIN(tst_Envctl)
#include "tst_envctl.moc"
