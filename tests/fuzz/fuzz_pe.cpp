// The reader of the product version in a PE file's version resource, on
// arbitrary bytes in memory and from a file: the two agree, and neither reads
// outside what it was given.
#include "fuzzing.h"
#include "productversion_pe_p.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzing::start(argc, argv, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    // No copy: the fuzzer's buffer is exactly as long as the input, so the
    // address sanitizer sees any read past its end.
    const pe::Lookup inMemory
        = pe::lookupImage(QByteArray::fromRawData(reinterpret_cast<char const *>(data), int(size)));
    const pe::Lookup fromFile = pe::lookupFile(fuzzing::writeInput(QStringLiteral("image.exe"), data, size));
    if (inMemory.outcome != fromFile.outcome
        || (inMemory.outcome == pe::Outcome::Found && inMemory.version != fromFile.version))
        std::abort();
    return 0;
}
