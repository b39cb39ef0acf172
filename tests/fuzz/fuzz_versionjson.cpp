// A version file as a server may send it: the updater's reader of "vsver.json"
// (with the fragment it logs for a parse error), AppVersion::fromJson on its
// top-level object, and the input as a version text of its own.
#include "environment.h"
#include "fuzzing.h"
#include "versionfile_p.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzing::start(argc, argv, nullptr);
    // A record without "ver" stands for the running product.
    QCoreApplication::setApplicationVersion(QStringLiteral("4.3.2.1"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<char const *>(data), int(size));
    const versionfile::Offer offer = versionfile::parse(bytes);
    if (offer.status == versionfile::Status::NotJson)
        (void)offer.text.mid(offer.errorOffset - 60, 120);
    else if (offer.status == versionfile::Status::Ok)
        (void)(offer.version.toString() + offer.dir + offer.file + offer.md5);
    AppVersion record;
    record.fromJson(QJsonDocument::fromJson(bytes).object());

    // What jsonString() gives back reads as the same version.
    const AppVersion parsed(QString::fromUtf8(bytes));
    const AppVersion again(parsed.jsonString());
    if (again.jsonString() != parsed.jsonString())
        std::abort();
    (void)parsed.toString();
    return 0;
}
