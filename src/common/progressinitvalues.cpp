#include "progressinitvalues.h"

ProgressInitValues::ProgressInitValues(Type type, QString const &text)
    : m_type(type)
    , m_text(text)
{
}

ProgressInitValues::ProgressInitValues(QString const &text, QString const &styleSheet, QString const &title)
    : m_text(text)
    , m_styleSheet(styleSheet)
    , m_title(title)
{
}

void ProgressInitValues::registerMetaType()
{
    qRegisterMetaType<ProgressInitValues>("ProgressInitValues");
}

namespace
{
// Queued connections need the type registered before the first emit.
const int registered = (ProgressInitValues::registerMetaType(), 0);
} // namespace
