// A version file's JSON as a server may send it: AppVersion::fromJson on the
// top-level object, and the version text of its "archx86" record.
#include "environment.h"

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
