#include "settingsvariants_p.h"

#include <QMetaType>
#include <QVector>

#include <cstring>

namespace settingsvariants
{

namespace
{

enum class Kind {
    Exact, // the character Qt reads
    Quote, // a bare '"': Qt drops it and toggles quoting
    Unclear, // an unknown escape: Qt may keep it, drop it, or read it otherwise
    LineEnd, // a bare line break: the value ends
    Comment, // a bare ';': outside quotes the rest of the line is a comment
    Continuation // a backslash that ends a line: a value goes on, a comment not
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

// The escapes of Qt's ini reader: \x and octal take as many digits as follow
// and keep the low 16 bits.
QVector<Item> decode(QByteArray const &raw)
{
    QVector<Item> items;
    items.reserve(raw.size());
    const int size = raw.size();
    for (int i = 0; i < size;) {
        const char c = raw.at(i++);
        if (c == '"') {
            items.append({quint32(uchar(c)), Kind::Quote});
            continue;
        }
        if (c == '\n' || c == '\r' || c == ';') {
            items.append({quint32(uchar(c)), c == ';' ? Kind::Comment : Kind::LineEnd});
            continue;
        }
        if (c != '\\' || i >= size) {
            items.append({quint32(uchar(c)), Kind::Exact});
            continue;
        }
        const char e = raw.at(i++);
        if (e == '\n' || e == '\r') {
            if (e == '\r' && i < size && raw.at(i) == '\n')
                ++i;
            items.append({quint32('\n'), Kind::Continuation});
        } else if (e == 'x' && i < size && hexValue(raw.at(i)) >= 0) {
            quint32 value = 0;
            while (i < size && hexValue(raw.at(i)) >= 0)
                value = (value << 4) + quint32(hexValue(raw.at(i++)));
            items.append({value & 0xffff, Kind::Exact});
        } else if (e >= '0' && e <= '7') {
            quint32 value = quint32(e - '0');
            while (i < size && raw.at(i) >= '0' && raw.at(i) <= '7')
                value = (value << 3) + quint32(raw.at(i++) - '0');
            items.append({value & 0xffff, Kind::Exact});
        } else {
            static const char from[] = "abfnrtv\"'?\\;,";
            static const char to[] = "\a\b\f\n\r\t\v\"'?\\;,";
            const char *known = e != '\0' ? std::strchr(from, e) : nullptr;
            if (known)
                items.append({quint32(uchar(to[known - from])), Kind::Exact});
            else
                items.append({quint32(uchar(e)), Kind::Unclear});
        }
    }
    return items;
}

bool isLineEnd(Item const &item)
{
    return item.kind == Kind::LineEnd;
}

// The type number that follows a "@Variant(" ending before index start is a
// font or a colour, or the value ends before a whole number.
bool knownType(QVector<Item> const &items, int start)
{
    quint32 type = 0;
    int taken = 0;
    for (int i = start; i < items.size() && taken < 4; ++i) {
        const Item item = items.at(i);
        if (item.kind == Kind::Quote || item.kind == Kind::Continuation)
            continue;
        // Inside quotes a line break or a ';' belongs to the value.
        if (item.kind != Kind::Exact)
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
        if (item.kind == Kind::Quote || item.kind == Kind::Continuation)
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

} // namespace

bool holdsOnlyKnownVariants(QByteArray const &raw)
{
    if (!raw.contains('@') && !raw.contains('\\'))
        return true;
    const QVector<Item> items = decode(raw);
    // Qt makes an object only of a value, or an element of a list value, that
    // starts with "@Variant(": the value starts after the line's first '=', an
    // element after a ',' outside quotes; blanks and quotes before it go. A
    // quoted text goes on over line breaks, and so does any text over a
    // backslash that ends a line; a ';' outside quotes starts a comment that
    // runs to the end of the line, backslash or not.
    bool inValue = false;
    bool inQuotes = false;
    bool inComment = false;
    bool atElementStart = false;
    for (int i = 0; i < items.size(); ++i) {
        const Item item = items.at(i);
        if ((isLineEnd(item) && !(inValue && inQuotes)) || (item.kind == Kind::Continuation && inComment)) {
            inValue = inComment = atElementStart = false;
            continue;
        }
        if (inComment || item.kind == Kind::Continuation)
            continue;
        if (item.kind == Kind::Comment && !inQuotes) {
            inComment = true;
            continue;
        }
        if (!inValue) {
            if (item.ch == '=' && item.kind != Kind::Quote) {
                inValue = atElementStart = true;
                inQuotes = false;
            }
            continue;
        }
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

} // namespace settingsvariants
