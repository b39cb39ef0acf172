#include "environment.h"
#include "productversion_p.h"

#include <QCoreApplication>
#include <QDebug>

AppVersion productversion::of(QString const &filePath)
{
    AppVersion version;
    // QFile adds a warning of its own for an empty name ("No file name specified").
    const productversion::Result result
        = filePath.isEmpty() ? productversion::Result() : productversion::read(filePath);
    switch (result.status) {
    case productversion::Status::Ok:
        version.setVersion(result.numbers[0], result.numbers[1], result.numbers[2], result.numbers[3]);
        break;
    case productversion::Status::NoVersionInfo: qWarning() << "error in GetFileVersionInfo"; break;
    case productversion::Status::NoFixedFileInfo:
        // The block exists but has no root record: cleared, and quietly so.
        break;
    }
    return version;
}

AppVersion productversion::running()
{
#ifndef Q_OS_WIN
    // ELF executables carry no version resource; a host that declared its
    // version to Qt has given the equivalent.
    const QString declared = QCoreApplication::applicationVersion();
    if (!declared.isEmpty())
        return AppVersion(declared);
#endif
    return of(QCoreApplication::applicationFilePath());
}

AppVersion Environment::getProductVersion(QString const &filePath)
{
    return productversion::of(filePath);
}

AppVersion Environment::getAppVersion()
{
    return productversion::running();
}

QString Environment::getVersionString(QString const &filePath)
{
    return getProductVersion(filePath).toString() + QStringLiteral(" beta");
}

AppVersion Environment::getVersionFromFileName(QString const &fileName)
{
    AppVersion version;
    version.reset();

    const int underscore = fileName.lastIndexOf(QLatin1Char('_'));
    if (underscore < 0)
        return version;

    // A number counts only when a "." follows it.
    qint32 numbers[4] = {0, 0, 0, 0};
    int start = underscore + 1;
    for (qint32 &number : numbers) {
        const int dot = fileName.indexOf(QLatin1Char('.'), start);
        if (dot < 0)
            break;
        number = fileName.mid(start, dot - start).toInt(nullptr, 10);
        start = dot + 1;
    }
    version.setVersion(numbers[0], numbers[1], numbers[2], numbers[3]);
    return version;
}
