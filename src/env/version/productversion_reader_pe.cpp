#include "productversion_p.h"
#include "productversion_pe_p.h"

// Hosts without the Windows version API read the resource from the file itself.
namespace productversion
{

Result read(QString const &filePath)
{
    pe::Lookup const lookup = pe::lookupFile(filePath);
    Result result;
    switch (lookup.outcome) {
    case pe::Outcome::Found:
        result.status = Status::Ok;
        result.numbers = lookup.version;
        break;
    case pe::Outcome::NoFixedFileInfo: result.status = Status::NoFixedFileInfo; break;
    case pe::Outcome::NoVersionResource: result.status = Status::NoVersionInfo; break;
    }
    return result;
}

} // namespace productversion
