#include "companion_p.h"
#include "downloadfolder_p.h"
#include "httpstestserver.h"
#include "messagecapture.h"
#include "sftpupdatefixture.h"
#include "updater.h"
#include "updater_p.h"
#include "updatetrust_p.h"
#include "volumes_p.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <memory>

using namespace updatertest;

namespace
{
// How the tests reach each source: the SFTP server and the update folder as a
// host does, the share by its public steps after a folder check (cmd.exe and
// drive letters are stood in for), the web page by its public steps, as no
// application mode chooses it.
enum Source { Sftp, Folder, Share, Web };
enum Stage { Before, Made, Checked, Downloaded };
char const *const sourceNames[] = {"sftp", "folder", "share", "web"};

QByteArray readAll(QString const &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether text is pattern, in which "*" stands for any text.
bool matches(QString const &pattern, QString const &text)
{
    const QString re = QRegularExpression::escape(pattern).replace("\\*", ".*");
    return QRegularExpression(QRegularExpression::anchoredPattern(re), QRegularExpression::DotMatchesEverythingOption)
        .match(text)
        .hasMatch();
}

volumes::Volume volume(QString const &root, QString const &name = QString(), bool valid = true, bool ready = true)
{
    return volumes::Volume{root, name, valid, ready};
}

QList<volumes::Volume> lettersTaken(char from)
{
    QList<volumes::Volume> result;
    for (char letter = from; letter <= 'Z'; ++letter)
        result << volume(QString(QLatin1Char(letter)) + ":/");
    return result;
}

bool openssl(QStringList const &arguments)
{
    return QProcess::execute("openssl", arguments) == 0;
}
} // namespace

Q_DECLARE_METATYPE(QList<volumes::Volume>)

class UpdaterTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_root, m_setupDir, m_argsFile, m_control, m_victim, m_baseTmp, m_page, m_link, m_publicKey, m_hostKey;
    QStringList m_accounts, m_kept;
    SftpServerProcess m_sftp;
    HttpsTestServer m_https, m_otherHost, m_untrusted;
    std::unique_ptr<QTemporaryDir> m_tmp, m_shared;
    std::unique_ptr<Updater> m_live;
    bool m_smallMounted = false, m_failed = false;
    QString *m_said = nullptr;

    QString program() const { return m_setupDir + "/" + setupName; }
    QString vsver() const { return m_root + ENV_TEST_VERSION_DIR "/vsver.json"; }
    void note(QString const &text) { *m_said += (m_said->isEmpty() ? "" : " | ") + text; }
    QJsonObject offer(QString const &name) const
    {
        return QJsonObject{{"version", name.mid(17).chopped(4)}, {"dir", "/setup/"}, {"file", name},
            {"md5", md5Of(m_setupDir + "/" + name)}};
    }
    void writeOffer(QJsonObject const &arch) const
    {
        QVERIFY(writeFile(vsver(), QJsonDocument(QJsonObject{{"archx86", arch}}).toJson()));
    }
    // The program called name (several SFTP chunks long), its companion, and a
    // version file that offers it.
    void serve(QString const &name) const
    {
        const QString path = m_setupDir + "/" + name;
        QVERIFY(writeSetupProgram(path, m_argsFile));
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write("#" + QByteArray(100000, 'x') + "\n") > 0);
        file.close();
        QVERIFY(writeFile(path + ".md5", md5Of(path).toLatin1() + "\n"));
        writeOffer(offer(name));
    }
    bool startSftp(QStringList const &accounts, QString const &key)
    {
        if (accounts == m_accounts && key == m_hostKey)
            return true;
        SftpServerProcess::Options options;
        options.root = m_root;
        options.hostKey = m_work.filePath(key);
        options.control = m_control;
        options.accounts = accounts;
        QString error;
        m_accounts.clear();
        if (!startOnUpdatePort(m_sftp, options, &error))
            return false;
        m_accounts = accounts;
        m_hostKey = key;
        return true;
    }
    void reset();
    void plant(QString const &fault, int stage, Updater *updater);
    void cycle(Updater *updater, int source, QString const &fault);
    QString run(int source, QString const &fault);

private slots:
    void initTestCase();
    void init()
    {
        m_tmp.reset(new QTemporaryDir(m_baseTmp + "/tmp with blank XXXXXX"));
        QVERIFY(m_tmp->isValid());
        m_kept.clear();
        QFile::remove(m_victim);
        QFile::remove("cmd.log");
        reset();
    }
    void cleanup()
    {
        m_live.reset();
        if (std::exchange(m_smallMounted, false))
            QProcess::execute("umount", {"-l", m_tmp->filePath("small")});
        qputenv("TMPDIR", m_baseTmp.toLocal8Bit());
        m_tmp.reset();
        m_shared.reset();
    }
    void newer_data();
    void newer();
    void rules_data();
    void rules();
    void pageLink_data();
    void pageLink();
    void freeLetter_data();
    void freeLetter();
    void update_data();
    void update();
    void signedRelease_data();
    void signedRelease();
    void soak_data();
    void soak();
};

void UpdaterTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_work.isValid());
    clearSshHome();
    m_baseTmp = QDir::tempPath();
    m_root = m_work.filePath("root");
    m_setupDir = m_root + "/setup";
    m_argsFile = m_work.filePath("setup args.txt");
    m_control = m_work.filePath("control.json");
    m_victim = m_work.filePath("victim.txt");
    QVERIFY(
        QDir().mkpath(m_root + ENV_TEST_VERSION_DIR) && QDir().mkpath(m_setupDir) && QDir().mkpath(m_root + "/pages"));
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));

    const QString routes = QString(R"({"/r1": {"status": 302, "headers": {"Location": "/r2"}},
        "/r2": {"status": 301, "headers": {"Location": "/pages/page.html"}},
        "/get/%1": {"status": 302, "headers": {"Location": "/setup/%1"}},
        "/get/%1.md5": {"status": 307, "headers": {"Location": "/setup/%1.md5"}}})")
                               .arg(setupName);
    QVERIFY(writeFile(m_work.filePath("routes.json"), routes.toUtf8()));
    QVERIFY(m_https.startTrusted(m_work.path(), m_root, {"--routes", m_work.filePath("routes.json")}));
    QVERIFY(m_otherHost.startTrusted(m_work.path(), m_root, {}, "other", "updates.example.org"));
    QVERIFY(HttpsTestServer::makeCertificate(m_work.path(), "untrusted"));
    QVERIFY(m_untrusted.start(m_work.filePath("untrusted"), m_root));

    // The share: "net use" is asked of a cmd.exe first on PATH that logs its
    // arguments and answers FAKE_MOUNT_EXIT or FAKE_DELETE_EXIT; off Windows
    // "Z:/inst" is a folder in the current one.
    QVERIFY(QDir::setCurrent(m_work.path()) && QDir().mkpath("bin") && QDir().mkpath("Z:") && QDir().mkpath("share"));
    QVERIFY(writeFile("bin/cmd.exe",
        "#!/bin/sh\nprintf '%s\\n' \"$*\" >> cmd.log\necho 'System error 53 has occurred.'\n"
        "if [ \"$4\" = /delete ]; then exit \"$FAKE_DELETE_EXIT\"; fi\nexit \"$FAKE_MOUNT_EXIT\"\n"));
    QVERIFY(QFile::setPermissions("bin/cmd.exe", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", QFile::encodeName(m_work.filePath("bin")) + ':' + qgetenv("PATH"));
    QVERIFY(QFile::link(m_setupDir, "Z:/inst") && QFile::link(m_setupDir, "share/inst"));

    // The publisher's keys; the tests sign with openssl, not with the library.
    QVERIFY(openssl({"genpkey", "-algorithm", "ed25519", "-out", "key.pem"}));
    QVERIFY(openssl({"genpkey", "-algorithm", "ed25519", "-out", "other.pem"}));
    QVERIFY(openssl({"pkey", "-in", "key.pem", "-pubout", "-outform", "DER", "-out", "pub.der"}));
    m_publicKey = QString::fromLatin1(readAll("pub.der").mid(12).toBase64());
}

// The sound state of every source: one program with its companion, version
// file, page and settings; no fault, no publisher's key.
void UpdaterTest::reset()
{
    qputenv("TMPDIR", m_tmp->path().toLocal8Bit());
    qputenv("FAKE_MOUNT_EXIT", "0");
    qputenv("FAKE_DELETE_EXIT", "0");
    QFile::rename("bin/cmd.off", "bin/cmd.exe");
    QCoreApplication::setApplicationVersion("2.1.0.0");
    updater_limits::setTransferTimeout(0);
    updater_limits::setMaxSetupFileSize(0);
    updatetrust::setPublicKey(""); // empty, not null: no key, whatever the build names
    volumes::setProvider([] { return QList<volumes::Volume>{volume("C:/"), volume("D:/")}; });
    QVERIFY(SftpServerProcess::writeControl(m_control, {}));
    QVERIFY(startSftp(defaultAccounts, "host_key"));
    for (QString const &name : QDir(m_setupDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        QVERIFY(QFile::remove(m_setupDir + "/" + name));
    serve(setupName);
    QFile::remove(m_argsFile);
    Environment::instance()->setSetting(UPDATES_LOCAL_DIR, m_setupDir);
    Environment::instance()->setSetting(APP_MODE, int(Environment::MODE_LOCAL_UPDATES));
    m_page = m_https.url("/pages/page.html");
    m_link = m_https.url("/setup/" + setupName);
    QVERIFY(writeFile(m_root + "/pages/page.html", "<a href=\"" + m_link.toUtf8() + "\">Setup</a>\n"));
}

// The faults of the update table, each at the stage of the update it strikes.
void UpdaterTest::plant(QString const &fault, int stage, Updater *updater)
{
    auto is = [&](char const *name, int when = Before) { return stage == when && fault.startsWith(name); };
    const QString temp = QDir::tempPath(), own = temp + "/vsupd/", md5 = program() + ".md5", copy = own + setupName;
    if (is("version ") || is("name ") || is("md5 ")) {
        QJsonObject arch = offer(setupName);
        if (is("version ") || is("name "))
            arch.insert(is("name ") ? "file" : "version", fault.section(' ', 1));
        if (is("md5 capitals") || is("md5 other")) {
            arch.insert("md5", is("md5 other") ? "0123456789abcdef0123456789abcdef" : md5Of(program()).toUpper());
            QVERIFY(writeFile(md5, arch.value("md5").toString().toLatin1()));
        }
        if (is("md5 none") && QFile::remove(md5))
            arch.remove("md5");
        if (is("md5 huge"))
            QVERIFY(writeFile(md5, md5Of(program()).toLatin1() + "\n" + QByteArray(64 * 1024, '#')));
        writeOffer(arch);
    }
    if (is("vsver without archx86") || is("vsver not JSON"))
        QVERIFY(
            writeFile(vsver(), is("vsver not JSON") ? "{\"archx86\": {\"version\": 2.1.1.0}}" : "{\"archx64\": {}}"));
    if (is("vsver without version"))
        writeOffer(QJsonObject{{"file", setupName}});
    if (is("vsver ends at a zero byte"))
        QVERIFY(writeFile(vsver(), readAll(vsver()) + '\0' + "not JSON"));
    if (is("vsver of ")) // blanks after the document
        QVERIFY(writeFile(vsver(), readAll(vsver()).leftJustified(fault.section(' ', 2, 2).toInt(), ' ')));
    for (char const *kind : {"drop_after", "stall_after", "endless"}) {
        if (is(kind))
            QVERIFY(SftpServerProcess::writeControl(m_control, {{kind, fault.contains("check") ? 20000 : 50000}})
                && (!fault.contains("check") || QFile::resize(vsver(), 40000)));
    }
    if (is("stall_after"))
        updater_limits::setTransferTimeout(1000);
    if (is("wrong password"))
        QVERIFY(startSftp({ENV_TEST_CHECK_USER ":not-the-password", ENV_TEST_FETCH_ACCOUNT}, m_hostKey));
    if (is("host key changed", Checked))
        QVERIFY(startSftp(defaultAccounts, "other_host_key"));
    if (is("link as vsver.json", fault.endsWith("own") ? Made : Before)) {
        QVERIFY(writeFile(m_victim, "the user's own file"));
        if (stage == Before && (m_kept << own).size())
            QVERIFY(QDir().mkdir(own) && QFile::setPermissions(own, QFile::Permissions(0x7777)));
        QVERIFY(QFile::link(m_victim, own + "vsver.json"));
    }
    if (is("no temp folder") && (m_kept << temp + "/not a folder").size()) {
        QVERIFY(writeFile(m_kept.last(), "plain file"));
        qputenv("TMPDIR", QFile::encodeName(m_kept.last()));
    }
    if (is("candidate") && QFile::remove(program()) && QFile::remove(md5))
        serve("VardoStudioSetup_2.1.0.3.exe");
    if (is("running "))
        QCoreApplication::setApplicationVersion(fault.mid(8));
    if ((is("empty folder") || is("fifo")) && QFile::remove(program()) && QFile::remove(md5))
        QVERIFY(!is("fifo") || mkfifo(QFile::encodeName(program()).constData(), 0644) == 0);
    if (is("no folder setting"))
        Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
    if (is("companion in other letter case"))
        QVERIFY(QFile::rename(md5, m_setupDir + "/VardoStudioSetup_2.1.1.0.EXE.md5"));
    if (is("not executable"))
        QVERIFY(QFile::setPermissions(program(), QFile::ReadOwner | QFile::WriteOwner));
    if (is("does not start"))
        QVERIFY(writeFile(program(), "#!/nonexistent/interpreter\n") && writeFile(md5, md5Of(program()).toLatin1()));
    if (is("stale digest")) {
        const QString older = m_setupDir + "/VardoStudioSetup_2.1.0.0.exe";
        QVERIFY(QFile::copy(program(), older) && QFile::copy(md5, older + ".md5") && QFile::remove(md5));
    }
    if (is("two newer"))
        serve("VardoStudioSetup_2.1.2.0.exe");
    if (is("disk full")) {
        qputenv("TMPDIR", QFile::encodeName((m_kept << m_tmp->filePath("small")).last()));
        QVERIFY(writeFile(program(), readAll(program()) + QByteArray(2 * 1048576, '#')));
        QVERIFY(writeFile(md5, md5Of(program()).toLatin1()));
    }
    if (is("planted")) {
        if (fault.endsWith("foreign")) {
            // Like /tmp: every user may add entries, each removes only their own.
            m_shared.reset(new QTemporaryDir("/tmp/env shared tmp XXXXXX"));
            QVERIFY(m_shared->isValid() && ::chmod(QFile::encodeName(m_shared->path()).constData(), 01777) == 0);
            qputenv("TMPDIR", m_shared->path().toLocal8Bit());
        }
        const QString tmp = QDir::tempPath(), planted = tmp + "/vsupd";
        m_kept << tmp + "/other program.txt" << tmp + "/VardoStudioSetup_9.9.9.9.exe" << planted;
        QVERIFY(writeFile(m_kept.at(0), "mine") && writeFile(m_kept.at(1), "not the updater's"));
        if (fault.endsWith("file"))
            QVERIFY(writeFile(planted, "plain file"));
        if (fault.endsWith("link") && (m_kept << m_tmp->filePath("target/keep.txt")).size())
            QVERIFY(QDir().mkpath(m_tmp->filePath("target")) && writeFile(m_kept.last(), "keep")
                && QFile::link(m_tmp->filePath("target"), planted));
        if (fault.endsWith("foreign"))
            QCOMPARE(QProcess::execute("setpriv",
                         {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                             "mkdir -m 0777 \"$1\" && echo x > \"$1/t.txt\"", "sh", planted}),
                0);
        if (fault.endsWith("open"))
            QVERIFY(QDir().mkdir(planted) && QFile::setPermissions(planted, QFile::Permissions(0x7777)));
        if (fault.endsWith("live updater"))
            m_live.reset(new Updater(Environment::MODE_LOCAL_UPDATES));
        if (fault.endsWith("died")) {
            // A lock file as an updater that died leaves it: its process has ended.
            QProcess ended;
            ended.start("true", QStringList());
            const qint64 pid = ended.waitForStarted() ? ended.processId() : 0;
            QVERIFY(ended.waitForFinished() && QDir().mkdir(planted));
            QByteArray lock;
            {
                QLockFile model(planted + "/.lock");
                QVERIFY(model.tryLock(0));
                lock = readAll(planted + "/.lock");
            }
            QVERIFY(writeFile(planted + "/.lock", QByteArray::number(pid) + lock.mid(lock.indexOf('\n'))));
            QVERIFY(
                QFile::setPermissions(planted, QFile::Permissions(0x7700)) && writeFile(planted + "/x.exe", "theirs"));
            m_kept.removeLast();
        }
        if (fault.endsWith("open") || fault.endsWith("updater") || fault.endsWith("foreign"))
            QVERIFY(writeFile((m_kept << planted + "/VardoStudioSetup_2.0.0.1.exe").last(), "theirs"));
    }
    // The web page and its links.
    for (QString path : {"/r1", "/status/404", "/loop/0", "/cut/300000/1000", "/endless", "/trickle/100/5000"}) {
        if (is("page ") && fault.endsWith(path))
            m_page = m_https.url(path);
        if (is("setup ") && fault.endsWith(path))
            m_link = m_https.url(path + "?" + setupName);
    }
    if (is("deleted"))
        m_link = m_https.url("/endless?" + setupName);
    if (fault.contains("trickle"))
        updater_limits::setTransferTimeout(500);
    if (is("setup /endless"))
        updater_limits::setMaxSetupFileSize(4 * 1048576);
    if (is("page to http"))
        m_page = m_https.url("/redirect/301?to=http%3A//127.0.0.1%3A1/pages/page.html");
    if (is("setup to http"))
        m_link = m_https.url("/redirect/302?to=http%3A//127.0.0.1%3A1/setup/" + setupName);
    if (is("page on another host"))
        m_page = m_otherHost.url("/pages/page.html");
    if (is("setup on another host") || is("setup on an untrusted host"))
        m_link = (fault.contains("another") ? m_otherHost : m_untrusted).url("/setup/" + setupName);
    if (is("setup behind redirects"))
        m_link = m_https.url("/get/" + setupName);
    if (is("backslash in the name")) {
        m_link = m_https.url("/setup/a%5C" + setupName);
        QVERIFY(QFile::copy(program(), m_setupDir + "/a\\" + setupName));
        QVERIFY(QFile::copy(md5, m_setupDir + "/a\\" + setupName + ".md5"));
    }
    if (is("page without link") || (stage == Before && m_link != m_https.url("/setup/" + setupName)))
        QVERIFY(writeFile(
            m_root + "/pages/page.html", is("page") ? "<p>soon</p>" : "<a href=\"" + m_link.toUtf8() + "\">"));
    if (is("page /loop/0"))
        m_https.takeRequests();
    if (is("program missing"))
        QVERIFY(QFile::remove(program()));
    // The share.
    if (is("mount fails")) {
        const QString share = m_work.filePath("share/");
        const QList<volumes::Volume> list{volume("C:/", "System"),
            fault.endsWith("not ready")
                ? volume(share, "VARDOSTUDIO", true, false)
                : volume(share, fault.endsWith("no marker") ? "Updates" : "VardoStudio Updates")};
        volumes::setProvider([list] { return list; });
        qputenv("FAKE_MOUNT_EXIT", "2");
    }
    if (is("no free letter"))
        volumes::setProvider([] { return lettersTaken('I'); });
    if (is("unmount fails"))
        qputenv("FAKE_DELETE_EXIT", "1");
    if (is("no cmd.exe"))
        QVERIFY(QFile::rename("bin/cmd.exe", "bin/cmd.off"));
    // Between the check and the download.
    if (is("program replaced", Checked))
        QVERIFY(writeSetupProgram(program(), m_argsFile + ".evil"));
    if (is("program gone", Checked))
        QVERIFY(QFile::remove(program()));
    if (is("temp folder cleaned away", Checked))
        QVERIFY(QDir(own).removeRecursively());
    if (is("late yes after an older check", Checked) && QFile::remove(program()) && QFile::remove(md5)) {
        serve("VardoStudioSetup_2.0.0.1.exe");
        updater->setAvailableServers(Environment::MODE_LOCAL_UPDATES);
        updater->checkForUpdates(false);
    }
    // Between the download and the start.
    if (is("copy replaced by a link", Downloaded) && (QFile::remove("verified.exe") || true)) {
        QVERIFY(QFile::copy(copy, "verified.exe") && QFile::remove(copy));
        QVERIFY(QFile::link(m_work.filePath("verified.exe"), copy));
    }
    if (is("copy changed", Downloaded))
        QVERIFY(writeSetupProgram(copy, m_argsFile + ".evil"));
    if (is("copy missing", Downloaded))
        QVERIFY(QFile::remove(copy));
    if (is("offer changed to another rc", Downloaded))
        updater->analyseFileVersion("VardoStudioSetup_2.1.1.1.exe");
}

// One check and download, each source reached as the top of this file says.
void UpdaterTest::cycle(Updater *updater, int source, QString const &fault)
{
    const QPointer<Updater> alive(updater);
    updater->setProgressBarId(3);
    if (fault == "keep mode") {
        updater->downloadLastReleaseVersion(true);
    } else if (fault != "no check") {
        updater->setAvailableServers(source == Sftp ? Environment::MODE_SERVER_UPDATES
                : source == Web                     ? Environment::MODE_DEFAULT
                                                    : Environment::MODE_LOCAL_UPDATES);
        updater->checkForUpdates(false);
        if (source == Share)
            updater->sambaFileVersion();
        if (source == Web) {
            MessageCapture log;
            updater->checkSetupFile();
            updater->httpDownload(m_page);
            for (MessageCapture::Entry const &entry : log.entries()) {
                if (entry.type == QtCriticalMsg)
                    note("log: "
                        + (entry.message.startsWith("Unable to find")
                                ? "no link"
                                : entry.message.section("error:", -1).section(", infoMode", 0, 0)));
            }
            if (fault == "page /loop/0")
                note(QString("requests %1").arg(m_https.takeRequests().filter("/loop/").size()));
        }
    }
    plant(fault, Checked, updater);
    if (fault == "host answers later") {
        updater->prepareToUpdateApp(7);
        (void)QTest::qWaitFor([&] { return m_said->contains("started") || m_failed; }, 30000);
    } else {
        updater->updateApp();
    }
    if (alive && source == Web && !m_failed)
        updater->httpDownload(m_link);
}

// An update from source with fault, driven as a host drives it: what the host
// was told, one entry per signal, and then anything found wrong afterwards.
QString UpdaterTest::run(int source, QString const &fault)
{
    QString said, again, current = fault; // the fault strikes the first cycle only
    m_said = &said;
    m_failed = false;
    QFile::remove(m_argsFile);
    plant(fault, Before, nullptr);
    if (source == Share)
        Environment::instance()->removeSetting(UPDATES_LOCAL_DIR);
    QPointer<Updater> updater
        = new Updater(fault == "candidate" ? Environment::MODE_LOCAL_UPDATES : Environment::MODE_SERVER_UPDATES);
    plant(fault, Made, updater);
    QList<int> checkBar, downloadBar, removed;
    bool quiet = false;
    int closes = 0;
    connect(updater, &Updater::installQuestion, updater, [this](QString text) {
        note(text.replace("New version is available: ", "asked ")
                 .replace("\nYour version: ", " from ")
                 .remove("\n\nDo you want to download?"));
    });
    connect(
        updater, &Updater::progressStatusInfo, updater, [this](ProgressInitValues const &line) { note(line.text()); });
    connect(updater, &Updater::errorsOccured, updater, [&](QString const &text, QString const &title) {
        if (!(m_failed = true) || !quiet)
            note("error: " + text + (title == "Version update" ? "" : " [" + title + "]"));
    });
    connect(updater, &Updater::progressInfo, this, [&](int bar, int value, QString const &text) {
        if (bar == 3 || text.startsWith("Downloading " + setupName + ": "))
            (bar == 3 ? checkBar : downloadBar) << value;
        if (current.startsWith("deleted") && m_said->contains("asked"))
            std::exchange(current, QString()).contains("later") ? updater->deleteLater() : delete updater.data();
    });
    connect(updater, &Updater::removeProgressBar, updater, [&](int bar) { removed << bar; });
    connect(updater, &Updater::setupFileDownloaded, updater, [&] {
        plant(current, Downloaded, updater);
        if (!updater->prepareRunSetupQuestion().startsWith("New version downloaded: " + updater->getNewVersionString()))
            note("run question: " + updater->prepareRunSetupQuestion());
        updater->runSetupFile();
    });
    connect(updater, &Updater::closeApplication, updater, [&] {
        const QVariant mode = Environment::instance()->getSetting(APP_MODE, QVariant::Int);
        if (++closes)
            note(QString("started") + (mode.isValid() && !mode.isNull() ? "" : ", mode reset"));
    });

    cycle(updater, source, fault);
    current.clear();
    if (fault == "host answers later")
        note(QString("bars %1 %2 %3").arg(removed.value(0)).arg(removed.value(1)).arg(removed.value(2)));
    if (updater && !closes) {
        quiet = true; // nothing a later start could run
        updater->runSetupFile();
        QStringList left;
        QDirIterator it(
            QDir::tempPath(), {"VardoStudioSetup_*"}, QDir::Files | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            m_kept.contains(it.next()) ? void() : left.append(it.fileName());
        if (!left.isEmpty())
            note("left " + left.join(' '));
    }
    if (closes) {
        // The verified copy starts from a private folder with the expected arguments.
        if (!QTest::qWaitFor([&] { return QFileInfo::exists(m_argsFile); }, 15000))
            note("the program did not run");
        const QStringList items = QString::fromUtf8(readAll(m_argsFile)).split('\n', Qt::SkipEmptyParts);
        if (items.mid(1)
            != QStringList{"upd=true", "runAfterInst=true", "instPath=" + QCoreApplication::applicationDirPath()})
            note("arguments: " + items.join(' '));
        const QFileInfo folder(QFileInfo(items.value(0)).absolutePath());
        if (folder.fileName() != "vsupd")
            note("beside vsupd");
        if (folder.ownerId() != ::geteuid() || (folder.permissions() & 0x0077) || folder.isSymLink())
            note("started from an open folder");
        if (source <= Folder && checkBar.mid(0, 3) != QList<int>{0, 50, 100})
            note("check progress");
        if ((source == Sftp || source == Web)
            && (downloadBar.value(downloadBar.size() - 1) != 100 || (source == Sftp && downloadBar.size() < 4)
                || !std::is_sorted(downloadBar.begin(), downloadBar.end())))
            note("download progress");
    }
    // The same updater then checks and installs from the sound source.
    if (updater && !closes && source != Share && fault != "signed") {
        m_said = &again;
        reset();
        m_failed = quiet = false;
        cycle(updater, source, QString());
        m_said = &said;
        if (!closes || !QTest::qWaitFor([&] { return QFileInfo::exists(m_argsFile); }, 15000))
            note("no recovery: " + again);
    }
    if (!updater)
        note("deleted");
    delete updater;
    if (QFileInfo::exists(m_victim) && readAll(m_victim) != "the user's own file")
        note("victim overwritten");
    const QString temp = QDir::tempPath() + "/";
    for (QString const &path : m_kept) {
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            note("lost " + path);
    }
    for (QString const &name :
        QDir(temp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (!std::any_of(
                m_kept.begin(), m_kept.end(), [&](QString const &kept) { return kept.startsWith(temp + name); }))
            note("left in temp: " + name);
    }
    if (source == Share) {
        QStringList calls = QString::fromUtf8(readAll("cmd.log")).split('\n', Qt::SkipEmptyParts);
        for (QString &line : calls) {
            const QString letter = line.mid(11, 1);
            line.replace(QString("/C net use %1: \\\\vsfiles\\vsupdates /USER:VardoStudio kettle#9").arg(letter),
                "mount " + letter);
            line.replace(QString("/C net use %1: /delete /YES").arg(letter), "unmount " + letter);
        }
        note("cmd: " + calls.join(", "));
    }
    return said;
}

// The channels: a final release on the release channel, a candidate of the
// same or a later release on the candidate channel; the first difference decides.
void UpdaterTest::newer_data()
{
    QTest::addColumn<bool>("releaseMode");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("offered"); // empty: nothing found yet
    QTest::addColumn<bool>("newer");

    QTest::newRow("release: next final patch") << true << "2.1.0.0"
                                               << "2.1.1.0" << true;
    QTest::newRow("release: candidate of a higher minor") << true << "2.1.0.0"
                                                          << "2.2.0.1" << false;
    QTest::newRow("release: same final") << true << "2.1.0.0"
                                         << "2.1.0.0" << false;
    QTest::newRow("release: the running rc plays no part") << true << "2.1.0.5"
                                                           << "2.1.0.0" << false;
    QTest::newRow("release: higher major beats lower minor") << true << "2.9.9.0"
                                                             << "3.0.0.0" << true;
    QTest::newRow("release: older final") << true << "2.1.1.0"
                                          << "2.1.0.0" << false;
    QTest::newRow("release: nothing found") << true << "2.1.0.0"
                                            << "" << false;
    QTest::newRow("candidate: rc of the running final") << false << "2.1.0.0"
                                                        << "2.1.0.3" << true;
    QTest::newRow("candidate: a final is no candidate") << false << "2.1.0.0"
                                                        << "2.1.1.0" << false;
    QTest::newRow("candidate: next rc") << false << "2.1.0.3"
                                        << "2.1.0.4" << true;
    QTest::newRow("candidate: older rc") << false << "2.1.0.4"
                                         << "2.1.0.3" << false;
    QTest::newRow("candidate: rc of an older release") << false << "2.1.1.0"
                                                       << "2.1.0.9" << false;
    QTest::newRow("candidate: nothing found") << false << "2.1.0.0"
                                              << "" << false;
}

void UpdaterTest::newer()
{
    QFETCH(bool, releaseMode);
    QFETCH(QString, current);
    QFETCH(QString, offered);
    QFETCH(bool, newer);

    QCoreApplication::setApplicationVersion(current);
    Updater updater(releaseMode ? Environment::MODE_SERVER_UPDATES : Environment::MODE_LOCAL_UPDATES);
    updater.setAvailableServers(Environment::MODE_DEFAULT);
    updater.checkForUpdates(false); // takes the running version, asks no source
    if (!offered.isEmpty())
        updater.analyseFileVersion("VardoStudioSetup_" + offered + ".exe");
    QCOMPARE(updater.isNewVersion(), newer);
}

// Rules over values: the companion's digest, the download folder's verdict,
// the digest that lets a setup program start.
void UpdaterTest::rules_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("result");

    QTest::newRow("companion: a digest alone") << "companion" << QByteArray("abc\n") << "abc";
    QTest::newRow("companion: trailing blanks") << "companion" << QByteArray("abc  \n") << "abc";
    QTest::newRow("companion: md5sum's form") << "companion"
                                              << "abc  " + setupName.toUtf8() << "abc";
    QTest::newRow("companion: a blank first line") << "companion" << QByteArray("\nabc\n") << "abc";
    QTest::newRow("companion: CR LF line ends") << "companion" << QByteArray("abc\r\n") << "abc";
    QTest::newRow("companion: the first line only") << "companion" << QByteArray("abc\ndef\n") << "abc";
    QTest::newRow("companion: capitals are kept") << "companion" << QByteArray("ABC") << "ABC";
    QTest::newRow("companion: 64 KiB is read") << "companion"
                                               << "abc\n" + QByteArray(65532, '#') << "abc";
    QTest::newRow("companion: over 64 KiB is not") << "companion"
                                                   << "abc\n" + QByteArray(65533, '#') << "";
    QTest::newRow("companion: a FIFO is neither read nor waited on") << "companion" << QByteArray("FIFO") << "";
    QTest::newRow("companion: none") << "companion" << QByteArray() << "";
    QTest::newRow("folder: nothing there") << "folder" << QByteArray("none 0700") << "Missing";
    QTest::newRow("folder: a link") << "folder" << QByteArray("link 0777") << "Link";
    QTest::newRow("folder: a link seen as a folder (a junction)")
        << "folder" << QByteArray("link folder 0700") << "Link";
    QTest::newRow("folder: a file") << "folder" << QByteArray("file 0700") << "NotFolder";
    QTest::newRow("folder: another user's") << "folder" << QByteArray("foreign folder 0700") << "Foreign";
    QTest::newRow("folder: the group may enter") << "folder" << QByteArray("folder 0710") << "OpenToOthers";
    QTest::newRow("folder: others may enter") << "folder" << QByteArray("folder 0701") << "OpenToOthers";
    QTest::newRow("folder: private and ours") << "folder" << QByteArray("folder 0700") << "Ours";
    QTest::newRow("setup: its own digest") << "setup" << QByteArray("md5") << "";
    QTest::newRow("setup: its digest in capitals") << "setup" << QByteArray("upper") << "MD5 sum error!";
    QTest::newRow("setup: a cut digest") << "setup" << QByteArray("cut") << "MD5 sum error!";
    QTest::newRow("setup: no digest") << "setup" << QByteArray() << "MD5 sum error!";
    QTest::newRow("setup: no file and no digest") << "setup" << QByteArray("no file") << "MD5 sum error!";
}

void UpdaterTest::rules()
{
    QFETCH(QString, rule);
    QFETCH(QByteArray, input);
    QFETCH(QString, result);

    const QString path = m_tmp->filePath(setupName);
    if (rule == "companion") {
        if (input == "FIFO")
            QVERIFY(mkfifo(QFile::encodeName(path).constData(), 0644) == 0);
        else if (!input.isEmpty())
            QVERIFY(writeFile(path, input));
        QCOMPARE(companion::digest(companion::read(path)), result);
    } else if (rule == "folder") {
        downloadfolder::Facts facts;
        facts.exists = !input.startsWith("none");
        facts.isLink = input.startsWith("link");
        facts.isDir = input.contains("folder");
        facts.user = 1000;
        facts.owner = input.startsWith("foreign") ? 0 : 1000;
        facts.mode = input.right(4).toInt(nullptr, 8);
        const int verdict = int(downloadfolder::judge(facts));
        QCOMPARE(
            QStringList({"Ours", "Missing", "Link", "NotFolder", "Foreign", "OpenToOthers"}).value(verdict), result);
    } else {
        if (input != "no file")
            QVERIFY(writeFile(path, "program"));
        const QString md5 = md5Of(path);
        const QString digest = input == "md5" ? md5
            : input == "upper"                ? md5.toUpper()
            : input == "cut"                  ? md5.left(16)
                                              : "";
        QCOMPARE(updatetrust::checkSetupFile(path, digest, AppVersion("2.1.1.0"), QString()).text, result);
    }
}

// The setup link on a web page: an https address whose file name is the
// setup program's.
void UpdaterTest::pageLink_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QStringList>("link");

    const QByteArray a = "<a href=\"https://h/d/" + setupName.toUtf8() + "\">";
    const QStringList link{setupName, "https://h/d/" + setupName};
    QTest::newRow("a quoted link") << "<li>" + a + "x</a></li>" << link;
    QTest::newRow("an unquoted link") << "<a href=https://h/d/" + setupName.toUtf8() + ">" << link;
    QTest::newRow("a page of 8 MiB") << a + QByteArray(8 * 1048576 - a.size(), 'x') << link;
    QTest::newRow("a page over 8 MiB") << a + QByteArray(8 * 1048576 - a.size() + 1, 'x') << QStringList();
    QTest::newRow("split over two lines")
        << QByteArray("<a href=\"https://h/VardoStudioSetup_2.1.1.0\n.exe\">") << QStringList();
    QTest::newRow("in lower case") << QByteArray("<a href=\"https://h/vardostudiosetup_2.1.1.0.exe\">")
                                   << QStringList();
    QTest::newRow("plain http") << QByteArray("<a href=\"http://h/VardoStudioSetup_2.1.1.0.exe\">") << QStringList();
    QTest::newRow("path parts") << QByteArray(
        "<a href=\"https://h/VardoStudioSetup_/../VardoStudioSetup_2.1.1.0.exe\">")
                                << QStringList();
    QTest::newRow("two links on one line") << a + "old</a> " + a + "new</a>" << QStringList();
}

void UpdaterTest::pageLink()
{
    QFETCH(QByteArray, page);
    QFETCH(QStringList, link);

    QVERIFY(writeFile(m_tmp->filePath("page.html"), page));
    Updater updater(Environment::MODE_DEFAULT);
    updater.checkSetupFile(); // sets the link pattern up; asks no source
    QCOMPARE(updater.findVardoStudioData(m_tmp->filePath("page.html")), link);
}

void UpdaterTest::freeLetter_data()
{
    QTest::addColumn<QList<volumes::Volume>>("mounted");
    QTest::addColumn<QChar>("letter");

    QTest::newRow("C, D, Z and Y taken: X")
        << QList<volumes::Volume>{volume("C:/"), volume("Z:/"), volume("Y:/")} << QChar('X');
    QTest::newRow("every letter from I to Z taken: none") << lettersTaken('I') << QChar('?');
    QTest::newRow("letters below I are never used") << lettersTaken('J') << QChar('I');
    QTest::newRow("an invalid volume takes no letter")
        << QList<volumes::Volume>{volume("Z:/", "", false)} << QChar('Z');
    QTest::newRow("roots without letters take none")
        << QList<volumes::Volume>{volume("/"), volume("/boot")} << QChar('Z');
    QTest::newRow("a root outside Latin-1 takes none") << QList<volumes::Volume>{volume("Ж:/")} << QChar('Z');
}

void UpdaterTest::freeLetter()
{
    QFETCH(QList<volumes::Volume>, mounted);
    QFETCH(QChar, letter);

    volumes::setProvider([mounted] { return mounted; });
    QCOMPARE(Updater(Environment::MODE_DEFAULT).getUnmountedVolume(), letter);
}

void UpdaterTest::update_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("told"); // "*": any text

    auto row = [](int source, QString const &fault, QString const &told) {
        QTest::addRow("%s: %s", sourceNames[source], qPrintable(fault.isEmpty() ? "sound" : fault))
            << source << fault << told;
    };
    const QString asked = "asked 2.1.1 from 2.1.0", ok = asked + " | started, mode reset",
                  failed = "\nFailed to update application";
    const QString md5Error = asked + " | error: MD5 sum error!" + failed, left = " | left " + setupName;
    const QString nothing = "error: No newer version has been found yet." + failed,
                  latest = "You are using the latest version. | ";
    const QString badData = "Warning: Incorrect data in version file. | " + nothing,
                  cut = "Warning: Error while reading file: ";
    const QString silent = "Error while reading file: the server did not answer for 1 seconds";
    row(Sftp, "", ok);
    row(Sftp, "keep mode", "asked 2.1.1 | started");
    row(Sftp, "version 2.1.0.0", "error: No newer version to install: 2.1.0" + failed);
    row(Sftp, "version 2.2.0.1", "error: No newer version to install: 2.2.0 rc1" + failed);
    row(Sftp, "vsver without archx86", badData);
    row(Sftp, "vsver without version", nothing);
    row(Sftp, "vsver not JSON", badData);
    row(Sftp, "vsver ends at a zero byte", ok);
    row(Sftp, "vsver of 1048576 bytes", ok);
    row(Sftp, "vsver of 1048577 bytes",
        "Warning: Version file is too large: 1048577 bytes (at most 1048576) | " + nothing);
    row(Sftp, "endless vsver",
        "Warning: Remote file is too large: more than 1048576 bytes received, * bytes stated | " + nothing);
    row(Sftp, "drop_after check", cut + "* | " + nothing);
    row(Sftp, "drop_after setup", ok); // goes on from what arrived
    row(Sftp, "stall_after check", "Warning: " + silent + " | " + nothing);
    row(Sftp, "stall_after setup", ok); // goes on from what arrived
    row(Sftp, "wrong password", "Warning: Error authenticating with password: * | " + nothing);
    row(Sftp, "host key changed", asked + " | error: *changed*" + failed);
    row(Sftp, "md5 capitals", md5Error);
    row(Sftp, "md5 other", md5Error);
    row(Sftp, "link as vsver.json in an open vsupd", ok + " | beside vsupd");
    row(Sftp, "link as vsver.json in its own", ok);
    row(Sftp, "no temp folder",
        "Warning: Unable to create temporary folder: * | error: Unable to create temporary folder: *" + failed);
    for (QString name : {"VardoStudioSetup_1.exe/../../evil.exe", "VardoStudioSetup_C:evil.exe",
             "VardoStudioSetup_2.1\t.exe", "", "evil_VardoStudioSetup_2.1.1.0.exe", "VardoStudioSetup_2.1.1.0.exe.txt"})
        row(Sftp, "name " + name,
            QString("Warning: Incorrect setup file name in version file: %1 | error: Incorrect setup file name in "
                    "version file: ")
                    .arg(name)
                + failed);

    row(Folder, "", ok);
    row(Folder, "candidate", "asked 2.1.0 rc3 from 2.1.0 | started");
    row(Folder, "running 0.9.0.0", "asked 2.1.1 from 0.9.0 | started, mode reset");
    row(Folder, "running 0.0.7.0", "asked 2.1.1 | started, mode reset");
    row(Folder, "running 2.1.1.0", latest + "error: No newer version to install: 2.1.1" + failed);
    row(Folder, "empty folder", latest + nothing);
    row(Folder, "fifo named like the program", latest + nothing);
    row(Folder, "no folder setting", nothing);
    row(Folder, "md5 none", md5Error + left);
    row(Folder, "md5 capitals", md5Error + left);
    row(Folder, "companion in other letter case", md5Error + left);
    row(Folder, "stale digest of the program before", md5Error + left);
    row(Folder, "two newer: the first by name", ok);
    row(Folder, "not executable", ok);
    row(Folder, "no check", nothing);
    row(Folder, "program replaced", md5Error + left);
    row(Folder, "program gone", asked + " | error: Unable to copy from " + setupName + " to *" + failed);
    row(Folder, "temp folder cleaned away", ok);
    row(Folder, "late yes after an older check",
        asked + " | " + latest + "error: No newer version to install: 2.0.0 rc1" + failed);
    row(Folder, "copy replaced by a link", asked + " | error: Unable to find downloaded setup file" + left);
    row(Folder, "copy changed", asked + " | error: MD5 sum error!" + left);
    row(Folder, "copy missing", asked + " | error: Unable to find downloaded setup file");
    row(Folder, "offer changed to another rc",
        asked + " | error: Download error:\n'" + setupName + "' version: 2.1.1, expected: 2.1.1 rc1" + left);
    row(Folder, "does not start", asked + " | error: You must update application manually." + left);
    row(Folder, "disk full", asked + " | error: Unable to copy from " + setupName + " to *" + failed);
    row(Folder, "host answers later", ok + " | bars -1 3 7");
    for (QString planted : {"file", "link", "foreign", "open", "held by a live updater"})
        row(Folder, "planted vsupd: " + planted, ok + " | beside vsupd");
    row(Folder, "planted vsupd of an updater that died", ok);

    const QString cmd = " | cmd: mount Z";
    row(Share, "", ok + cmd + ", unmount Z");
    row(Share, "running 2.1.1.0", "error: No newer version to install: 2.1.1" + failed + cmd + ", unmount Z");
    row(Share, "mount fails, marker", ok + cmd);
    row(Share, "mount fails, not ready", nothing + cmd);
    row(Share, "mount fails, no marker", nothing + cmd);
    row(Share, "no free letter", nothing + " | cmd: ");
    row(Share, "unmount fails", ok + cmd + ", unmount Z, unmount Z, unmount Z");
    row(Share, "no cmd.exe", nothing + " | cmd: ");

    auto net = [&](QNetworkReply::NetworkError error, QString const &text) {
        return asked + QString(" | error: Network error:\n%1 - ").arg(int(error)) + text;
    };
    row(Web, "", ok);
    row(Web, "setup behind redirects", ok);
    row(Web, "page /r1", ok);
    row(Web, "page without link", "log: no link | " + nothing);
    row(Web, "page /status/404", "log: *ContentNotFoundError* | " + nothing);
    row(Web, "page /loop/0",
        "log: *TooManyRedirectsError Too many redirects (more than 10)* | requests 11 | " + nothing);
    row(Web, "page /cut/300000/1000", "log: *RemoteHostClosedError* | " + nothing);
    row(Web, "page /endless", "log: *The file * is larger than 16777216 bytes, download stopped. | " + nothing);
    row(Web, "page /trickle/100/5000", "log: *TimeoutError No data received for 0.5 seconds | " + nothing);
    row(Web, "page to http", "log: *InsecureRedirectError Redirect from a secure to an insecure address* | " + nothing);
    row(Web, "page on another host", "log: *SslHandshakeFailedError* | " + nothing);
    row(Web, "program missing", net(QNetworkReply::ContentNotFoundError, "*"));
    row(Web, "setup /loop/0", net(QNetworkReply::TooManyRedirectsError, "Too many redirects*"));
    row(Web, "md5 none", asked + " | error: MD5 sum error!*");
    row(Web, "md5 other", asked + " | error: MD5 sum error!*");
    row(Web, "md5 huge", asked + " | error: MD5 sum error!*");
    row(Web, "setup /cut/300000/1000", net(QNetworkReply::RemoteHostClosedError, "*"));
    row(Web, "setup /endless",
        net(QNetworkReply::OperationCanceledError, "The file * is larger than 4194304 bytes, download stopped."));
    row(Web, "setup /trickle/100/5000", net(QNetworkReply::TimeoutError, "No data received for 0.5 seconds"));
    row(Web, "setup to http",
        net(QNetworkReply::InsecureRedirectError,
            "Redirect from a secure to an insecure address refused: http://127.0.0.1:1/setup/" + setupName));
    row(Web, "setup on another host", net(QNetworkReply::SslHandshakeFailedError, "*"));
    row(Web, "setup on an untrusted host", net(QNetworkReply::SslHandshakeFailedError, "*"));
    row(Web, "backslash in the name", asked + " | error: Download error:\n'download' version: *");
    row(Web, "deleted during the download", asked + " | deleted");
    row(Web, "deleted later during the download", asked + " | deleted");
}

void UpdaterTest::update()
{
    QFETCH(int, source);
    QFETCH(QString, fault);
    QFETCH(QString, told);

    if (fault.endsWith("foreign") && ::geteuid() != 0)
        QSKIP("another user's folder needs a second uid (setpriv), so root");
    if (fault == "disk full") {
        QVERIFY(QDir().mkpath(m_tmp->filePath("small")));
        m_smallMounted
            = QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", m_tmp->filePath("small")}) == 0;
        if (!m_smallMounted)
            QSKIP("cannot mount a 1 MiB tmpfs here (needs root)");
    }
    const QString said = run(source, fault);
    QVERIFY2(matches(told, said), qPrintable("\ntold:   " + said + "\nwanted: " + told));
}

// A setup program signed by its publisher is installed from each kind of
// source; every other is refused before it starts, and nothing of it is left.
void UpdaterTest::signedRelease_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<QString>("signer"); // key file; empty: no signature; "none": no key configured
    QTest::addColumn<QString>("signedText"); // version and name signed
    QTest::addColumn<QString>("signature"); // replaces the signature when not empty
    QTest::addColumn<QByteArray>("change"); // done to the program after signing
    QTest::addColumn<QString>("refusal"); // part of what the host is told; empty: installed

    const QString text = "2.1.1.0\n" + setupName, notOurs = "is not the one the publisher signed";
    for (int source : {int(Sftp), int(Folder), int(Web)}) {
        auto row = [&](char const *what) -> QTestData & {
            return QTest::addRow("%s: %s", sourceNames[source], what) << source;
        };
        row("a valid signature") << "key.pem" << text << "" << QByteArray() << "";
        row("no signature") << "" << text << "" << QByteArray() << "is not signed";
        row("another key") << "other.pem" << text << "" << QByteArray() << notOurs;
        row("changed after signing") << "key.pem" << text << "" << QByteArray("byte") << notOurs;
        row("signed for another version") << "key.pem"
                                          << "2.1.2.0\n" + setupName << "" << QByteArray() << notOurs;
        row("signed for another name") << "key.pem"
                                       << "2.1.1.0\nVardoStudioSetup_2.1.2.0.exe"
                                       << "" << QByteArray() << notOurs;
        row("a cut signature") << "key.pem" << text << "cut" << QByteArray() << "is malformed";
        row("a garbage signature") << "key.pem" << text << "not base64 at all!" << QByteArray() << "is malformed";
        // The SFTP source knows the signed size before the transfer and stops it.
        row("larger than signed") << "key.pem" << text << "" << QByteArray("grow")
                                  << (source == Sftp ? "Remote file is too large" : notOurs);
        row("no key: unsigned installs") << "none" << text << "" << QByteArray() << "";
    }
}

void UpdaterTest::signedRelease()
{
    QFETCH(int, source);
    QFETCH(QString, signer);
    QFETCH(QString, signedText);
    QFETCH(QString, signature);
    QFETCH(QByteArray, change);
    QFETCH(QString, refusal);

    const QByteArray program = readAll(this->program());
    const QByteArray sha256 = QCryptographicHash::hash(program, QCryptographicHash::Sha256).toHex();
    QString sig = signature;
    if (signer.endsWith(".pem")) {
        QVERIFY(writeFile("message",
            "env-release-1\n" + signedText.toUtf8() + '\n' + QByteArray::number(program.size()) + '\n' + sha256
                + '\n'));
        QVERIFY(openssl({"pkeyutl", "-sign", "-inkey", signer, "-rawin", "-in", "message", "-out", "signature"}));
        sig = signature.isEmpty() ? readAll("signature").toBase64()
            : signature == "cut"  ? readAll("signature").toBase64().left(40)
                                  : signature;
    }
    QVERIFY(writeFile(this->program(),
        change == "byte"       ? program.chopped(2) + "y\n"
            : change == "grow" ? program + QByteArray(1000, 'x')
                               : program));
    QVERIFY(writeFile(this->program() + ".md5", md5Of(this->program()).toLatin1()));
    QVERIFY(sig.isEmpty() || writeFile(this->program() + ".sig", "\n" + sig.toLatin1() + "\n\n"));
    QJsonObject arch = offer(setupName);
    arch.insert("size", program.size());
    arch.insert("sha256", QString::fromLatin1(sha256));
    arch.insert("sig", sig);
    writeOffer(arch);
    updatetrust::setPublicKey(signer == "none" ? "" : m_publicKey);

    const QString said = run(source, "signed");
    if (refusal.isEmpty())
        QVERIFY2(said == "asked 2.1.1 from 2.1.0 | started, mode reset", qPrintable(said));
    else
        QVERIFY2(said.contains(refusal) && !said.contains("started") && !said.contains("left"), qPrintable(said));
}

void UpdaterTest::soak_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("count");

    QTest::newRow("update folder") << int(Folder) << 200;
    QTest::newRow("web page over HTTPS") << int(Web) << 100;
    QTest::newRow("update server over SFTP") << int(Sftp) << 50;
}

// Many whole update cycles in one process: whatever a cycle takes
// (descriptors, memory) it gives back.
void UpdaterTest::soak()
{
    if (qEnvironmentVariableIsEmpty("ENV_UPDATER_SOAK"))
        QSKIP("many update cycles: run with the soak label");
    QFETCH(int, source);
    QFETCH(int, count);

    QLoggingCategory::setFilterRules("default.info=false");
    auto cycles = [&](int n) {
        for (int i = 0; i < n; ++i) {
            const QString said = run(source, QString());
            if (said != "asked 2.1.1 from 2.1.0 | started, mode reset")
                return QString("cycle %1: %2").arg(i).arg(said);
        }
        return QString();
    };
    auto residentKiB = [] {
        const QByteArray status = readAll("/proc/self/status");
        return status.mid(status.indexOf("VmRSS:") + 6).trimmed().split(' ').value(0).toLongLong();
    };
    QCOMPARE(cycles(5), QString()); // sets up what lives as long as the process
    const uint descriptors = QDir("/proc/self/fd").count();
    const qint64 resident = residentKiB();
    QCOMPARE(cycles(count), QString());
    QCOMPARE(QDir("/proc/self/fd").count(), descriptors);
#if defined(__SANITIZE_ADDRESS__) // whose quarantine keeps freed memory
    Q_UNUSED(resident)
#else
    QVERIFY2(residentKiB() - resident < 4096, qPrintable(QString("grew by %1 KiB").arg(residentKiB() - resident)));
#endif
}

QTEST_MAIN(UpdaterTest)
#include "tst_updater.moc"
