#include "productversion_p.h"

#include <windows.h>

#include <memory>
#include <new>

// The version-information API of Windows; the portable reader mirrors what it
// finds, so both platforms give the same numbers for the same file.
namespace productversion
{

Result read(QString const &filePath)
{
    Result result;
    // QString holds UTF-16, which is what the wide-character API takes.
    auto const path = reinterpret_cast<LPCWSTR>(filePath.utf16());
    DWORD handle = 0;
    DWORD const size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return result;
    std::unique_ptr<char[]> const block(new (std::nothrow) char[size]);
    if (!block || !GetFileVersionInfoW(path, handle, size, block.get()))
        return result;

    result.status = Status::NoFixedFileInfo;
    void *value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueW(block.get(), L"\\", &value, &valueLength) || !value || valueLength < sizeof(VS_FIXEDFILEINFO))
        return result;
    auto const *info = static_cast<VS_FIXEDFILEINFO const *>(value);
    if (info->dwSignature != 0xFEEF04BDu)
        return result;
    result.status = Status::Ok;
    result.numbers = {HIWORD(info->dwProductVersionMS), LOWORD(info->dwProductVersionMS),
        HIWORD(info->dwProductVersionLS), LOWORD(info->dwProductVersionLS)};
    return result;
}

} // namespace productversion
