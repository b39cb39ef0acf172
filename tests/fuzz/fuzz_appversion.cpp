// AppVersion from a text: as a whole, and as the "ver" member of a version
// record. Whole JSON documents are fuzz_versionjson's.
#include "environment.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // A version file without "ver" stands for the running product.
    QCoreApplication::setApplicationVersion(QStringLiteral("4.3.2.1"));
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const &, QString const &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<char const *>(data), int(size));
    const QString text = QString::fromUtf8(bytes);

    const AppVersion parsed(text);
    (void)parsed.toString();

    // What jsonString() gives back reads as the same version.
    const AppVersion again(parsed.jsonString());
    if (again.m_major != parsed.m_major || again.m_minor != parsed.m_minor || again.m_patch != parsed.m_patch
        || again.m_rc != parsed.m_rc)
        std::abort();

    AppVersion member;
    member.fromJson(QJsonObject{{QStringLiteral("ver"), text}});
    QJsonObject written;
    member.toJson(written);
    (void)written;
    return 0;
}
