#ifndef ENV_TESTS_SFTPSERVERPROCESS_H
#define ENV_TESTS_SFTPSERVERPROCESS_H

// Starts tests/support/sftpserver.py for a test and talks to it through its
// files. The test target defines ENV_SFTP_SERVER_SCRIPT (see sshtest.cmake).

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
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
        QStringList arguments{QStringLiteral("-W"), QStringLiteral("ignore"), QStringLiteral(ENV_SFTP_SERVER_SCRIPT),
            options.root, QStringLiteral("--port"), QString::number(options.port),
            QStringLiteral("--exit-on-stdin-eof")};
        QStringList const values{options.hostKey, options.keyType, options.control, options.stats};
        char const *const names[] = {"--host-key", "--key-type", "--control", "--stats"};
        for (int i = 0; i < values.size(); ++i) {
            if (!values.at(i).isEmpty())
                arguments << QString::fromLatin1(names[i]) << values.at(i);
        }
        for (QString const &account : options.accounts)
            arguments << QStringLiteral("--account") << account;
        // The server is a plain Python process: none of the test's preloads.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (char const *name : {"LD_PRELOAD", "NSS_WRAPPER_PASSWD", "NSS_WRAPPER_GROUP"})
            environment.remove(QString::fromLatin1(name));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(ENV_SYSTEM_PYTHON), arguments);
        QByteArray output;
        for (QDeadlineTimer deadline(60000); !deadline.hasExpired() && m_process.waitForStarted(30000);) {
            QByteArray const line = m_process.canReadLine() ? m_process.readLine().trimmed() : QByteArray();
            if (line.startsWith("PORT ")) {
                m_port = line.mid(5).toInt();
                return true;
            }
            output += line.isEmpty() ? line : line + '\n';
            if (line.isEmpty() && !m_process.waitForReadyRead(200) && m_process.state() != QProcess::Running)
                break;
        }
        *error = QStringLiteral("the SFTP server did not tell its port: ") + m_process.errorString() + QLatin1Char(' ')
            + QString::fromUtf8(output);
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
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    }

private:
    QProcess m_process;
    int m_port = 0;
};

#endif
