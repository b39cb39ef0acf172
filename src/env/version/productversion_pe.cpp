#include "productversion_pe_p.h"

#include <QFile>

#include <cstring>
#include <vector>

namespace pe
{

namespace
{

constexpr quint32 resourceTypeVersion = 16; // RT_VERSION
constexpr quint32 versionInfoId = 1; // VS_VERSION_INFO, the name the version API asks for
constexpr quint32 highBit = 0x80000000u;
constexpr quint32 fixedFileInfoSignature = 0xFEEF04BDu;
constexpr quint64 fixedFileInfoSize = 52;
// wLength of a VS_VERSIONINFO is 16 bits wide: nothing past this belongs to it.
constexpr quint64 maxVersionBlock = 0x10000;
constexpr char16_t versionInfoKey[] = u"VS_VERSION_INFO";

bool fits(quint64 offset, quint64 length, quint64 size)
{
    return offset <= size && length <= size - offset;
}

quint16 le16(char const *p)
{
    auto const *b = reinterpret_cast<unsigned char const *>(p);
    return quint16(b[0] | (b[1] << 8));
}

quint32 le32(char const *p)
{
    auto const *b = reinterpret_cast<unsigned char const *>(p);
    return quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24);
}

// Random access to the bytes of an image. A read that does not lie wholly
// inside the image fails and leaves nothing half-read in use.
class Source
{
public:
    virtual ~Source() = default;
    virtual quint64 size() const = 0;
    virtual bool read(quint64 offset, char *out, quint64 length) = 0;
};

class ImageSource final : public Source
{
public:
    explicit ImageSource(QByteArray const &image)
        : m_image(image)
    {
    }
    quint64 size() const override { return quint64(m_image.size()); }
    bool read(quint64 offset, char *out, quint64 length) override
    {
        if (!fits(offset, length, size()))
            return false;
        if (length > 0)
            std::memcpy(out, m_image.constData() + offset, length);
        return true;
    }

private:
    QByteArray const &m_image;
};

class FileSource final : public Source
{
public:
    explicit FileSource(QFile &file)
        : m_file(file)
        , m_size(quint64(qMax<qint64>(file.size(), 0)))
    {
    }
    quint64 size() const override { return m_size; }
    bool read(quint64 offset, char *out, quint64 length) override
    {
        if (!fits(offset, length, m_size))
            return false;
        if (length == 0)
            return true;
        // The file may shrink while it is read: a short read is a failed read.
        return m_file.seek(qint64(offset)) && m_file.read(out, qint64(length)) == qint64(length);
    }

private:
    QFile &m_file;
    quint64 m_size;
};

struct Section {
    quint32 virtualAddress;
    quint32 virtualSize;
    quint32 rawSize;
    quint32 rawOffset;
};

class Reader
{
public:
    explicit Reader(Source &source)
        : m_source(source)
    {
    }

    Lookup run()
    {
        Lookup lookup;
        quint32 dataRva = 0;
        quint32 dataSize = 0;
        if (!readHeaders() || !findVersionData(dataRva, dataSize))
            return lookup;
        quint64 const offset = fileOffset(dataRva, dataSize);
        if (offset == invalid)
            return lookup;
        std::vector<char> block(std::size_t(qMin<quint64>(dataSize, maxVersionBlock)));
        if (!m_source.read(offset, block.data(), block.size()))
            return lookup;
        return parseVersionInfo(block);
    }

private:
    static constexpr quint64 invalid = ~quint64(0);

    bool u16At(quint64 offset, quint16 &value)
    {
        char raw[2];
        if (!m_source.read(offset, raw, sizeof raw))
            return false;
        value = le16(raw);
        return true;
    }

    bool u32At(quint64 offset, quint32 &value)
    {
        char raw[4];
        if (!m_source.read(offset, raw, sizeof raw))
            return false;
        value = le32(raw);
        return true;
    }

    // DOS header, PE signature, COFF header, optional header: finds the
    // resource directory and keeps the section table to map addresses.
    bool readHeaders()
    {
        char dos[64];
        if (!m_source.read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
            return false;
        quint64 const peOffset = le32(dos + 0x3c);
        char signature[4];
        if (!m_source.read(peOffset, signature, sizeof signature) || std::memcmp(signature, "PE\0\0", 4) != 0)
            return false;

        char coff[20];
        quint64 const coffOffset = peOffset + 4;
        if (!m_source.read(coffOffset, coff, sizeof coff))
            return false;
        quint16 const sectionCount = le16(coff + 2);
        quint16 const optionalHeaderSize = le16(coff + 16);

        quint64 const optionalOffset = coffOffset + sizeof coff;
        quint16 magic = 0;
        if (!u16At(optionalOffset, magic))
            return false;
        quint64 countOffset = 0;
        quint64 directoriesOffset = 0;
        if (magic == 0x10b) { // PE32
            countOffset = 92;
            directoriesOffset = 96;
        } else if (magic == 0x20b) { // PE32+
            countOffset = 108;
            directoriesOffset = 112;
        } else {
            return false;
        }
        quint32 directoryCount = 0;
        quint64 const resourceEntry = directoriesOffset + 2 * 8;
        if (countOffset + 4 > optionalHeaderSize || !u32At(optionalOffset + countOffset, directoryCount)
            || directoryCount <= 2 || resourceEntry + 8 > optionalHeaderSize)
            return false;
        char resource[8];
        if (!m_source.read(optionalOffset + resourceEntry, resource, sizeof resource))
            return false;
        m_resourceRva = le32(resource);
        if (m_resourceRva == 0)
            return false;

        quint64 const sectionsOffset = optionalOffset + optionalHeaderSize;
        if (!fits(sectionsOffset, quint64(sectionCount) * 40, m_source.size()))
            return false;
        m_sections.reserve(sectionCount);
        for (quint64 i = 0; i < sectionCount; ++i) {
            char header[40];
            if (!m_source.read(sectionsOffset + i * 40, header, sizeof header))
                return false;
            m_sections.push_back({le32(header + 12), le32(header + 8), le32(header + 16), le32(header + 20)});
        }
        return true;
    }

    // The file offset of length bytes at a relative virtual address, when they
    // all lie in the raw data of one section; invalid otherwise (the bytes a
    // loader would fill with zeros are not in the file).
    quint64 fileOffset(quint64 rva, quint64 length) const
    {
        for (Section const &section : m_sections) {
            if (rva < section.virtualAddress)
                continue;
            quint64 const inSection = rva - section.virtualAddress;
            if (inSection >= qMax(section.virtualSize, section.rawSize))
                continue;
            if (!fits(inSection, length, section.rawSize))
                return invalid;
            return quint64(section.rawOffset) + inSection;
        }
        return invalid;
    }

    bool readRva(quint64 rva, char *out, quint64 length)
    {
        quint64 const offset = fileOffset(rva, length);
        return offset != invalid && m_source.read(offset, out, length);
    }

    // One level of the resource tree: the entry array of the directory at
    // directoryOffset (relative to the resource section). Named entries come
    // first, then the entries with numeric ids.
    bool readDirectory(quint32 directoryOffset, std::vector<char> &entries, quint32 &namedCount)
    {
        // Each level must go to a directory not seen yet: a loop back to one
        // already read is a damaged (or hostile) file.
        for (quint32 seen : m_visited) {
            if (seen == directoryOffset)
                return false;
        }
        m_visited.push_back(directoryOffset);

        quint64 const rva = quint64(m_resourceRva) + directoryOffset;
        char header[16];
        if (!readRva(rva, header, sizeof header))
            return false;
        namedCount = le16(header + 12);
        quint64 const count = quint64(namedCount) + le16(header + 14);
        entries.resize(std::size_t(count * 8));
        return readRva(rva + sizeof header, entries.data(), entries.size());
    }

    // The subdirectory under the entry with the numeric id wanted.
    bool subdirectoryById(quint32 directoryOffset, quint32 id, quint32 &subdirectory)
    {
        std::vector<char> entries;
        quint32 namedCount = 0;
        if (!readDirectory(directoryOffset, entries, namedCount))
            return false;
        for (std::size_t i = std::size_t(namedCount) * 8; i + 8 <= entries.size(); i += 8) {
            if (le32(entries.data() + i) != id)
                continue;
            quint32 const target = le32(entries.data() + i + 4);
            if (!(target & highBit))
                return false;
            subdirectory = target & ~highBit;
            return true;
        }
        return false;
    }

    // RT_VERSION, name 1, then the first language there is: entries are sorted
    // by id, so a language-neutral resource comes first when there is one.
    bool findVersionData(quint32 &dataRva, quint32 &dataSize)
    {
        quint32 names = 0;
        quint32 languages = 0;
        if (!subdirectoryById(0, resourceTypeVersion, names) || !subdirectoryById(names, versionInfoId, languages))
            return false;
        std::vector<char> entries;
        quint32 namedCount = 0;
        if (!readDirectory(languages, entries, namedCount) || entries.empty())
            return false;
        quint32 const target = le32(entries.data() + 4);
        if (target & highBit)
            return false;
        char dataEntry[16];
        if (!readRva(quint64(m_resourceRva) + target, dataEntry, sizeof dataEntry))
            return false;
        dataRva = le32(dataEntry);
        dataSize = le32(dataEntry + 4);
        return true;
    }

    // VS_VERSIONINFO: wLength, wValueLength, wType, the key "VS_VERSION_INFO",
    // padding to 32 bits, then the VS_FIXEDFILEINFO as its value.
    static Lookup parseVersionInfo(std::vector<char> const &block)
    {
        Lookup lookup;
        if (block.size() < 6)
            return lookup;
        quint64 const length = le16(block.data());
        quint64 const valueLength = le16(block.data() + 2);
        if (length < 6 || length > block.size())
            return lookup;

        lookup.outcome = Outcome::NoFixedFileInfo;
        quint64 const keyUnits = sizeof versionInfoKey / sizeof versionInfoKey[0]; // with its terminator
        quint64 const keyEnd = 6 + keyUnits * 2;
        if (keyEnd > length)
            return lookup;
        for (quint64 i = 0; i < keyUnits; ++i) {
            if (le16(block.data() + 6 + i * 2) != versionInfoKey[i])
                return lookup;
        }
        quint64 const valueOffset = (keyEnd + 3) & ~quint64(3);
        if (valueLength < fixedFileInfoSize || !fits(valueOffset, fixedFileInfoSize, length))
            return lookup;
        char const *fixed = block.data() + valueOffset;
        if (le32(fixed) != fixedFileInfoSignature)
            return lookup;
        // dwSignature, dwStrucVersion, dwFileVersionMS/LS, then dwProductVersionMS/LS.
        quint32 const productMs = le32(fixed + 16);
        quint32 const productLs = le32(fixed + 20);
        lookup.outcome = Outcome::Found;
        lookup.version = {quint16(productMs >> 16), quint16(productMs & 0xffff), quint16(productLs >> 16),
            quint16(productLs & 0xffff)};
        return lookup;
    }

    Source &m_source;
    quint32 m_resourceRva = 0;
    std::vector<Section> m_sections;
    std::vector<quint32> m_visited;
};

std::optional<ProductVersion> versionOf(Lookup const &lookup)
{
    if (lookup.outcome != Outcome::Found)
        return std::nullopt;
    return lookup.version;
}

} // namespace

Lookup lookupImage(QByteArray const &image)
{
    ImageSource source(image);
    return Reader(source).run();
}

Lookup lookupFile(QString const &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    FileSource source(file);
    return Reader(source).run();
}

std::optional<ProductVersion> productVersionFromImage(QByteArray const &image)
{
    return versionOf(lookupImage(image));
}

std::optional<ProductVersion> productVersionFromFile(QString const &filePath)
{
    return versionOf(lookupFile(filePath));
}

} // namespace pe
