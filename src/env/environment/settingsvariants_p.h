#ifndef ENV_SETTINGSVARIANTS_P_H
#define ENV_SETTINGSVARIANTS_P_H

#include <QByteArray>

namespace settingsvariants
{

// QSettings turns an ini value that reads "@Variant(" into an object through
// Qt's stream operators as soon as the file is parsed (allKeys(), value(), or
// the merge of a write). Those operators trust the sizes they read: a damaged
// polygon or list entry crashes the process. True when every such value in
// the raw file content is a QFont or a QColor, the only objects this file
// stores. Escapes are decoded as Qt's ini reader does; where it is unclear what
// Qt would make of a character, the content counts as unsafe.
bool holdsOnlyKnownVariants(QByteArray const &raw);

} // namespace settingsvariants

#endif
