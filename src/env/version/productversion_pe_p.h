#ifndef ENV_PRODUCTVERSION_PE_P_H
#define ENV_PRODUCTVERSION_PE_P_H

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace pe
{

// The four product-version numbers of a VS_FIXEDFILEINFO: high and low words of
// dwProductVersionMS, then of dwProductVersionLS.
using ProductVersion = std::array<quint16, 4>;

enum class Outcome {
    Found, // version holds the product version
    NoVersionResource, // unreadable, not PE, malformed, or no RT_VERSION resource
    NoFixedFileInfo // an RT_VERSION resource whose root block has no valid VS_FIXEDFILEINFO
};

struct Lookup {
    Outcome outcome = Outcome::NoVersionResource;
    ProductVersion version{};
};

// Looks the version resource up the way the Windows version API does: resource
// type RT_VERSION, name 1, the first language present. Never reads outside the
// image; every offset found in the file is checked before it is followed.
Lookup lookupImage(QByteArray const &image);

// The same for a file. Only the parts needed are read, so a large file costs
// no more memory than a small one.
Lookup lookupFile(QString const &filePath);

// Reads the product version from the RT_VERSION resource of a PE32 or PE32+
// image held in memory. Never reads outside data; std::nullopt when the image
// is not PE, has no version resource, or is malformed.
std::optional<ProductVersion> productVersionFromImage(QByteArray const &image);

// The same for a file; std::nullopt when it cannot be read.
std::optional<ProductVersion> productVersionFromFile(QString const &filePath);

} // namespace pe

#endif
