#include "release.h"

#include "commands.h"
#include "terminal.h"

#include <commonfunc.h>
#include <releasesignature_p.h>

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace envctl
{
namespace
{

const char usageText[] = "usage: envctl release keygen DIR\n"
                         "       envctl release sign --key PEM --version V FILE\n"
                         "       envctl release manifest --key PEM --version V --dir REMOTEDIR FILE\n"
                         "       envctl release verify --public-key TEXT --version V FILE";

// What one signing needs: the file's facts and the message over them.
struct Release {
    AppVersion version;
    QString fileName;
    CommonFunc::FileDigests digests;
    QByteArray message;
};

bool parseVersion(QString const &text, AppVersion *version)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9}){0,3}$"));
    if (!pattern.match(text).hasMatch())
        return false;
    *version = AppVersion(text);
    return true;
}

QString versionText(AppVersion const &version)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(version.m_major)
        .arg(version.m_minor)
        .arg(version.m_patch)
        .arg(version.m_rc);
}

bool readRelease(Terminal &terminal, QString const &versionArg, QString const &file, Release *release)
{
    if (!parseVersion(versionArg, &release->version)) {
        terminal.err(QStringLiteral("envctl: %1 is not a version (write it like 3.1.0.0)").arg(versionArg));
        return false;
    }
    release->fileName = QFileInfo(file).fileName();
    release->digests = CommonFunc::calculateDigests(file);
    if (release->digests.size < 0) {
        terminal.err(QStringLiteral("envctl: cannot read %1").arg(file));
        return false;
    }
    release->message = releasesignature::message(
        release->version, release->fileName, release->digests.size, release->digests.sha256);
    return true;
}

QString signRelease(Terminal &terminal, QString const &keyPath, Release const &release)
{
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        terminal.err(QStringLiteral("envctl: cannot read the private key %1").arg(keyPath));
        return QString();
    }
    const QString signature = releasesignature::sign(keyFile.readAll(), release.message);
    if (signature.isEmpty())
        terminal.err(QStringLiteral("envctl: %1 is not an Ed25519 private key in PEM form").arg(keyPath));
    return signature;
}

bool writeText(QString const &path, QByteArray const &text, bool secret)
{
    QFile file(path);
    // A key is never overwritten: releases already signed with it would be
    // orphaned.
    const QIODevice::OpenMode mode
        = secret ? QIODevice::WriteOnly | QIODevice::NewOnly : QIODevice::WriteOnly | QIODevice::Truncate;
    if (!file.open(mode))
        return false;
    // Readable by its owner alone before anything secret is in it.
    if (secret && !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return false;
    return file.write(text) == text.size() && file.flush();
}

int keygen(Terminal &terminal, QStringList const &args)
{
    if (args.size() != 1) {
        terminal.err(QString::fromLatin1(usageText));
        return ExitUsage;
    }
    const QDir dir(args.first());
    if (!QDir().mkpath(dir.absolutePath())) {
        terminal.err(QStringLiteral("envctl: cannot create %1").arg(dir.absolutePath()));
        return ExitError;
    }
    const QString privatePath = dir.absoluteFilePath(QStringLiteral("release-key.pem"));
    const QString publicPath = dir.absoluteFilePath(QStringLiteral("release-key.pub"));
    if (QFileInfo::exists(privatePath)) {
        terminal.err(QStringLiteral("envctl: %1 exists; a release key is not replaced").arg(privatePath));
        return ExitError;
    }
    QByteArray pem;
    QString publicKey;
    if (!releasesignature::generateKey(&pem, &publicKey)) {
        terminal.err(QStringLiteral("envctl: no Ed25519 key could be made"));
        return ExitError;
    }
    if (!writeText(privatePath, pem, true) || !writeText(publicPath, publicKey.toLatin1() + '\n', false)) {
        terminal.err(QStringLiteral("envctl: cannot write the key files in %1").arg(dir.absolutePath()));
        return ExitError;
    }
    terminal.out(QStringLiteral("private key: %1 (keep it secret, off the update server)").arg(privatePath));
    terminal.out(QStringLiteral("public key:  %1").arg(publicPath));
    terminal.out(QStringLiteral("build the applications with:"));
    terminal.out(QStringLiteral("  -DENV_UPDATE_PUBLIC_KEY=%1").arg(publicKey));
    return ExitOk;
}

} // namespace

int releaseCommand(Terminal &terminal, QStringList const &arguments)
{
    const QString action = arguments.value(0);
    if (action == QLatin1String("keygen"))
        return keygen(terminal, arguments.mid(1));

    QCommandLineParser parser;
    const QCommandLineOption keyOption(QStringLiteral("key"), QString(), QStringLiteral("pem"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QString(), QStringLiteral("version"));
    const QCommandLineOption dirOption(QStringLiteral("dir"), QString(), QStringLiteral("dir"));
    const QCommandLineOption publicKeyOption(QStringLiteral("public-key"), QString(), QStringLiteral("text"));
    parser.addOptions({keyOption, versionOption, dirOption, publicKeyOption});
    const bool sign = action == QLatin1String("sign");
    const bool manifest = action == QLatin1String("manifest");
    const bool verify = action == QLatin1String("verify");
    // QCommandLineParser skips the first item, the program's name.
    if ((!sign && !manifest && !verify) || !parser.parse(QStringList(QStringLiteral("envctl")) + arguments.mid(1))
        || parser.positionalArguments().size() != 1 || !parser.isSet(versionOption) || parser.isSet(keyOption) == verify
        || parser.isSet(publicKeyOption) != verify || parser.isSet(dirOption) != manifest) {
        terminal.err(QString::fromLatin1(usageText));
        return ExitUsage;
    }
    const QString file = parser.positionalArguments().first();
    Release release;
    if (!readRelease(terminal, parser.value(versionOption), file, &release))
        return ExitError;

    if (verify) {
        QFile sigFile(file + QStringLiteral(".sig"));
        QString signature;
        if (sigFile.open(QIODevice::ReadOnly))
            signature = QString::fromLatin1(sigFile.read(64 * 1024));
        switch (releasesignature::verify(parser.value(publicKeyOption), release.message, signature)) {
        case releasesignature::Result::Ok:
            terminal.out(QStringLiteral("%1: signature valid for version %2")
                             .arg(release.fileName, versionText(release.version)));
            return ExitOk;
        case releasesignature::Result::Missing:
            terminal.err(QStringLiteral("%1: not signed (no %1.sig)").arg(release.fileName));
            break;
        case releasesignature::Result::Malformed:
            terminal.err(QStringLiteral("%1: the signature in %1.sig is malformed").arg(release.fileName));
            break;
        case releasesignature::Result::Invalid:
            terminal.err(QStringLiteral("%1: the signature does not match this key, version %2, name, size or content")
                             .arg(release.fileName, versionText(release.version)));
            break;
        case releasesignature::Result::BadPublicKey:
            terminal.err(QStringLiteral("envctl: the public key is not base64 of 32 bytes"));
            break;
        }
        return ExitError;
    }

    const QString signature = signRelease(terminal, parser.value(keyOption), release);
    if (signature.isEmpty())
        return ExitError;
    if (sign) {
        const QString sigPath = file + QStringLiteral(".sig");
        if (!writeText(sigPath, signature.toLatin1() + '\n', false)) {
            terminal.err(QStringLiteral("envctl: cannot write %1").arg(sigPath));
            return ExitError;
        }
        terminal.out(sigPath);
        return ExitOk;
    }

    QString dir = parser.value(dirOption);
    // The client joins the folder and the name without a separator.
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    const QJsonObject offer{{QStringLiteral("version"), versionText(release.version)}, {QStringLiteral("dir"), dir},
        {QStringLiteral("file"), release.fileName}, {QStringLiteral("md5"), release.digests.md5},
        {QStringLiteral("size"), double(release.digests.size)}, {QStringLiteral("sha256"), release.digests.sha256},
        {QStringLiteral("sig"), signature}};
    terminal.out(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("archx86"), offer}}).toJson()).trimmed());
    return ExitOk;
}

} // namespace envctl
