#include "updatetrust_p.h"

#include "commonfunc.h"
#include "companion_p.h"
#include "deployment.h"
#include "releasesignature_p.h"
#include "updater.h"

#include <QFile>
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

QString signatureProblem(
    AppVersion const &version, QString const &fileName, qint64 size, QString const &sha256, QString const &signature)
{
    const QString key = publicKey();
    if (key.isEmpty())
        return QString();
    const QByteArray message = releasesignature::message(version, fileName, size, sha256);
    switch (releasesignature::verify(key, message, signature)) {
    case releasesignature::Result::Ok: return QString();
    case releasesignature::Result::Missing: return Updater::tr("The setup program %1 is not signed.").arg(fileName);
    case releasesignature::Result::Malformed:
        return Updater::tr("The signature of the setup program %1 is malformed.").arg(fileName);
    case releasesignature::Result::Invalid: break;
    case releasesignature::Result::BadPublicKey:
        return Updater::tr("The publisher's key of this application is not valid; no update can be verified.");
    }
    return Updater::tr("The setup program %1 is not the one the publisher signed for version %2.")
        .arg(fileName, version.toString());
}

QString setupFileProblem(
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
        return Updater::tr("MD5 sum error!");
    return signatureProblem(version, QFileInfo(filePath).fileName(), digests.size, digests.sha256, signature);
}

QString readSignatureFile(QString const &path)
{
    // Read like the digest companion beside it: bounded, regular files only.
    return QString::fromLatin1(companion::read(path)).trimmed();
}

QString openSshFingerprint(QByteArray const &sha256)
{
    QByteArray text = sha256.toBase64();
    while (text.endsWith('='))
        text.chop(1);
    return QStringLiteral("SHA256:") + QString::fromLatin1(text);
}

} // namespace updatetrust
