#ifndef ENV_TESTS_HTTPSTESTSERVER_H
#define ENV_TESTS_HTTPSTESTSERVER_H

// Starts tests/support/httpsserver.py on 127.0.0.1 with a port chosen at run time,
// and makes throw-away certificates for it. See the script for its routes.

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSslConfiguration>
#include <QStringList>

namespace envtest
{

// Starts a test server in Python and waits for its first line, "PORT <n>"; 0 if it never came.
inline int startServerProcess(QProcess &process, QStringList const &arguments, QByteArray *output = nullptr)
{
    // A plain Python process: none of the test's preloads.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (char const *name : {"LD_PRELOAD", "NSS_WRAPPER_PASSWD", "NSS_WRAPPER_GROUP"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(ENV_SYSTEM_PYTHON), QStringList{"-W", "ignore"} + arguments);
    for (QDeadlineTimer deadline(60000); !deadline.hasExpired() && process.waitForStarted(30000);) {
        if (!process.canReadLine() && !process.waitForReadyRead(200) && process.state() != QProcess::Running)
            break;
        QByteArray const line = process.canReadLine() ? process.readLine() : QByteArray();
        if (line.startsWith("PORT "))
            return line.mid(5).trimmed().toInt();
        if (output)
            *output += line;
    }
    return 0;
}

} // namespace envtest

class HttpsTestServer
{
public:
    ~HttpsTestServer() { stop(); }

    // Writes <dir>/<baseName>.pem and .key, a self-signed certificate for 127.0.0.1 and localhost, or for hostName.
    static bool makeCertificate(QString const &dir, QString const &baseName, QString const &hostName = QString())
    {
        QString const base = dir + QLatin1Char('/') + baseName;
        QString const names = hostName.isEmpty() ? QStringLiteral("IP:127.0.0.1,DNS:localhost") : "DNS:" + hostName;
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels); // shown only on failure
        openssl.start("openssl",
            {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=" + (hostName.isEmpty() ? QStringLiteral("127.0.0.1") : hostName), "-addext",
                "subjectAltName=" + names, "-keyout", base + ".key", "-out", base + ".pem"});
        bool const made
            = openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
        if (!made)
            qWarning("openssl req failed: %s", openssl.readAll().constData());
        return made;
    }

    // Adds the certificate to the trusted authorities of this process only.
    static bool trustCertificate(QString const &certPath)
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        bool const added = config.addCaCertificates(certPath, QSsl::Pem);
        QSslConfiguration::setDefaultConfiguration(config);
        return added;
    }

    // certBase is the path without ".pem"/".key". extraArgs: e.g. "--max-tls", "1.1".
    bool start(QString const &certBase, QString const &root, QStringList const &extraArgs = {})
    {
        m_port = quint16(envtest::startServerProcess(m_process,
            QStringList{ENV_TEST_SOURCE_DIR "/../support/httpsserver.py", "--cert", certBase + ".pem", "--key",
                certBase + ".key", "--root", root}
                + extraArgs));
        return m_port != 0;
    }

    // start() with a fresh certificate <dir>/<name> (see makeCertificate) that this process trusts.
    bool startTrusted(QString const &dir, QString const &root, QStringList const &extraArgs = {},
        QString const &name = QStringLiteral("server"), QString const &hostName = QString())
    {
        QString const base = dir + QLatin1Char('/') + name;
        return makeCertificate(dir, name, hostName) && trustCertificate(base + ".pem") && start(base, root, extraArgs);
    }

    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    quint16 port() const { return m_port; }
    void setScheme(QString const &scheme) { m_scheme = scheme; }
    // path starts with "/" and may hold a query.
    QString url(QString const &path) const { return m_scheme + "://127.0.0.1:" + QString::number(m_port) + path; }

    // Request lines ("GET /path") seen since the last call.
    QStringList takeRequests()
    {
        while (m_process.waitForReadyRead(0)) { }
        QStringList lines;
        while (m_process.canReadLine())
            lines << QString::fromUtf8(m_process.readLine().trimmed());
        return lines;
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
    QString m_scheme = QStringLiteral("https");
};

#endif
