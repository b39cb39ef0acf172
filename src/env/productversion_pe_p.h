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

// Reads the product version from the RT_VERSION resource of a PE32 or PE32+
// image held in memory. Never reads outside data; std::nullopt when the image
// is not PE, has no version resource, or is malformed.
std::optional<ProductVersion> productVersionFromImage(QByteArray const &image);

// The same for a file; std::nullopt when it cannot be read.
std::optional<ProductVersion> productVersionFromFile(QString const &filePath);

} // namespace pe

#endif
