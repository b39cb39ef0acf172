#include "settingsvariants_p.h"

#include <QStringList>
#include <QTextCodec>

#include <cstring>

// The ini side of the scan: lines cut and values unescaped as Qt's ini reader
// does, each stored object handed to the payload checker.

namespace
{

// One logical line of the file as Qt's ini reader cuts it.
struct Line {
    int start = 0;
    int end = 0;
    int equals = -1; // the '=' between key and value, or -1
};

// Cuts the next line the way QSettings does: a backslash takes the next byte
// with it (a line break too, which continues the line), quotes anywhere on the
// line make line breaks, '=' and ';' ordinary, the first '=' outside quotes
// ends the key, and a ';' outside quotes ends the line and makes the rest of
// it, up to the next line break whatever comes before, a comment.
bool readLine(QByteArray const &data, int &pos, Line &line)
{
    const int size = data.size();
    bool inQuotes = false;
    int equals = -1;
    int start = pos;
    while (start < size && (data.at(start) == ' ' || data.at(start) == '\t'))
        ++start;
    int i = start;
    while (i < size) {
        const char ch = data.at(i++);
        if (ch == '=') {
            if (!inQuotes && equals < 0)
                equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1)
                ++start;
            else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = data.at(i++);
                if (i < size) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (ch == ';') {
            if (i == start + 1) {
                while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.start = start;
    line.end = i;
    line.equals = equals;
    return i > start;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The elements of one value as Qt's ini reader unescapes them (one element
// when the value is not a list). Sets unclear when the value holds an escape
// whose reading Qt leaves undocumented.
QStringList unescapedElements(char const *data, int size, QTextCodec *codec, bool *unclear)
{
    static const char from[] = "abfnrtv\"?'\\";
    static const char to[] = "\a\b\f\n\r\t\v\"?'\\";
    QStringList elements;
    QString current;
    bool inQuotes = false;
    bool currentQuoted = false;
    int chopLimit = 0;
    auto chop = [&]() {
        int n = current.size() - 1;
        while (n >= chopLimit && (current.at(n) == QLatin1Char(' ') || current.at(n) == QLatin1Char('\t')))
            current.truncate(n--);
    };
    int i = 0;
    auto skipSpaces = [&]() {
        while (i < size && (data[i] == ' ' || data[i] == '\t'))
            ++i;
        chopLimit = current.size();
    };
    skipSpaces();
    while (i < size) {
        const char c = data[i];
        if (c == '\\') {
            if (++i >= size)
                // A backslash at the very end: Qt keeps the blanks before it.
                return elements << current;
            const char e = data[i++];
            const char *known = e != '\0' ? std::strchr(from, e) : nullptr;
            if (known) {
                current += QLatin1Char(to[known - from]);
                chopLimit = current.size();
                continue;
            }
            if ((e == 'x' && i < size && hexValue(data[i]) >= 0) || (e >= '0' && e <= '7')) {
                const int base = e == 'x' ? 16 : 8;
                quint32 value = e == 'x' ? 0 : quint32(e - '0');
                while (i < size && hexValue(data[i]) >= 0 && hexValue(data[i]) < base)
                    value = value * quint32(base) + quint32(hexValue(data[i++]));
                current += QChar(ushort(value & 0xffff));
            } else if (e == '\n' || e == '\r') {
                if (i < size && (data[i] == '\n' || data[i] == '\r') && data[i] != e)
                    ++i;
            } else {
                *unclear = true;
            }
            chopLimit = current.size();
        } else if (c == '"') {
            ++i;
            currentQuoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (c == ',' && !inQuotes) {
            if (!currentQuoted)
                chop();
            elements.append(current);
            current.clear();
            currentQuoted = false;
            ++i;
            skipSpaces();
        } else {
            int j = i + 1;
            while (j < size && data[j] != '\\' && data[j] != '"' && data[j] != ',')
                ++j;
            current += codec ? codec->toUnicode(data + i, j - i) : QString::fromLatin1(data + i, j - i);
            i = j;
        }
    }
    if (!currentQuoted)
        chop();
    elements.append(current);
    return elements;
}

using settingsvariants::Verdict;

Verdict worse(Verdict a, Verdict b)
{
    return int(a) > int(b) ? a : b;
}

} // namespace

namespace settingsvariants
{

Verdict scan(QByteArray const &raw)
{
    // An '@' may also be spelt as an escape ("\x40", "\100").
    if (!raw.contains('@') && !raw.contains('\\'))
        return Verdict::Clean;
    // A byte order mark makes Qt read the file as UTF-8.
    const bool utf8 = raw.startsWith("\xef\xbb\xbf");
    QTextCodec *codec = utf8 ? QTextCodec::codecForName("UTF-8") : nullptr;
    Verdict verdict = Verdict::Clean;
    int pos = utf8 ? 3 : 0;
    Line line;
    while (readLine(raw, pos, line)) {
        if (line.equals < 0 || raw.at(line.start) == '[')
            continue;
        const int valueStart = line.equals + 1;
        const char *value = raw.constData() + valueStart;
        const int size = line.end - valueStart;
        if (!std::memchr(value, '@', size_t(size)) && !std::memchr(value, '\\', size_t(size)))
            continue;
        bool unclear = false;
        const QStringList elements = unescapedElements(value, size, codec, &unclear);
        if (unclear && elements.join(QString()).contains(QLatin1Char('@')))
            // Qt never writes such an escape; where it meets one in a value
            // that may hold an object, the object cannot be told.
            return Verdict::Unsafe;
        for (QString const &element : elements) {
            if (!element.endsWith(QLatin1Char(')')))
                continue;
            const bool dateTimeForm = element.startsWith(QLatin1String("@DateTime("));
            if (!dateTimeForm && !element.startsWith(QLatin1String("@Variant(")))
                continue;
            verdict = worse(verdict, checkPayload(element.mid(dateTimeForm ? 10 : 9).toLatin1(), dateTimeForm));
            if (verdict == Verdict::Unsafe)
                return verdict;
        }
    }
    return verdict;
}

} // namespace settingsvariants
