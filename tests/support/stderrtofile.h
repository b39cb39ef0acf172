#ifndef ENV_TESTS_STDERRTOFILE_H
#define ENV_TESTS_STDERRTOFILE_H

#include <QFile>
#include <QString>

#include <cstdio>
#include <unistd.h>

// Sends what the process writes to stderr into a file while it lives.
class StderrToFile
{
public:
    explicit StderrToFile(QString const &path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        FILE *target = std::fopen(QFile::encodeName(path).constData(), "w");
        if (target) {
            ::dup2(::fileno(target), STDERR_FILENO);
            std::fclose(target);
        }
    }
    ~StderrToFile()
    {
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    StderrToFile(StderrToFile const &) = delete;
    StderrToFile &operator=(StderrToFile const &) = delete;

private:
    int m_saved = -1;
};

#endif
