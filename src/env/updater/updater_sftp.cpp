#include "commonfunc.h"
#include "crypto.h"
#include "deployment.h"
#include "downloadfolder_p.h"
#include "sftpdownloader.h"
#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"
#include "versionfile_p.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSharedPointer>

namespace
{

const QString versionFileName = QStringLiteral("vsver.json");

// The version file is a few hundred bytes; anything much bigger is not one,
// and is not read into memory.
constexpr qint64 maxVersionFileSize = 1024 * 1024;

QString tooLargeText(quint64 size)
{
    return Updater::tr("Version file is too large: %1 bytes (at most %2)").arg(size).arg(maxVersionFileSize);
}

// The server names the setup program, and the name becomes a path in the
// temporary folder: only a plain name of the expected form is taken, nothing
// that could lead out of the folder or name a device or drive.
bool isPlainSetupFileName(QString const &name, QString const &prefix)
{
    if (name.isEmpty() || name.toUtf8().size() > 255)
        return false;
    if (!name.startsWith(prefix) || !name.endsWith(QLatin1String(".exe")) || name.contains(QLatin1String("..")))
        return false;
    for (uint c : name.toUcs4()) {
        // Not allowed in Windows file names either; the colon would also make
        // a drive letter or a stream name.
        if (!QChar::isPrint(c) || QStringLiteral("/\\:*?\"<>|").contains(QChar(c)))
            return false;
    }
    return true;
}

// A failure must reach the host even if the transport gave no text for it.
QStringList failureTexts(SftpDownloader const &downloader, QString const &what)
{
    if (!downloader.errors().isEmpty())
        return downloader.errors();
    return QStringList(QStringLiteral("Download of %1 failed").arg(what));
}

// The watchdog counts in whole seconds.
long sftpTimeout()
{
    return (updater_limits::transferTimeout() + 999) / 1000;
}

void removeRegularFile(QString const &path)
{
    if (!path.isEmpty() && QFileInfo(path).isFile())
        QFile::remove(path);
}

} // namespace

QStringList Updater::secureEnumArgs(QVector<EnvSettingKey> keys)
{
    QStringList result;
    for (EnvSettingKey key : keys) {
        QString text = Crypto::decodeEnumIdName(QStringLiteral("EnvSettingKey"), EnvSettingKeyEnumClass::idName(key));
        text.replace(QStringLiteral("$d$"), QStringLiteral("."));
        text.replace(QStringLiteral("$s$"), QStringLiteral("/"));
        result.append(text);
    }
    return result;
}

void Updater::sftpDownloadCheckVersion()
{
    if (sftpDownloadNewVersion())
        emit newVersionIsAvailable();
}

bool Updater::sftpDownloadNewVersion()
{
    QSharedPointer<SftpDownloader> downloader(new SftpDownloader);
    downloader->setTimeout(sftpTimeout());
    const QString localPath = m_tempPath + versionFileName;
    // Whatever stands at that name goes, a link included (not what it points
    // to): the download makes its file new.
    downloadfolder::removeEntry(localPath);
    const QStringList args = secureEnumArgs({SECURE_ARG_1602, SECURE_ARG_1605, SECURE_ARG_1606, SECURE_ARG_1607});

    // An oversized version file is refused before it is fetched, on the size
    // the server states, and the download stops once more than that arrives.
    downloader->setMaxFileSize(maxVersionFileSize);
    if (downloader->connectToHost(args.at(0), deployment::updatePort, args.at(1), args.at(2)) != 0
        || downloader->downloadFile(args.at(3) + QLatin1Char('/') + versionFileName, localPath) != 0) {
        if (downloader->remoteSize() > quint64(maxVersionFileSize))
            sftpErrors(QStringList(tooLargeText(downloader->remoteSize())));
        else
            sftpErrors(failureTexts(*downloader, versionFileName));
        return false;
    }

    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly)) {
        const QString text = tr("Couldn't read version file!");
        qCritical() << text << file.fileName();
        sftpErrors(QStringList(text));
        return false;
    }
    // The size is looked at before anything is read; the read itself stops
    // at the limit too, in case the file grows meanwhile.
    QByteArray data;
    if (file.size() <= maxVersionFileSize)
        data = file.read(maxVersionFileSize + 1);
    const qint64 size = qMax(file.size(), qint64(data.size()));
    file.close();
    if (size > maxVersionFileSize) {
        removeRegularFile(localPath);
        sftpErrors(QStringList(tooLargeText(quint64(size))));
        return false;
    }

    const versionfile::Offer offer = versionfile::parse(data);
    switch (offer.status) {
    case versionfile::Status::NotJson:
        qCritical().noquote() << QStringLiteral("Blad parsowania: ") + offer.parseError
                + QStringLiteral("\nFragment pliku:\n") + offer.text.mid(offer.errorOffset - 60, 120);
        // Without a warning the check would end as if nothing newer existed.
        m_errors.append(tr("Incorrect data in version file."));
        return false;
    case versionfile::Status::NoArch: {
        const QString error = tr("Incorrect data in version file.");
        qCritical() << error;
        sftpErrors(QStringList(error));
        return false;
    }
    case versionfile::Status::NoVersion: return false;
    case versionfile::Status::Ok: break;
    }

    m_newVersion = offer.version;
    if (!isNewVersion()) {
        m_setupFileName.clear();
        m_setupDir.clear();
        m_setupLocation.clear();
        return false;
    }

    if (!isPlainSetupFileName(offer.file, m_setupFilePrefix)) {
        m_setupFileName.clear();
        m_setupDir.clear();
        m_setupLocation.clear();
        sftpErrors(QStringList(tr("Incorrect setup file name in version file: %1").arg(offer.file)));
        return false;
    }

    // With a publisher's key, an offer it did not sign is refused before
    // anything is downloaded.
    const QString refusal
        = updatetrust::signatureProblem(offer.version, offer.file, offer.size, offer.sha256, offer.sig);
    if (!refusal.isEmpty()) {
        m_setupFileName.clear();
        m_setupDir.clear();
        m_setupLocation.clear();
        sftpErrors(QStringList(refusal));
        return false;
    }
    UpdaterState::of(this)->setupSignature = offer.sig;
    UpdaterState::of(this)->setupSize = offer.size;

    m_setupDir = offer.dir;
    m_setupFileName = offer.file;
    m_setupMd5 = offer.md5;
    m_setupLocation = m_setupDir + m_setupFileName;
    return true;
}

QStringList Updater::sftpDownloadSetupFile()
{
    QStringList result;
    // The name reaches here only through the check, which has vetted it; a
    // host that calls updateApp without a successful check gets no download.
    if (!isPlainSetupFileName(m_setupFileName, m_setupFilePrefix)) {
        m_downloadFilePath.clear();
        result.append(tr("Incorrect setup file name in version file: %1").arg(m_setupFileName));
        return result;
    }

    QSharedPointer<SftpDownloader> downloader(new SftpDownloader);
    downloader->setTimeout(sftpTimeout());
    // The same bound as for a setup program from a web page: a server that
    // states a huge size would otherwise fill the disk.
    downloader->setMaxFileSize(quint64(updater_limits::maxSetupFileSize()));
    const QStringList args = secureEnumArgs({SECURE_ARG_1602, SECURE_ARG_1603, SECURE_ARG_1604});
    const QString remotePath = m_setupDir + m_setupFileName;
    m_downloadFilePath = m_tempPath + m_setupFileName;
    downloadfolder::removeEntry(m_downloadFilePath);

    connect(downloader.data(), &SftpDownloader::progress, this, &Updater::onDownloadProgress);
    // A signed offer states the size: nothing larger is transferred.
    if (updatetrust::signaturesRequired())
        downloader->setMaxFileSize(quint64(qMax<qint64>(UpdaterState::of(this)->setupSize, 0)));

    if (downloader->connectToHost(args.at(0), deployment::updatePort, args.at(1), args.at(2)) != 0
        || downloader->downloadFileAsync(remotePath, m_downloadFilePath) != 0) {
        result = failureTexts(*downloader, m_setupFileName);
        // The downloader removes what it wrote; this also covers a failure
        // before it opened the file. Nothing is left that runSetupFile could start.
        removeRegularFile(m_downloadFilePath);
        return result;
    }

    const QString problem = updatetrust::setupFileProblem(
        m_downloadFilePath, m_setupMd5, m_newVersion, UpdaterState::of(this)->setupSignature);
    if (!problem.isEmpty()) {
        removeRegularFile(m_downloadFilePath);
        result.append(problem);
        return result;
    }
    // A downloaded file is not executable where permissions carry that bit;
    // the verified setup program must be, or it cannot be started.
    QFile::setPermissions(
        m_downloadFilePath, QFile::permissions(m_downloadFilePath) | QFile::ExeOwner | QFile::ExeUser);
    emit setupFileDownloaded();
    return result;
}

void Updater::sftpErrors(QStringList const &errors)
{
    m_errors.append(errors);
    qCritical() << errors;
}
