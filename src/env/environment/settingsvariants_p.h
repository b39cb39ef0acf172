#ifndef ENV_SETTINGSVARIANTS_P_H
#define ENV_SETTINGSVARIANTS_P_H

#include <QByteArray>

namespace settingsvariants
{

// QSettings turns an ini value (or list element) that reads "@Variant(...)" or
// "@DateTime(...)" into an object through Qt's stream operators as soon as the
// file is parsed (allKeys(), value(), or the merge of a write). Several of
// those operators trust the counts they read: a damaged polygon or list
// reserves room for billions of entries and the process dies, and deep nesting
// overflows the stack. The scan reads each such value as Qt would and checks
// its declared counts and sizes against the bytes that are there.
enum class Verdict {
    Clean, // every stored object reads completely
    Incomplete, // safe to parse, but some object does not read completely: a
                // rewrite through QSettings would change it
    Unsafe // parsing would crash or hang: the file must not reach QSettings
};

Verdict scan(QByteArray const &raw);

// One serialized QVariant as it follows "@Variant(" (stream version Qt 4.0) or
// "@DateTime(" (Qt 5.6), trailing ')' included.
Verdict checkPayload(QByteArray const &payload, bool dateTimeForm);

} // namespace settingsvariants

#endif
