#include "versionfile_p.h"

#include "downloadfolder_p.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace versionfile
{

Offer parse(QByteArray data)
{
    Offer offer;
    const int zero = data.indexOf('\0');
    if (zero >= 0)
        data.truncate(zero);
    offer.text = QString::fromUtf8(data);

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(offer.text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        offer.parseError = parseError.errorString();
        offer.errorOffset = parseError.offset;
        return offer;
    }

    const QJsonObject root = document.object();
    if (!root.contains(QStringLiteral("archx86"))) {
        offer.status = Status::NoArch;
        return offer;
    }
    // Members of another JSON type read as empty text, and an "archx86" that is
    // not an object as an empty object.
    const QJsonObject arch = root.value(QStringLiteral("archx86")).toObject();
    if (!arch.contains(QStringLiteral("version"))) {
        offer.status = Status::NoVersion;
        return offer;
    }
    offer.status = Status::Ok;
    offer.version = AppVersion(arch.value(QStringLiteral("version")).toString());
    offer.dir = arch.value(QStringLiteral("dir")).toString();
    offer.file = arch.value(QStringLiteral("file")).toString();
    offer.md5 = arch.value(QStringLiteral("md5")).toString();
    const double size = arch.value(QStringLiteral("size")).toDouble(-1);
    if (size >= 0 && size <= 9007199254740992.0 && size == double(qint64(size)))
        offer.size = qint64(size);
    offer.sha256 = arch.value(QStringLiteral("sha256")).toString();
    offer.sig = arch.value(QStringLiteral("sig")).toString();
    return offer;
}

Contents read(QString const &path)
{
    Contents contents;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return contents;
    if (file.size() <= MaxSize)
        contents.data = file.read(MaxSize + 1);
    contents.size = qMax(file.size(), qint64(contents.data.size()));
    file.close();
    if (contents.size > MaxSize) {
        downloadfolder::removeRegularFile(path);
        contents.status = ReadStatus::TooLarge;
        contents.data.clear();
        return contents;
    }
    contents.status = ReadStatus::Ok;
    return contents;
}

} // namespace versionfile
