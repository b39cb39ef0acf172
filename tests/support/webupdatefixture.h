#ifndef ENV_TESTS_WEBUPDATEFIXTURE_H
#define ENV_TESTS_WEBUPDATEFIXTURE_H

#include "httpstestserver.h"
#include "updatertestsupport.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

namespace updatertest
{

// What the web page links to.
const QString setupName = QStringLiteral("VardoStudioSetup_2.1.1.0.exe");

// The server of the web-page source: HTTPS on 127.0.0.1 with a certificate
// this process trusts, serving m_root with its "files" and "pages" folders;
// and the work folders of each test function.
class WebUpdateFixture : public WorkFolders
{
protected:
    // For initTestCase. extraArgs: see HttpsTestServer::start.
    void startWebServer(QStringList const &extraArgs = {})
    {
        QVERIFY(m_certDir.isValid() && m_root.isValid());
        QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("files")));
        QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("pages")));
        QVERIFY(m_server.startTrusted(m_certDir.path(), m_root.path(), extraArgs));
    }
    QString served(QString const &path) const { return m_root.path() + path; }
    // The setup program (recording to argsFile()) and its .md5 in "/files".
    bool serveSetupProgram() const { return addSetupProgram(served(QStringLiteral("/files")), setupName, argsFile()); }

    QTemporaryDir m_certDir;
    QTemporaryDir m_root;
    HttpsTestServer m_server;
};

} // namespace updatertest

#endif
