// The portable reader of the product version in a PE file's version resource,
// fed with arbitrary bytes both from memory and from a file: the two sources
// must agree, and neither may read outside what it was given.
#include "productversion_pe_p.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

QTemporaryDir &workDir()
{
    // Removed at exit; a crash leaves it to the caller's temporary folder.
    static QTemporaryDir dir;
    return dir;
}

bool sameLookup(pe::Lookup const &a, pe::Lookup const &b)
{
    return a.outcome == b.outcome && (a.outcome != pe::Outcome::Found || a.version == b.version);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!workDir().isValid())
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    // No copy: the fuzzer's buffer is exactly as long as the input, so the
    // address sanitizer sees any read past its end.
    const QByteArray image = QByteArray::fromRawData(reinterpret_cast<char const *>(data), int(size));
    const pe::Lookup inMemory = pe::lookupImage(image);

    const auto version = pe::productVersionFromImage(image);
    if (version.has_value() != (inMemory.outcome == pe::Outcome::Found))
        std::abort();

    const QString path = workDir().filePath(QStringLiteral("image.exe"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size())
        std::abort();
    file.close();
    const pe::Lookup fromFile = pe::lookupFile(path);
    if (!sameLookup(inMemory, fromFile)) {
        std::fprintf(stderr, "file and memory readers disagree: outcome %d and %d\n", int(inMemory.outcome),
            int(fromFile.outcome));
        std::abort();
    }
    return 0;
}
