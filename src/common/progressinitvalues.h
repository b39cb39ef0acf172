#ifndef ENV_COMMON_PROGRESSINITVALUES_H
#define ENV_COMMON_PROGRESSINITVALUES_H

#include "env_export.h"

#include <QMetaType>
#include <QString>

// A status line for the host: either a typed line ("Warning: ...") or a text
// with the style sheet to show it in.
class ENV_EXPORT ProgressInitValues
{
public:
    enum Type { Plain = -1, Information = 0, Success = 1, Warning = 2, Critical = 3 };

    ProgressInitValues() = default;
    ProgressInitValues(Type type, QString const &text);
    ProgressInitValues(QString const &text, QString const &styleSheet, QString const &title);

    Type type() const { return m_type; }
    QString text() const { return m_text; }
    QString styleSheet() const { return m_styleSheet; }
    QString title() const { return m_title; }

    static void registerMetaType();

private:
    Type m_type = Plain;
    QString m_text;
    QString m_styleSheet;
    QString m_title;
};

Q_DECLARE_METATYPE(ProgressInitValues)

#endif
