#include "updatetrust_p.h"

#include "commonfunc.h"
#include "companion_p.h"
#include "deployment.h"
#include "downloadfolder_p.h"
#include "releasesignature_p.h"
#include "updater.h"

#include <QFileInfo>

namespace updatetrust
{

namespace
{

QString &publicKeyReplacement()
{
    static QString instance;
    return instance;
}

QString &hostKeyReplacement()
{
    static QString instance;
    return instance;
}

} // namespace

QString publicKey()
{
    if (!publicKeyReplacement().isNull())
        return publicKeyReplacement();
    return QString::fromLatin1(deployment::updatePublicKey);
}

bool signaturesRequired()
{
    return !publicKey().isEmpty();
}

QString hostKeyFingerprint()
{
    if (!hostKeyReplacement().isNull())
        return hostKeyReplacement();
    return QString::fromLatin1(deployment::updateHostKey);
}

void setPublicKey(QString const &key)
{
    publicKeyReplacement() = key;
}

void setHostKeyFingerprint(QString const &fingerprint)
{
    hostKeyReplacement() = fingerprint;
}

Verdict checkSignature(
    AppVersion const &version, QString const &fileName, qint64 size, QString const &sha256, QString const &signature)
{
    const QString key = publicKey();
    if (key.isEmpty())
        return Verdict();
    const QByteArray message = releasesignature::message(version, fileName, size, sha256);
    switch (releasesignature::verify(key, message, signature)) {
    case releasesignature::Result::Ok: return Verdict();
    case releasesignature::Result::Missing:
        return {Status::Unsigned, Updater::tr("The setup program %1 is not signed.").arg(fileName)};
    case releasesignature::Result::Malformed:
        return {Status::Malformed, Updater::tr("The signature of the setup program %1 is malformed.").arg(fileName)};
    case releasesignature::Result::Invalid: break;
    case releasesignature::Result::BadPublicKey:
        return {Status::BadPublicKey,
            Updater::tr("The publisher's key of this application is not valid; no update can be verified.")};
    }
    return {Status::Invalid,
        Updater::tr("The setup program %1 is not the one the publisher signed for version %2.")
            .arg(fileName, version.toString())};
}

Verdict checkSetupFile(
    QString const &filePath, QString const &expectedMd5, AppVersion const &version, QString const &signature)
{
    // An empty digest means the file could not be read; it never matches, not
    // even an expected digest that is empty because the source had none.
    CommonFunc::FileDigests digests;
    if (signaturesRequired())
        digests = CommonFunc::calculateDigests(filePath);
    else
        digests.md5 = CommonFunc::calculateMd5Sum(filePath);
    if (digests.md5.isEmpty() || digests.md5 != expectedMd5)
        return {Status::DigestMismatch, Updater::tr("MD5 sum error!")};
    return checkSignature(version, QFileInfo(filePath).fileName(), digests.size, digests.sha256, signature);
}

Verdict verifySetupFile(QString const &filePath, QString const &expectedMd5, AppVersion const &version,
    QString const &signature, Refused refused)
{
    const Verdict verdict = checkSetupFile(filePath, expectedMd5, version, signature);
    if (!verdict.ok())
        discard(filePath, refused);
    return verdict;
}

void discard(QString const &filePath, Refused refused)
{
    if (refused == Refused::Removed || signaturesRequired())
        downloadfolder::removeRegularFile(filePath);
}

QString readSignatureFile(QString const &path)
{
    // Read like the digest companion beside it: bounded, regular files only.
    return companion::signature(companion::read(path));
}

QString openSshFingerprint(QByteArray const &sha256)
{
    QByteArray text = sha256.toBase64();
    while (text.endsWith('='))
        text.chop(1);
    return QStringLiteral("SHA256:") + QString::fromLatin1(text);
}

} // namespace updatetrust
