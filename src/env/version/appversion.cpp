#include "environment.h"
#include "productversion_p.h"

#include <QJsonValue>
#include <QStringList>

namespace
{

const QString versionKey = QStringLiteral("ver");

// A part that is not a decimal number counts as 0.
qint32 toNumber(QString const &part)
{
    return part.toInt(nullptr, 10);
}

} // namespace

AppVersion::AppVersion()
    : m_name(versionKey)
    , m_major(-1)
    , m_minor(-1)
    , m_patch(-1)
    , m_rc(-1)
{
}

AppVersion::AppVersion(QString const &text)
    : m_name(versionKey)
    , m_major(0)
    , m_minor(0)
    , m_patch(0)
    , m_rc(0)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    m_major = toNumber(parts.at(0));
    if (parts.size() > 1)
        m_minor = toNumber(parts.at(1));
    if (parts.size() > 2)
        m_patch = toNumber(parts.at(2));
    if (parts.size() > 3)
        m_rc = toNumber(parts.at(3));
}

void AppVersion::clear()
{
    setVersion(-1, -1, -1, -1);
}

void AppVersion::reset()
{
    setVersion(0, 0, 0, 0);
}

void AppVersion::setVersion(int major, int minor, int patch, int rc)
{
    m_major = major;
    m_minor = minor;
    m_patch = patch;
    m_rc = rc;
}

QString AppVersion::toString() const
{
    QString text = QString::number(m_major) + QLatin1Char('.') + QString::number(m_minor) + QLatin1Char('.')
        + QString::number(m_patch);
    if (m_rc >= 1)
        text += QStringLiteral(" rc") + QString::number(m_rc);
    return text;
}

QString AppVersion::jsonString() const
{
    return QString::number(m_major) + QLatin1Char('.') + QString::number(m_minor) + QLatin1Char('.')
        + QString::number(m_patch) + QLatin1Char('.') + QString::number(m_rc);
}

void AppVersion::toJson(QJsonObject &json) const
{
    json.insert(m_name, jsonString());
}

void AppVersion::fromJson(QJsonObject const &json)
{
    const QJsonValue value = json.value(m_name);
    if (value.isUndefined()) {
        // A version file without the member stands for the running product.
        const AppVersion running = productversion::running();
        setVersion(running.m_major, running.m_minor, running.m_patch, running.m_rc);
        return;
    }
    const QStringList parts = value.toString().split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return;
    setVersion(toNumber(parts.at(0)), toNumber(parts.at(1)), toNumber(parts.at(2)), toNumber(parts.at(3)));
}
