#include "settingsvariants_p.h"

#include <QMetaType>
#include <QVector>

#include <cstring>

namespace settingsvariants
{

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

enum class Kind {
    Exact, // the character Qt reads
    Quote, // a bare '"': Qt drops it and toggles quoting
    Skipped, // a backslash and a line break: Qt drops both
    Unclear // an unknown escape: Qt may keep it, drop it, or read it otherwise
};

struct Item {
    quint32 ch; // as a QChar would hold it
    Kind kind;
};

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

// A value's text after the escapes of Qt's ini reader: \x and octal take as
// many digits as follow and keep the low 16 bits.
QVector<Item> decode(char const *data, int size)
{
    QVector<Item> items;
    items.reserve(size);
    for (int i = 0; i < size;) {
        const char c = data[i++];
        if (c == '"') {
            items.append({quint32(uchar(c)), Kind::Quote});
            continue;
        }
        if (c != '\\' || i >= size) {
            items.append({quint32(uchar(c)), Kind::Exact});
            continue;
        }
        const char e = data[i++];
        if (e == '\n' || e == '\r') {
            if (i < size && (data[i] == '\n' || data[i] == '\r') && data[i] != e)
                ++i;
            items.append({quint32('\n'), Kind::Skipped});
        } else if (e == 'x' && i < size && hexValue(data[i]) >= 0) {
            quint32 value = 0;
            while (i < size && hexValue(data[i]) >= 0)
                value = (value << 4) + quint32(hexValue(data[i++]));
            items.append({value & 0xffff, Kind::Exact});
        } else if (e >= '0' && e <= '7') {
            quint32 value = quint32(e - '0');
            while (i < size && data[i] >= '0' && data[i] <= '7')
                value = (value << 3) + quint32(data[i++] - '0');
            items.append({value & 0xffff, Kind::Exact});
        } else {
            static const char from[] = "abfnrtv\"'?\\";
            static const char to[] = "\a\b\f\n\r\t\v\"'?\\";
            const char *known = e != '\0' ? std::strchr(from, e) : nullptr;
            if (known)
                items.append({quint32(uchar(to[known - from])), Kind::Exact});
            else
                items.append({quint32(uchar(e)), Kind::Unclear});
        }
    }
    return items;
}

// The type number that follows a "@Variant(" ending before index start is a
// font or a colour, or the value ends before a whole number.
bool knownType(QVector<Item> const &items, int start)
{
    quint32 type = 0;
    int taken = 0;
    for (int i = start; i < items.size() && taken < 4; ++i) {
        const Item item = items.at(i);
        if (item.kind == Kind::Quote || item.kind == Kind::Skipped)
            continue;
        if (item.kind == Kind::Unclear)
            return false;
        // Qt takes the text's Latin-1 form: anything wider becomes '?'.
        type = (type << 8) | (item.ch > 0xff ? quint32('?') : item.ch);
        ++taken;
    }
    return taken < 4 || type == QMetaType::QFont || type == QMetaType::QColor;
}

// Follows every reading of "@Variant(" from an element's first character;
// false when one of them leads to a type other than a font or a colour.
bool elementIsSafe(QVector<Item> const &items, int start)
{
    static const char pattern[] = "@Variant(";
    constexpr int length = sizeof(pattern) - 1;
    quint32 states = 1; // bit p: the first p characters are matched
    for (int i = start; i < items.size() && states != 0; ++i) {
        const Item item = items.at(i);
        if (item.kind == Kind::Quote || item.kind == Kind::Skipped)
            continue;
        quint32 next = 0;
        for (int p = 0; p < length; ++p) {
            if (!(states & (1u << p)))
                continue;
            if (item.ch == quint32(uchar(pattern[p])))
                next |= 1u << (p + 1);
            if (item.kind == Kind::Unclear)
                next |= 1u << p;
        }
        if ((next & (1u << length)) && !knownType(items, i + 1))
            return false;
        states = next & ((1u << length) - 1);
    }
    return true;
}

// Qt makes an object only of a value, or an element of a list value, that
// starts with "@Variant(": an element starts after a ',' outside quotes, and
// blanks and quotes before it go.
bool valueIsSafe(QVector<Item> const &items)
{
    bool inQuotes = false;
    bool atElementStart = true;
    for (int i = 0; i < items.size(); ++i) {
        const Item item = items.at(i);
        if (item.kind == Kind::Skipped)
            continue;
        if (item.kind == Kind::Quote) {
            inQuotes = !inQuotes;
            continue;
        }
        if (item.kind == Kind::Exact && item.ch == ',' && !inQuotes) {
            atElementStart = true;
            continue;
        }
        if (!atElementStart)
            continue;
        if (!elementIsSafe(items, i))
            return false;
        // Blanks and unclear characters may still come before the element.
        const bool blank = item.kind == Kind::Exact && (item.ch == ' ' || item.ch == '\t');
        atElementStart = blank || item.kind == Kind::Unclear;
    }
    return true;
}

} // namespace

bool holdsOnlyKnownVariants(QByteArray const &raw)
{
    if (!raw.contains('@') && !raw.contains('\\'))
        return true;
    int pos = 0;
    Line line;
    while (readLine(raw, pos, line)) {
        if (line.equals < 0 || raw.at(line.start) == '[')
            continue;
        const int valueStart = line.equals + 1;
        if (!valueIsSafe(decode(raw.constData() + valueStart, line.end - valueStart)))
            return false;
    }
    return true;
}

} // namespace settingsvariants
