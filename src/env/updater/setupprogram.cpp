#include "setupprogram_p.h"

#include "updater.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace setupprogram
{

namespace
{

// Keeps other processes from writing to, renaming or deleting the setup
// program between its last digest and its start. Only Windows can deny that
// to other processes; elsewhere the digest is taken again just before start.
class SetupFileLock
{
public:
    explicit SetupFileLock(QString const &path)
    {
#ifdef Q_OS_WIN
        m_handle = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), GENERIC_READ,
            FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
        Q_UNUSED(path)
#endif
    }
    ~SetupFileLock()
    {
#ifdef Q_OS_WIN
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
#endif
    }
    bool isLocked() const
    {
#ifdef Q_OS_WIN
        return m_handle != INVALID_HANDLE_VALUE;
#else
        return true;
#endif
    }

private:
    Q_DISABLE_COPY(SetupFileLock)
#ifdef Q_OS_WIN
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#endif
};

QString quotedWhenBlank(QString const &text)
{
    return text.contains(QLatin1Char(' ')) ? QLatin1Char('"') + text + QLatin1Char('"') : text;
}

} // namespace

QStringList arguments(QString const &appDir)
{
    // Passed as items, not as a line, so that a quote inside a path cannot
    // split it differently.
    return QStringList{
        QStringLiteral("upd=true"), QStringLiteral("runAfterInst=true"), QStringLiteral("instPath=") + appDir};
}

QString commandLine(QString const &path, QString const &appDir)
{
    return quotedWhenBlank(path) + QStringLiteral(" upd=true runAfterInst=true") + QStringLiteral(" instPath=")
        + quotedWhenBlank(appDir);
}

bool isDirectlyIn(QString const &path, QString const &folder)
{
    return !path.isEmpty()
        && QDir::cleanPath(QFileInfo(path).absolutePath()) == QDir::cleanPath(QDir(folder).absolutePath());
}

Start start(QString const &path, QString const &expectedMd5, AppVersion const &version, QString const &signature,
    QStringList const &arguments)
{
    Start result;
    {
        const SetupFileLock lock(path);
        result.verdict = lock.isLocked()
            ? updatetrust::checkSetupFile(path, expectedMd5, version, signature)
            : updatetrust::Verdict{updatetrust::Status::DigestMismatch, Updater::tr("MD5 sum error!")};
        if (result.verdict.ok())
            result.status = QProcess::startDetached(path, arguments) ? Status::Started : Status::NotStarted;
    }
    if (!result.verdict.ok()) {
        // Removed only once the lock no longer holds it.
        result.status = Status::Refused;
        updatetrust::discard(path, updatetrust::Refused::RemovedWhenSigned);
    }
    return result;
}

} // namespace setupprogram
