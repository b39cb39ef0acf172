// A version file as a server may send it: the updater's own reader of
// "vsver.json" (with the fragment it logs for a parse error), and
// AppVersion::fromJson on the top-level object.
#include "environment.h"
#include "versionfile_p.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // A record without "ver" stands for the running product.
    QCoreApplication::setApplicationVersion(QStringLiteral("4.3.2.1"));
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const &, QString const &) {});
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

    const QJsonDocument document
        = QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<char const *>(data), int(size)));
    if (!document.isObject())
        return 0;
    const QJsonObject top = document.object();
    AppVersion version;
    version.fromJson(top);
    (void)version.toString();

    const AppVersion offered(
        top.value(QStringLiteral("archx86")).toObject().value(QStringLiteral("version")).toString());
    (void)offered.jsonString();
    return 0;
}
