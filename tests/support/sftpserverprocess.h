#ifndef ENV_TESTS_SFTPSERVERPROCESS_H
#define ENV_TESTS_SFTPSERVERPROCESS_H

// Starts tests/support/sftpserver.py for a test and talks to it through its
// files. The test target defines ENV_SFTP_SERVER_SCRIPT (see sshtest.cmake).

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class SftpServerProcess
{
public:
    struct Options {
        QString root;
        int port = 0;
        QString hostKey; // kept (or made) here; empty: a new key each start
        QString keyType; // e.g. "ecdsa-sha2-nistp256"; empty: ed25519
        QString control; // JSON file with the faults of the next sessions
        QString stats; // receives the read statistics of the last session
        QStringList accounts;
    };

    ~SftpServerProcess() { stop(); }

    // Starts the server and waits until it tells its port.
    bool start(Options const &options, QString *error)
    {
        stop();
        m_output.clear();
        QStringList arguments{QStringLiteral("-W"), QStringLiteral("ignore"), QStringLiteral(ENV_SFTP_SERVER_SCRIPT),
            options.root, QStringLiteral("--port"), QString::number(options.port),
            QStringLiteral("--exit-on-stdin-eof")};
        if (!options.hostKey.isEmpty())
            arguments << QStringLiteral("--host-key") << options.hostKey;
        if (!options.keyType.isEmpty())
            arguments << QStringLiteral("--key-type") << options.keyType;
        if (!options.control.isEmpty())
            arguments << QStringLiteral("--control") << options.control;
        if (!options.stats.isEmpty())
            arguments << QStringLiteral("--stats") << options.stats;
        for (QString const &account : options.accounts)
            arguments << QStringLiteral("--account") << account;

        // The server is a plain Python process: none of the test's preloads.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (char const *name : {"LD_PRELOAD", "NSS_WRAPPER_PASSWD", "NSS_WRAPPER_GROUP"})
            environment.remove(QString::fromLatin1(name));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(ENV_SYSTEM_PYTHON), arguments);
        if (!m_process.waitForStarted(30000)) {
            *error = m_process.errorString();
            return false;
        }

        QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired()) {
            if (m_process.canReadLine()) {
                QByteArray const line = m_process.readLine().trimmed();
                if (line.startsWith("PORT ")) {
                    m_port = line.mid(5).toInt();
                    return true;
                }
                m_output += line + '\n';
                continue;
            }
            if (m_process.state() != QProcess::Running)
                break;
            m_process.waitForReadyRead(200);
        }
        *error = QStringLiteral("the SFTP server did not tell its port: ") + QString::fromUtf8(m_output);
        stop();
        return false;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    int port() const { return m_port; }

    static bool writeControl(QString const &path, QJsonObject const &faults)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QJsonDocument(faults).toJson()) >= 0;
    }

    static QJsonObject readStats(QString const &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

private:
    QProcess m_process;
    QByteArray m_output;
    int m_port = 0;
};

#endif
