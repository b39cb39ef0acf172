#include "settingsvariants_p.h"

#include <QDataStream>
#include <QMetaType>
#include <QStringList>
#include <QTextCodec>

#include <cstring>

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

// Reads a serialized QVariant the way QVariant::load and Qt's stream operators
// do, without making any object.
class PayloadReader
{
public:
    PayloadReader(QByteArray const &bytes, int version)
        : m_data(bytes)
        , m_version(version)
    {
    }

    // Unsafe as soon as a read could crash or hang Qt; Incomplete when a read
    // runs past the end or meets data Qt refuses.
    Verdict variant(int depth)
    {
        if (depth > maxDepth)
            return Verdict::Unsafe;
        quint32 type = 0;
        if (!u32(&type))
            return Verdict::Incomplete;
        if (m_version < QDataStream::Qt_5_0) {
            if (type == 127)
                type = QMetaType::User;
            else if (type >= 128)
                type -= 97;
            else if (type == 75)
                type = QMetaType::QSizePolicy;
            else if (type > 75 && type <= 86)
                type -= 1;
        }
        if (m_version >= QDataStream::Qt_4_2 && !skip(1))
            return Verdict::Incomplete;
        if (type == QMetaType::User) {
            QByteArray name;
            const Verdict named = byteArray(&name);
            if (named != Verdict::Clean)
                return named;
            type = quint32(QMetaType::type(name.constData()));
            if (type == QMetaType::UnknownType)
                return Verdict::Incomplete;
            if (type >= QMetaType::User) {
                // A host's own type read by the host's own operator: nothing
                // to check, but nothing after it can be found either.
                m_opaque = depth == 0;
                return m_opaque ? Verdict::Clean : Verdict::Unsafe;
            }
        }
        if (type == QMetaType::UnknownType)
            return m_version < QDataStream::Qt_5_0 ? string() : Verdict::Clean;
        return value(int(type), depth);
    }

    int remaining() const { return m_data.size() - m_pos; }
    bool opaque() const { return m_opaque; }

private:
    static constexpr int maxDepth = 64;

    bool skip(qint64 count)
    {
        if (count > remaining())
            return false;
        m_pos += int(count);
        return true;
    }
    bool u32(quint32 *value)
    {
        if (remaining() < 4)
            return false;
        const auto *p = reinterpret_cast<uchar const *>(m_data.constData() + m_pos);
        *value = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
        m_pos += 4;
        return true;
    }
    Verdict fixed(int size) { return skip(size) ? Verdict::Clean : Verdict::Incomplete; }
    // A string or byte array: 0xffffffff is null; Qt reads the rest in steps,
    // so a size larger than what follows only ends the read.
    Verdict sized(bool twoByteUnits, QByteArray *bytes = nullptr)
    {
        quint32 size = 0;
        if (!u32(&size))
            return Verdict::Incomplete;
        if (size == 0xffffffffu)
            return Verdict::Clean;
        if ((twoByteUnits && (size & 1)) || size > quint32(remaining()))
            return Verdict::Incomplete;
        if (bytes)
            *bytes = m_data.mid(m_pos, int(size));
        m_pos += int(size);
        return Verdict::Clean;
    }
    Verdict string() { return sized(true); }
    Verdict byteArray(QByteArray *bytes = nullptr) { return sized(false, bytes); }
    // A container Qt reserves room for before reading: the declared count must
    // fit in what follows.
    template <typename Element> Verdict reserved(int minimumSize, Element element)
    {
        quint32 count = 0;
        if (!u32(&count))
            return Verdict::Incomplete;
        if (count > quint32(remaining() / minimumSize))
            return Verdict::Unsafe;
        for (quint32 i = 0; i < count; ++i) {
            const Verdict verdict = element();
            if (verdict != Verdict::Clean)
                return verdict;
        }
        return Verdict::Clean;
    }
    // A map or hash: read entry by entry, each taking at least eight bytes.
    template <typename Entry> Verdict entries(Entry entry)
    {
        quint32 count = 0;
        if (!u32(&count))
            return Verdict::Incomplete;
        for (quint32 i = 0; i < count; ++i) {
            const Verdict verdict = entry();
            if (verdict != Verdict::Clean)
                return verdict;
        }
        return Verdict::Clean;
    }
    int floatSize() const { return m_version >= QDataStream::Qt_4_6 ? 8 : 4; }
    Verdict timeZone()
    {
        const int start = m_pos;
        Verdict verdict = string();
        if (verdict != Verdict::Clean)
            return verdict;
        QString id;
        for (int i = start + 4; i + 1 < m_pos; i += 2)
            id += QChar(ushort((uchar(m_data.at(i)) << 8) | uchar(m_data.at(i + 1))));
        if (id.isEmpty())
            return Verdict::Clean;
        if (id == QLatin1String("OffsetFromUtc")) {
            for (int part = 0; part < 6 && verdict == Verdict::Clean; ++part)
                verdict = part == 2 || part == 5 ? fixed(4) : string();
            return verdict;
        }
        // Qt opens the zone file by that name: only names of the zone
        // database's form, never a path of another file.
        for (QString const &part : id.split(QLatin1Char('/'))) {
            if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
                return Verdict::Unsafe;
            for (QChar ch : part) {
                if (!(ch.unicode() < 128 && ch.isLetterOrNumber()) && !QStringLiteral("-_+.").contains(ch))
                    return Verdict::Unsafe;
            }
        }
        return Verdict::Clean;
    }
    Verdict dateTime()
    {
        const int dateSize = m_version >= QDataStream::Qt_5_0 ? 8 : 4;
        if (!skip(dateSize + 4))
            return Verdict::Incomplete;
        if (remaining() < 1)
            return Verdict::Incomplete;
        const int spec = int(qint8(m_data.at(m_pos++)));
        if (m_version >= QDataStream::Qt_5_2) {
            if (spec == Qt::OffsetFromUTC)
                return fixed(4);
            if (spec == Qt::TimeZone)
                return timeZone();
        }
        return Verdict::Clean;
    }
    Verdict font()
    {
        Verdict verdict = string();
        if (verdict == Verdict::Clean && m_version >= QDataStream::Qt_5_4)
            verdict = string();
        if (verdict != Verdict::Clean)
            return verdict;
        int size = 8 + 4 + 1 + (m_version >= QDataStream::Qt_5_4 ? 2 : 1) + 3;
        if (m_version >= QDataStream::Qt_4_3)
            size += 2;
        if (m_version >= QDataStream::Qt_4_4)
            size += 1;
        if (m_version >= QDataStream::Qt_4_5)
            size += 8;
        if (m_version >= QDataStream::Qt_5_4)
            size += 1;
        if (m_version >= QDataStream::Qt_5_6)
            size += 1;
        verdict = fixed(size);
        if (verdict == Verdict::Clean && m_version >= QDataStream::Qt_5_13)
            verdict = reserved(4, [this] { return string(); });
        return verdict;
    }
    Verdict region()
    {
        QByteArray bytes;
        const Verdict verdict = byteArray(&bytes);
        if (verdict != Verdict::Clean || bytes.isEmpty())
            return verdict;
        // Qt writes a region as its rectangles; the other forms replay drawing
        // operations with counts of their own and are not taken.
        PayloadReader inner(bytes, m_version);
        quint32 kind = 0;
        if (!inner.u32(&kind) || kind != 10)
            return Verdict::Unsafe;
        return inner.reserved(16, [&inner] { return inner.fixed(16); });
    }
    Verdict jsonValue()
    {
        if (remaining() < 1)
            return Verdict::Incomplete;
        switch (uchar(m_data.at(m_pos++))) {
        case 0:
        case 0x80: return Verdict::Clean;
        case 1: return fixed(1);
        case 2: return fixed(8);
        case 3: return string();
        case 4:
        case 5: return byteArray();
        default: return Verdict::Incomplete;
        }
    }

    Verdict value(int type, int depth)
    {
        auto nested = [this, depth] { return variant(depth + 1); };
        switch (type) {
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::UChar:
        case QMetaType::SChar:
        case QMetaType::QCborSimpleType: return fixed(1);
        case QMetaType::QChar:
        case QMetaType::Short:
        case QMetaType::UShort: return fixed(2);
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::QTime:
        case QMetaType::QSizePolicy: return fixed(4);
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Double: return fixed(8);
        case QMetaType::Float: return fixed(floatSize());
        case QMetaType::QDate: return fixed(m_version >= QDataStream::Qt_5_0 ? 8 : 4);
        case QMetaType::QDateTime: return dateTime();
        case QMetaType::QString:
        case QMetaType::QLocale: return string();
        case QMetaType::QByteArray:
        case QMetaType::QUrl:
        case QMetaType::QJsonObject:
        case QMetaType::QJsonArray:
        case QMetaType::QJsonDocument: return byteArray();
        case QMetaType::QBitArray: {
            quint32 bits = 0;
            if (!u32(&bits))
                return Verdict::Incomplete;
            return fixed(int(qMin<quint64>((quint64(bits) + 7) / 8, quint64(remaining()) + 1)));
        }
        case QMetaType::QVariantList: return reserved(4, nested);
        case QMetaType::QStringList: return reserved(4, [this] { return string(); });
        case QMetaType::QByteArrayList: return reserved(4, [this] { return byteArray(); });
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return entries([this, nested] {
                const Verdict key = string();
                return key == Verdict::Clean ? nested() : key;
            });
        case QMetaType::QVariant: return nested();
        case QMetaType::QRect:
        case QMetaType::QLine:
        case QMetaType::QUuid: return fixed(16);
        case QMetaType::QSize:
        case QMetaType::QPoint: return fixed(8);
        case QMetaType::QSizeF:
        case QMetaType::QPointF: return fixed(16);
        case QMetaType::QRectF:
        case QMetaType::QLineF: return fixed(32);
        case QMetaType::QRegExp: {
            const Verdict pattern = string();
            return pattern == Verdict::Clean ? fixed(3) : pattern;
        }
        case QMetaType::QRegularExpression: {
            const Verdict pattern = string();
            return pattern == Verdict::Clean ? fixed(4) : pattern;
        }
        case QMetaType::QJsonValue: return jsonValue();
        case QMetaType::QFont: return font();
        case QMetaType::QColor: return fixed(11);
        case QMetaType::QPolygon: return reserved(8, [this] { return fixed(8); });
        case QMetaType::QPolygonF: return reserved(16, [this] { return fixed(16); });
        case QMetaType::QRegion: return region();
        case QMetaType::QKeySequence: {
            quint32 count = 0;
            if (!u32(&count))
                return Verdict::Incomplete;
            return count > 4 ? Verdict::Unsafe : fixed(int(count) * 4);
        }
        case QMetaType::QTextLength: return fixed(12);
        case QMetaType::QTextFormat: {
            const Verdict kind = fixed(4);
            if (kind != Verdict::Clean)
                return kind;
            return entries([this, nested] {
                const Verdict key = fixed(4);
                return key == Verdict::Clean ? nested() : key;
            });
        }
        case QMetaType::QMatrix: return fixed(48);
        case QMetaType::QTransform: return fixed(72);
        case QMetaType::QMatrix4x4: return fixed(16 * floatSize());
        case QMetaType::QVector2D: return fixed(2 * floatSize());
        case QMetaType::QVector3D: return fixed(3 * floatSize());
        case QMetaType::QVector4D:
        case QMetaType::QQuaternion: return fixed(4 * floatSize());
        case QMetaType::VoidStar:
        case QMetaType::QObjectStar:
        case QMetaType::QModelIndex:
        case QMetaType::QPersistentModelIndex:
        case QMetaType::Void:
        case QMetaType::Nullptr:
            // Qt has no stream form for these and stops with an error.
            return Verdict::Incomplete;
        default:
            // Images, pixmaps, icons, brushes, pens, palettes, cursors, easing
            // curves, colour spaces and CBOR values run decoders or need a
            // window system: not handed to QSettings.
            return Verdict::Unsafe;
        }
    }

    QByteArray m_data;
    int m_version;
    int m_pos = 0;
    bool m_opaque = false;
};

} // namespace

namespace settingsvariants
{

Verdict checkPayload(QByteArray const &payload, bool dateTimeForm)
{
    PayloadReader reader(payload, dateTimeForm ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
    const Verdict verdict = reader.variant(0);
    if (verdict != Verdict::Clean || reader.opaque())
        return verdict;
    // Only the closing parenthesis may follow: a rewrite would drop anything else.
    return reader.remaining() == 1 ? Verdict::Clean : Verdict::Incomplete;
}

Verdict scan(QByteArray const &raw)
{
    if (!raw.contains('@'))
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
        if (!std::memchr(value, '@', size_t(size)))
            continue;
        bool unclear = false;
        const QStringList elements = unescapedElements(value, size, codec, &unclear);
        if (unclear)
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
