#include "crypto.h"
#include "deployment.h"
#include "downloadfolder_p.h"
#include "sftpdownloader.h"
#include "sftpfetch_p.h"
#include "updater.h"
#include "updater_p.h"
#include "updater_state_p.h"
#include "updatetrust_p.h"
#include "versionfile_p.h"

#include <QDebug>
#include <QFile>
#include <QSharedPointer>

namespace
{

QString tooLargeText(quint64 size)
{
    return Updater::tr("Version file is too large: %1 bytes (at most %2)").arg(size).arg(versionfile::MaxSize);
}

// A failure must reach the host even if the transport gave no text for it.
QStringList failureTexts(SftpDownloader const &downloader, QString const &what)
{
    if (!downloader.errors().isEmpty())
        return downloader.errors();
    return QStringList(QStringLiteral("Download of %1 failed").arg(what));
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
    downloader->setTimeout(updater_limits::transferTimeoutSeconds());
    const QString localPath = downloadfolder::pathOf(m_tempPath, versionfile::fileName());
    // Whatever stands at that name goes, a link included (not what it points
    // to): the download makes its file new.
    downloadfolder::removeEntry(localPath);
    const QStringList args = secureEnumArgs({SECURE_ARG_1602, SECURE_ARG_1605, SECURE_ARG_1606, SECURE_ARG_1607});

    // An oversized version file is refused before it is fetched, on the size
    // the server states, and the download stops once more than that arrives.
    downloader->setMaxFileSize(versionfile::MaxSize);
    if (sftpfetch::connect(*downloader, {args.at(0), deployment::updatePort, args.at(1), args.at(2)}) != 0
        || downloader->downloadFile(args.at(3) + QLatin1Char('/') + versionfile::fileName(), localPath) != 0) {
        // Refused on the size the server states: the host is told that size.
        if (downloader->cause() == SftpDownloader::Cause::TooLarge
            && downloader->remoteSize() > quint64(versionfile::MaxSize))
            sftpErrors(QStringList(tooLargeText(downloader->remoteSize())));
        else
            sftpErrors(failureTexts(*downloader, versionfile::fileName()));
        return false;
    }

    const versionfile::Contents contents = versionfile::read(localPath);
    switch (contents.status) {
    case versionfile::ReadStatus::CannotOpen: {
        const QString text = tr("Couldn't read version file!");
        qCritical() << text << localPath;
        sftpErrors(QStringList(text));
        return false;
    }
    case versionfile::ReadStatus::TooLarge: sftpErrors(QStringList(tooLargeText(quint64(contents.size)))); return false;
    case versionfile::ReadStatus::Ok: break;
    }

    const versionfile::Offer offer = versionfile::parse(contents.data);
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

    // An offer not taken leaves nothing behind for updateApp to fetch.
    const auto forgetOffer = [this] {
        m_setupFileName.clear();
        m_setupDir.clear();
        m_setupLocation.clear();
    };
    m_newVersion = offer.version;
    if (!isNewVersion()) {
        forgetOffer();
        return false;
    }

    if (!downloadfolder::isSetupFileName(offer.file, m_setupFilePrefix)) {
        forgetOffer();
        sftpErrors(QStringList(tr("Incorrect setup file name in version file: %1").arg(offer.file)));
        return false;
    }

    // With a publisher's key, an offer it did not sign is refused before
    // anything is downloaded.
    const updatetrust::Verdict verdict
        = updatetrust::checkSignature(offer.version, offer.file, offer.size, offer.sha256, offer.sig);
    if (!verdict.ok()) {
        forgetOffer();
        sftpErrors(QStringList(verdict.text));
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
    if (!downloadfolder::isSetupFileName(m_setupFileName, m_setupFilePrefix)) {
        m_downloadFilePath.clear();
        result.append(tr("Incorrect setup file name in version file: %1").arg(m_setupFileName));
        return result;
    }

    QSharedPointer<SftpDownloader> downloader(new SftpDownloader);
    downloader->setTimeout(updater_limits::transferTimeoutSeconds());
    // The same bound as for a setup program from a web page: a server that
    // states a huge size would otherwise fill the disk.
    downloader->setMaxFileSize(quint64(updater_limits::maxSetupFileSize()));
    const QStringList args = secureEnumArgs({SECURE_ARG_1602, SECURE_ARG_1603, SECURE_ARG_1604});
    const QString remotePath = m_setupDir + m_setupFileName;
    m_downloadFilePath = downloadfolder::pathOf(m_tempPath, m_setupFileName);
    downloadfolder::removeEntry(m_downloadFilePath);

    connect(downloader.data(), &SftpDownloader::progress, this, &Updater::onDownloadProgress);
    // A signed offer states the size: nothing larger is transferred.
    if (updatetrust::signaturesRequired())
        downloader->setMaxFileSize(quint64(qMax<qint64>(UpdaterState::of(this)->setupSize, 0)));

    // A connection that fails before the login is tried again, and a download
    // cut on the way goes on from what arrived.
    sftpfetch::Server const server{args.at(0), deployment::updatePort, args.at(1), args.at(2)};
    if (sftpfetch::connect(*downloader, server) != 0
        || sftpfetch::fetch(*downloader, server, remotePath, m_downloadFilePath) != 0) {
        result = failureTexts(*downloader, m_setupFileName);
        // The downloader removes what it wrote; this also covers a failure
        // before it opened the file. Nothing is left that runSetupFile could start.
        downloadfolder::removeRegularFile(m_downloadFilePath);
        return result;
    }

    if (const updatetrust::Verdict verdict = updatetrust::verifySetupFile(m_downloadFilePath, m_setupMd5, m_newVersion,
            UpdaterState::of(this)->setupSignature, updatetrust::Refused::Removed);
        !verdict.ok()) {
        result.append(verdict.text);
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
