#ifndef ENV_TESTS_UPDATERTESTSUPPORT_H
#define ENV_TESTS_UPDATERTESTSUPPORT_H

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace updatertest
{

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
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

// A stand-in setup program: a shell script that writes its own path and each
// of its arguments, one a line, to argsFile.
inline bool writeSetupProgram(QString const &path, QString const &argsFile, bool executable = true)
{
    const QByteArray script = "#!/bin/sh\n"
                              "out='"
        + argsFile.toUtf8()
        + "'\n"
          "printf '%s\\n' \"$0\" > \"$out.part\"\n"
          "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out.part\"; done\n"
          "mv \"$out.part\" \"$out\"\n";
    if (!writeFile(path, script))
        return false;
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return QFile::setPermissions(path, permissions);
}

// A setup program and its .md5 companion in folder.
inline bool addSetupProgram(QString const &folder, QString const &name, QString const &argsFile)
{
    const QString path = QDir(folder).filePath(name);
    return writeSetupProgram(path, argsFile) && writeFile(path + QStringLiteral(".md5"), md5Of(path).toLatin1() + "\n");
}

// Points TMPDIR (the system's temporary folder) at a fresh folder whose name
// has a blank, for as long as the object lives.
class TemporaryTmpDir
{
public:
    TemporaryTmpDir()
        : m_saved(qgetenv("TMPDIR"))
        , m_dir(QDir::tempPath() + QStringLiteral("/tmp with blank XXXXXX"))
    {
        qputenv("TMPDIR", m_dir.path().toLocal8Bit());
    }
    ~TemporaryTmpDir() { qputenv("TMPDIR", m_saved); }
    QString path() const { return m_dir.path(); }
    bool isValid() const { return m_dir.isValid() && QDir::tempPath() == m_dir.path(); }

private:
    QByteArray m_saved;
    QTemporaryDir m_dir;
};

} // namespace updatertest

#endif
