#ifndef ENV_WEBPAGE_P_H
#define ENV_WEBPAGE_P_H

#include <QString>
#include <QUrl>
#include <QtGlobal>

// The download web page: where its setup program's link is, what it may be,
// and the bounds of what is fetched from it.
namespace webpage
{

// Each redirect is a new request started from inside the previous one, so a
// loop on the server would otherwise recurse until the stack runs out.
constexpr int MaxRedirects = 10;

// A page is read whole into memory to be searched.
constexpr qint64 MaxPageSize = 8 * 1024 * 1024;

// What is fetched for a page: more than is searched, so that a page a little
// too large is still reported as such, but a body without end stops.
constexpr qint64 MaxPageDownload = 2 * MaxPageSize;

// An address as the page or the settings give it.
QUrl parsedUrl(QString const &url);

// The pattern of a setup program's link on the page, for the file names that
// start with prefix.
QString linkPattern(QString const &prefix);

// The name a download from url is stored under: the last part of its decoded
// path, or "download" when that is not a plain file name (a decoded %2F or a
// backslash could lead out of the folder; an address may end in "/").
QString downloadName(QUrl const &url);

// The address of a companion of the file at url: its path followed by suffix.
QUrl companionUrl(QUrl const &url, QString const &suffix);

enum class LinkStatus {
    Found, // name and address are set
    Unreadable, // the page cannot be read
    TooLarge, // larger than MaxPageSize
    NoLink, // nothing matches the pattern
    NotHttps, // the link does not lead to an https address
    NotPlainName // the link's file name is not a plain one
};

struct Link {
    LinkStatus status = LinkStatus::NoLink;
    QString name; // the setup program's file name
    QString address;
    QString text; // why nothing usable was found, when it is worth telling
};

// The setup program's link in a page's text.
Link findLink(QString const &text, QString const &pattern, QString const &prefix);

// The same in the page stored at path; a page too large is not read.
Link readLink(QString const &path, QString const &pattern, QString const &prefix);

} // namespace webpage

#endif // ENV_WEBPAGE_P_H
