#ifndef ENV_COMPANION_P_H
#define ENV_COMPANION_P_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The ".md5" companion of a setup program: a small text file next to it that
// names the program's MD5 digest in hex, alone or in md5sum's form
// "digest  name". The update folder, the network share and the web page are
// read the same way.
namespace companion
{

// A companion is a line of text; anything larger is not one and is not read.
constexpr qint64 MaxSize = 64 * 1024;

// The digest in a companion's bytes: its first word, white space around it
// ignored. Letter case is kept, so a digest in capitals does not match.
QString digest(QByteArray const &bytes);

// The signature in a ".sig" companion's bytes: all its text, white space
// around it ignored.
QString signature(QByteArray const &bytes);

// The bytes of the companion at path; empty when it is not a regular file
// (a FIFO would block the reader for ever), cannot be read, or is larger than
// MaxSize.
QByteArray read(QString const &path);

} // namespace companion

#endif
