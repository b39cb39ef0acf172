#ifndef ENV_TESTS_SFTPSERVERPROCESS_H
#define ENV_TESTS_SFTPSERVERPROCESS_H

// Starts tests/support/sftpserver.py for a test and talks to it through its
// files. The test target defines ENV_SFTP_SERVER_SCRIPT (see sshtest.cmake).

#include "httpstestserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

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
        QStringList arguments; // further ones, e.g. {"--resets", "2"}
    };

    ~SftpServerProcess() { stop(); }

    // Starts the server and waits until it tells its port.
    bool start(Options const &options, QString *error)
    {
        stop();
        QStringList arguments{ENV_SFTP_SERVER_SCRIPT, options.root, "--port", QString::number(options.port)};
        QStringList const values{options.hostKey, options.keyType, options.control, options.stats};
        QStringList const names{"--host-key", "--key-type", "--control", "--stats"};
        for (int i = 0; i < values.size(); ++i)
            arguments << (values.at(i).isEmpty() ? QStringList() : QStringList{names.at(i), values.at(i)});
        for (QString const &account : options.accounts)
            arguments << "--account" << account;
        arguments << options.arguments;
        QByteArray output;
        m_port = envtest::startServerProcess(m_process, arguments, &output);
        if (m_port == 0)
            *error = "the SFTP server did not tell its port: " + m_process.errorString() + ' ' + output;
        return m_port != 0;
    }

    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
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
