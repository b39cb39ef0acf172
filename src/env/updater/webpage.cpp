#include "webpage_p.h"

#include "downloadfolder_p.h"
#include "updater.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

namespace webpage
{

QUrl parsedUrl(QString const &url)
{
    return QUrl::fromEncoded(url.toLocal8Bit(), QUrl::TolerantMode);
}

QString linkPattern(QString const &prefix)
{
    return QStringLiteral("href=.{0,1}http.*") + prefix + QStringLiteral(".*exe[\",>]");
}

QString downloadName(QUrl const &url)
{
    const QString name = QFileInfo(url.path(QUrl::FullyDecoded)).fileName();
    return downloadfolder::isPlainFileName(name) ? name : QStringLiteral("download");
}

QUrl companionUrl(QUrl const &url, QString const &suffix)
{
    QUrl companion = url;
    companion.setPath(url.path(QUrl::FullyEncoded) + suffix, QUrl::TolerantMode);
    return companion;
}

Link findLink(QString const &text, QString const &pattern, QString const &prefix)
{
    Link link;
    const QRegularExpressionMatch match = QRegularExpression(pattern).match(text);
    if (!match.hasMatch())
        return link;
    const QString matched = match.captured(0);
    const int prefixAt = matched.indexOf(prefix);
    const int httpAt = matched.indexOf(QLatin1String("http"));
    if (prefixAt < 0 || httpAt < 0)
        return link;
    const QString name = matched.mid(prefixAt, matched.size() - 1 - prefixAt);
    const QString address = matched.mid(httpAt, matched.size() - 1 - httpAt);

    // The link names a program that will be run: it must come over TLS, and
    // its name must not lead out of the folder it is stored in. A greedy match
    // over several links on one line fails here too.
    const QUrl url = parsedUrl(address);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()) {
        link.status = LinkStatus::NotHttps;
        link.text = Updater::tr("Setup file link is not an https address: %1").arg(address);
        return link;
    }
    if (!downloadfolder::isPlainFileName(name)) {
        link.status = LinkStatus::NotPlainName;
        link.text = Updater::tr("Setup file link does not end in a plain file name: %1").arg(address);
        return link;
    }
    link.status = LinkStatus::Found;
    link.name = name;
    link.address = address;
    return link;
}

Link readLink(QString const &path, QString const &pattern, QString const &prefix)
{
    Link link;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        link.status = LinkStatus::Unreadable;
        return link;
    }
    if (file.size() > MaxPageSize) {
        link.status = LinkStatus::TooLarge;
        link.text = Updater::tr("Web page is too large (more than %1 MiB): %2")
                        .arg(MaxPageSize / (1024 * 1024))
                        .arg(QFileInfo(path).fileName());
        return link;
    }
    QTextStream stream(&file);
    return findLink(stream.readAll(), pattern, prefix);
}

} // namespace webpage
