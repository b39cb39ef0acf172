#ifndef ENV_TESTS_HTTPSTESTSERVER_H
#define ENV_TESTS_HTTPSTESTSERVER_H

// Starts tests/support/httpsserver.py on 127.0.0.1 with a port chosen at run time,
// and makes throw-away certificates for it. See the script for its routes.

#include <QDir>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

class HttpsTestServer
{
public:
    HttpsTestServer() = default;
    HttpsTestServer(HttpsTestServer const &) = delete;
    HttpsTestServer &operator=(HttpsTestServer const &) = delete;
    ~HttpsTestServer() { stop(); }

    // Writes <dir>/<baseName>.pem and <dir>/<baseName>.key, a self-signed
    // certificate for 127.0.0.1 and localhost, or for hostName alone.
    static bool makeCertificate(QString const &dir, QString const &baseName, QString const &hostName = QString())
    {
        const QString subject
            = hostName.isEmpty() ? QStringLiteral("/CN=127.0.0.1") : QStringLiteral("/CN=") + hostName;
        const QString altNames = hostName.isEmpty() ? QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")
                                                    : QStringLiteral("subjectAltName=DNS:") + hostName;
        QProcess openssl;
        // Its key-generation progress is noise; show the output only on failure.
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                subject, QStringLiteral("-addext"), altNames, QStringLiteral("-keyout"),
                dir + QLatin1Char('/') + baseName + QStringLiteral(".key"), QStringLiteral("-out"),
                dir + QLatin1Char('/') + baseName + QStringLiteral(".pem")});
        const bool made
            = openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
        if (!made)
            qWarning("openssl req failed: %s", openssl.readAll().constData());
        return made;
    }

    // Adds the certificate to the trusted authorities of this process only.
    static bool trustCertificate(QString const &certPath)
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        if (!config.addCaCertificates(certPath, QSsl::Pem))
            return false;
        QSslConfiguration::setDefaultConfiguration(config);
        return true;
    }

    // certBase is the path without ".pem"/".key". extraArgs: e.g. "--max-tls", "1.1".
    bool start(QString const &certBase, QString const &root, QStringList const &extraArgs = {})
    {
        QStringList args{QStringLiteral(ENV_TEST_SOURCE_DIR "/../support/httpsserver.py"), QStringLiteral("--cert"),
            certBase + QStringLiteral(".pem"), QStringLiteral("--key"), certBase + QStringLiteral(".key"),
            QStringLiteral("--root"), root};
        args += extraArgs;
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setReadChannel(QProcess::StandardOutput);
        m_process.start(QStringLiteral(ENV_SYSTEM_PYTHON), args);
        if (!m_process.waitForStarted(30000))
            return false;
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(30000))
                return false;
        }
        const QByteArray line = m_process.readLine().trimmed();
        if (!line.startsWith("PORT "))
            return false;
        m_port = line.mid(5).toUShort();
        return m_port != 0;
    }

    // start() with a fresh certificate <dir>/<name> (see makeCertificate) that
    // this process trusts.
    bool startTrusted(QString const &dir, QString const &root, QStringList const &extraArgs = {},
        QString const &name = QStringLiteral("server"), QString const &hostName = QString())
    {
        const QString base = dir + QLatin1Char('/') + name;
        return makeCertificate(dir, name, hostName) && trustCertificate(base + QStringLiteral(".pem"))
            && start(base, root, extraArgs);
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    quint16 port() const { return m_port; }
    QString scheme() const { return m_scheme; }
    void setScheme(QString const &scheme) { m_scheme = scheme; }

    // path starts with "/" and may hold a query.
    QString url(QString const &path) const
    {
        return m_scheme + QStringLiteral("://127.0.0.1:") + QString::number(m_port) + path;
    }

    // Request lines ("GET /path") seen since the last call.
    QStringList takeRequests()
    {
        QStringList lines;
        while (m_process.waitForReadyRead(0)) { }
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
