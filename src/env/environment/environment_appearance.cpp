#include "environment.h"

#include <QFontDatabase>
#include <QGuiApplication>

namespace
{

// QFontDatabase aborts the process when there is no QGuiApplication; a host
// that runs with a plain QCoreApplication (a command-line tool, a test) still
// gets a usable font object.
bool fontDatabaseAvailable()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

} // namespace

QFont Environment::getProperFont(QString const &family, int pixelSize, bool bold, bool italic)
{
    QFont font;
    bool found = false;
    if (fontDatabaseAvailable()) {
        QFontDatabase database;
        const QStringList installed = database.families();
        const QStringList candidates{family, QStringLiteral("Tahoma"), QStringLiteral("Helvetica"),
            QStringLiteral("MS Shell Dlg 2"), QStringLiteral("Verdana"), QStringLiteral("Arial"),
            QStringLiteral("MS Sans Serif")};
        const QString style = bold ? QStringLiteral("Bold") : QStringLiteral("Normal");
        for (QString const &candidate : candidates) {
            if (installed.contains(candidate, Qt::CaseSensitive)) {
                font = database.font(candidate, style, pixelSize);
                found = true;
                break;
            }
        }
        if (!found)
            font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    }

    // The database takes the size as points; the applications draw in pixels.
    font.setPixelSize(pixelSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setItalic(italic);
    return font;
}

void Environment::setDefaultFonts(QHash<EnvSettingKey, QFont> *fonts, QHash<EnvSettingKey, QColor> *colors)
{
    if (fonts) {
        fonts->insert(APP_FONT, getProperFont(QStringLiteral("MS Shell Dlg 2"), 11, false, false));
        fonts->insert(GUI_COMPONENT_NAME_FONT, getProperFont(QStringLiteral("Calibri"), 11, false, false));
        fonts->insert(GUI_CABINET_NAME_FONT, getProperFont(QStringLiteral("Calibri"), 18, true, false));
        fonts->insert(GUI_NODE_NAME_FONT, getProperFont(QStringLiteral("Calibri"), 15, true, false));
        fonts->insert(GUI_FAS_SYSTEM_NAME_FONT, getProperFont(QStringLiteral("Calibri"), 15, true, false));
    }
    if (colors) {
        colors->insert(APP_FONT_COLOR, QColor(Qt::black));
        colors->insert(GUI_COMPONENT_NAME_FONT_COLOR, QColor(Qt::black));
        colors->insert(GUI_CABINET_NAME_FONT_COLOR, QColor(210, 210, 210, 255));
        colors->insert(GUI_NODE_NAME_FONT_COLOR, QColor(Qt::black));
        colors->insert(GUI_FAS_SYSTEM_NAME_FONT_COLOR, QColor(Qt::black));
    }
}

void Environment::setDefaultColors(QHash<EnvSettingKey, QColor> *colors)
{
    if (!colors)
        return;
    colors->insert(GUI_LE_SELECTED_COLOR, QColor(255, 210, 0, 255));
    colors->insert(GUI_LE_COLLISION_COLOR, QColor(0, 20, 200, 255));
}

void Environment::setUiFont(EnvSettingKey key, QFont const &font)
{
    m_uiFonts.insert(key, font);
}

QFont &Environment::getUiFont(EnvSettingKey key)
{
    return m_uiFonts[key];
}

void Environment::setUiColor(EnvSettingKey key, QColor const &color)
{
    m_uiColors.insert(key, color);
}

QColor &Environment::getUiColor(EnvSettingKey key)
{
    return m_uiColors[key];
}
