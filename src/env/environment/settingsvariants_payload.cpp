#include "settingsvariants_p.h"

#include <QDataStream>
#include <QLocale>
#include <QMetaType>
#include <QTimeZone>

namespace
{

using settingsvariants::Verdict;

// Reads a serialized QVariant the way QVariant::load and Qt's stream operators
// do, without making any object. Like a QDataStream it goes on reading after
// a read failed (the stream's status only stops the loops of containers), so
// what Qt makes of the bytes after a damaged part is checked too.
class PayloadReader
{
public:
    PayloadReader(QByteArray const &bytes, int version)
        : m_data(bytes)
        , m_version(version)
    {
    }

    // False as soon as a read could crash or hang Qt.
    bool variant(int depth)
    {
        if (depth > maxDepth)
            return false;
        quint32 type = u32();
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
        if (m_version >= QDataStream::Qt_4_2)
            skip(1);
        if (type == QMetaType::User) {
            const QByteArray name = byteArray();
            type = quint32(QMetaType::type(name.constData()));
            if (type == QMetaType::UnknownType) {
                m_ok = false;
                return true;
            }
        }
        if (type == QMetaType::UnknownType || !QMetaType::isRegistered(int(type))) {
            // Qt makes an invalid value; a Qt 4 stream still holds a text for it.
            if (type != QMetaType::UnknownType)
                m_changed = true;
            if (m_version < QDataStream::Qt_5_0)
                string();
            return true;
        }
        if (type >= QMetaType::User) {
            // A host's own type read by the host's own operator: nothing to
            // check, but nothing after it can be found either.
            m_opaque = depth == 0;
            return m_opaque;
        }
        return value(int(type), depth);
    }

    bool complete() const { return m_ok && !m_changed && (m_opaque || m_data.size() - m_pos == 1); }

private:
    static constexpr int maxDepth = 64;

    int remaining() const { return m_data.size() - m_pos; }
    void skip(qint64 count)
    {
        if (count > remaining()) {
            m_pos = m_data.size();
            m_ok = false;
        } else {
            m_pos += int(count);
        }
    }
    quint32 u32()
    {
        if (remaining() < 4) {
            skip(4);
            return 0;
        }
        const auto *p = reinterpret_cast<uchar const *>(m_data.constData() + m_pos);
        m_pos += 4;
        return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    }
    qint8 s8()
    {
        if (remaining() < 1) {
            skip(1);
            return 0;
        }
        return qint8(m_data.at(m_pos++));
    }
    // A string or byte array: 0xffffffff is null; Qt reads the rest in steps,
    // so a size larger than what follows only ends the read.
    QByteArray sized(bool twoByteUnits)
    {
        const quint32 size = u32();
        if (size == 0xffffffffu || size == 0)
            return QByteArray();
        if (twoByteUnits && (size & 1)) {
            m_ok = false; // nothing more is read
            return QByteArray();
        }
        const QByteArray bytes = m_data.mid(m_pos, int(qMin<quint32>(size, quint32(remaining()))));
        skip(size);
        return bytes;
    }
    QString string()
    {
        const QByteArray bytes = sized(true);
        QString text;
        for (int i = 0; i + 1 < bytes.size(); i += 2)
            text += QChar(ushort((uchar(bytes.at(i)) << 8) | uchar(bytes.at(i + 1))));
        return text;
    }
    QByteArray byteArray() { return sized(false); }
    // A container Qt reserves room for before reading: the declared count must
    // fit in what follows.
    template <typename Element> bool reserved(int minimumSize, Element element)
    {
        const quint32 count = u32();
        if (count > quint32(remaining() / minimumSize))
            return false;
        return loop(count, element);
    }
    // A map or hash: read entry by entry, until one fails.
    template <typename Entry> bool entries(Entry entry) { return loop(u32(), entry); }
    // Qt reads a container's elements with the stream's status set back to
    // good, until one fails; a failure from before comes back afterwards.
    template <typename Element> bool loop(quint32 count, Element element)
    {
        const bool before = m_ok;
        m_ok = true;
        for (quint32 i = 0; i < count && m_ok; ++i) {
            if (!element())
                return false;
        }
        m_ok = m_ok && before;
        return true;
    }
    bool fixed(int size)
    {
        skip(size);
        return true;
    }
    int floatSize() const { return m_version >= QDataStream::Qt_4_6 ? 8 : 4; }
    // Qt writes a date-time's zone back only when it is a valid one (an
    // invalid zone crashes the rewrite), and opens the zone file by its name.
    bool timeZone()
    {
        const QString id = string();
        if (id == QLatin1String("OffsetFromUtc")) {
            const QString customId = string();
            const int offset = int(u32());
            const QString name = string();
            const QString abbreviation = string();
            const int country = int(u32());
            const QString comment = string();
            return QTimeZone(customId.toUtf8(), offset, name, abbreviation, QLocale::Country(country), comment)
                .isValid();
        }
        // Only names of the zone database's form, never a path of another file.
        for (QString const &part : id.split(QLatin1Char('/'))) {
            if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
                return false;
            for (QChar ch : part) {
                if (!(ch.unicode() < 128 && ch.isLetterOrNumber()) && !QStringLiteral("-_+.").contains(ch))
                    return false;
            }
        }
        return QTimeZone(id.toUtf8()).isValid();
    }
    bool dateTime()
    {
        skip(m_version >= QDataStream::Qt_5_0 ? 8 : 4);
        skip(4);
        const int timeSpec = s8();
        if (m_version >= QDataStream::Qt_5_2) {
            // Qt takes any number for the kind of time, and one it does not
            // know leaves a date-time that crashes the rewrite.
            if (timeSpec < Qt::LocalTime || timeSpec > Qt::TimeZone)
                return false;
            if (timeSpec == Qt::OffsetFromUTC)
                skip(4);
            else if (timeSpec == Qt::TimeZone)
                return timeZone();
        }
        return true;
    }
    bool font()
    {
        string();
        if (m_version >= QDataStream::Qt_5_4)
            string();
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
        skip(size);
        if (m_version >= QDataStream::Qt_5_13)
            return reserved(4, [this] {
                string();
                return true;
            });
        return true;
    }
    bool region()
    {
        // Qt replays a region's operations until its bytes end. It writes a
        // region as its rectangles; the other operations, with counts of
        // their own, are not taken.
        PayloadReader inner(byteArray(), m_version);
        while (inner.remaining() >= 4) {
            if (inner.u32() != 10)
                return false;
            const quint32 count = inner.u32();
            if (count > quint32(inner.remaining() / 16))
                return false;
            inner.skip(qint64(count) * 16);
        }
        return true;
    }
    bool jsonValue()
    {
        switch (uchar(s8())) {
        case 0:
        case 0x80: return true;
        case 1: return fixed(1);
        case 2: return fixed(8);
        case 3: string(); return true;
        case 4:
        case 5: byteArray(); return true;
        default: m_ok = false; return true;
        }
    }

    bool value(int type, int depth)
    {
        auto nested = [this, depth] { return variant(depth + 1); };
        auto text = [this] {
            string();
            return true;
        };
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
        case QMetaType::QLocale: return text();
        case QMetaType::QByteArray:
        case QMetaType::QUrl:
        case QMetaType::QJsonObject:
        case QMetaType::QJsonArray:
        case QMetaType::QJsonDocument: byteArray(); return true;
        case QMetaType::QBitArray: {
            const quint32 bits = u32();
            skip((qint64(bits) + 7) / 8);
            return true;
        }
        case QMetaType::QVariantList: return reserved(4, nested);
        case QMetaType::QStringList: return reserved(4, text);
        case QMetaType::QByteArrayList:
            return reserved(4, [this] {
                byteArray();
                return true;
            });
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return entries([this, nested] {
                string();
                return nested();
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
        case QMetaType::QRegExp: string(); return fixed(3);
        case QMetaType::QRegularExpression: string(); return fixed(4);
        case QMetaType::QJsonValue: return jsonValue();
        case QMetaType::QFont: return font();
        case QMetaType::QColor: return fixed(11);
        case QMetaType::QPolygon: return reserved(8, [this] { return fixed(8); });
        case QMetaType::QPolygonF: return reserved(16, [this] { return fixed(16); });
        case QMetaType::QRegion: return region();
        case QMetaType::QKeySequence: {
            const quint32 count = u32();
            return count <= 4 && fixed(int(count) * 4);
        }
        case QMetaType::QTextLength: return fixed(12);
        case QMetaType::QTextFormat:
            skip(4);
            return entries([this, nested] {
                skip(4);
                return nested();
            });
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
            // Qt has no stream form for these: it makes an empty object and
            // writes it back as a value that never reads again.
            return false;
        default:
            // Images, pixmaps, icons, brushes, pens, palettes, cursors, easing
            // curves, colour spaces and CBOR values run decoders or need a
            // window system: not handed to QSettings.
            return false;
        }
    }

    QByteArray m_data;
    int m_version;
    int m_pos = 0;
    bool m_ok = true; // the stream's status
    bool m_changed = false; // read, but not as written
    bool m_opaque = false;
};

} // namespace

namespace settingsvariants
{

Verdict checkPayload(QByteArray const &payload, bool dateTimeForm)
{
    PayloadReader reader(payload, dateTimeForm ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
    if (!reader.variant(0))
        return Verdict::Unsafe;
    // Only the closing parenthesis may follow: a rewrite would drop anything else.
    return reader.complete() ? Verdict::Clean : Verdict::Incomplete;
}
} // namespace settingsvariants
