#ifndef ENV_PRODUCTVERSION_P_H
#define ENV_PRODUCTVERSION_P_H

#include <QString>

#include <array>

class AppVersion;

// The platform's reader of an executable's product version. On Windows it goes
// through the version-information API, elsewhere through the portable PE reader.
namespace productversion
{

enum class Status {
    Ok, // numbers holds the product version
    NoVersionInfo, // missing file, not an executable, or no version resource
    NoFixedFileInfo // a version resource without a readable fixed-file-info block
};

struct Result {
    Status status = Status::NoVersionInfo;
    // High and low words of dwProductVersionMS, then of dwProductVersionLS.
    std::array<quint16, 4> numbers{};
};

Result read(QString const &filePath);

// The product version of an executable; cleared (all -1) when it has none.
AppVersion of(QString const &filePath);

// The version of the running application.
AppVersion running();

} // namespace productversion

#endif
