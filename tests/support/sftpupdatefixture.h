#ifndef ENV_TESTS_SFTPUPDATEFIXTURE_H
#define ENV_TESTS_SFTPUPDATEFIXTURE_H

// Helpers of the tests that drive an update: a stand-in setup program and the
// SFTP update server on the build-time update port (see sshtest.cmake).

#include "sftpserverprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

namespace updatertest
{

// What the update server offers.
const QString setupName = QStringLiteral("VardoStudioSetup_2.1.1.0.exe");
const QStringList defaultAccounts{QStringLiteral(ENV_TEST_CHECK_ACCOUNT), QStringLiteral(ENV_TEST_FETCH_ACCOUNT)};

inline QString md5Of(QString const &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex());
}

inline bool writeFile(QString const &path, QByteArray const &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// A stand-in setup program: a shell script that writes its own path and each
// of its arguments, one a line, to argsFile.
inline bool writeSetupProgram(QString const &path, QString const &argsFile, bool executable = true)
{
    const QByteArray script = "#!/bin/sh\nout='" + argsFile.toUtf8()
        + "'\nprintf '%s\\n' \"$0\" > \"$out.part\"\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out.part\"; "
          "done\nmv \"$out.part\" \"$out\"\n";
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return writeFile(path, script) && QFile::setPermissions(path, permissions);
}

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

} // namespace updatertest

#endif
