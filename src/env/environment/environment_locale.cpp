#include "environment.h"

#include <QCoreApplication>
#include <QDebug>

namespace
{

const QString translationFilePrefix = QStringLiteral("vardostudio_");

} // namespace

QVector<QLocale> const &Environment::getSupportedLocales() const
{
    return m_supportedLocales;
}

QStringList Environment::getSupportedLocalesNames()
{
    QStringList names;
    names.reserve(m_supportedLocales.size());
    for (QLocale const &locale : qAsConst(m_supportedLocales)) {
        qInfo() << locale << locale.name();
        names.append(locale.name());
    }
    return names;
}

QVector<QLocale> Environment::getFireAlarmSystemsLocalesList()
{
    QVector<QLocale> locales;
    locales.reserve(m_supportedLocales.size() + 1);
    locales.append(QLocale(QLocale::Italian, QLocale::Italy));
    locales += m_supportedLocales;
    return locales;
}

QString Environment::countryCode(QLocale const &locale)
{
    const QString name = locale.name();
    const int separator = name.indexOf(QLatin1Char('_'));
    if (separator < 0)
        return QString();
    return name.mid(separator + 1);
}

int Environment::getCodePage(QLocale::Language language)
{
    return (language == QLocale::Italian || language == QLocale::Spanish) ? 1 : 0;
}

QSharedPointer<QTranslator> Environment::loadTranslator(QString localeName)
{
    QSharedPointer<QTranslator> translator(new QTranslator);
    if (localeName.isEmpty())
        localeName = QLocale(QLocale::English, QLocale::UnitedStates).name();

    const QString folder = getTranslationsPath();
    // Qt tries name.qm, name, then cuts the name back at each "_" from the right.
    if (translator->load(translationFilePrefix + localeName, folder))
        return translator;

    qCritical() << "Cannot load translator:"
                << translationFilePrefix + localeName + QStringLiteral(", translation path: ") + folder;
    return QSharedPointer<QTranslator>();
}

void Environment::setLanguage(QLocale const &locale)
{
    setSetting(LANG, QVariant(locale.name()));
    m_currentLocale = locale;
}

bool Environment::switchLanguage(QLocale locale)
{
    if (m_translator)
        QCoreApplication::removeTranslator(m_translator.data());

    qInfo() << "Set locale START" << locale;

    // Only the singleton holds the previous translator: it goes here.
    m_translator = loadTranslator(locale.name());
    if (m_translator) {
        setLanguage(locale);
        QCoreApplication::installTranslator(m_translator.data());
        qInfo() << "Set locale" << locale << "OK";
        return true;
    }

    qCritical() << "Cannot load translator:"
                << translationFilePrefix + locale.name() + QStringLiteral(", translation path: ")
            + getTranslationsPath();
    return false;
}
