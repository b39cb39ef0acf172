#ifndef ENV_SETTINGSKEYS_P_H
#define ENV_SETTINGSKEYS_P_H

// The keys of the settings file, each with its rule: loading and writing the
// file go through this one table, and envctl lists its settings from it. Pure
// data over the public key enumeration, so a host tool may include it too.

#include "environment.h"

namespace settingskeys
{

enum class Section { Ui, App }; // the [UI_SETTINGS] or [APP_SETTINGS] group

// How a load takes the key from the file.
enum class Read {
    Value, // the file's value as it is, else the default
    TextWhenSet, // the file's value as a text, kept only when not empty
    WhenPresent, // the file's value, kept only when the file has the key
    UpdatesPage, // never from the file: the update page of this build
    Font, // a font over the built-in one, unless fonts and colours are skipped
    Color // a colour of a known model over the built-in one, likewise
};

// The value a load takes when the file has none (Read::Value).
enum class Default {
    None, // no value (an invalid variant)
    Text, // the row's text
    SystemLocale, // the name of the system's locale
    StudioWorkDir, // the studio's work folder
    WorkPath // the work folder as loaded (WORK_DIR comes first)
};

// What a write does with the key.
enum class Write {
    Always, // the store's value as a text, an empty one too
    WhenSet, // the store's value as a text; the entry is removed when it is empty
    WhenStored, // the store's text; removed when the store has no value, left alone when empty
    Stored, // the store's font or colour, when it holds one
    Never // read only
};

struct Key {
    EnvSettingKey key;
    Section section;
    Read read;
    Write write;
    bool studioOnly; // loaded by the studio alone; other applications leave it out
    Default fallback = Default::None;
    char const *text = ""; // Default::Text
};

// A font or a colour of the user interface, as every application has them.
constexpr Key font(EnvSettingKey key)
{
    return {key, Section::Ui, Read::Font, Write::Stored, false};
}

constexpr Key color(EnvSettingKey key)
{
    return {key, Section::Ui, Read::Color, Write::Stored, false};
}

// In load order.
inline constexpr Key keys[] = {
    {LANG, Section::Ui, Read::Value, Write::Always, false, Default::SystemLocale},
    {STYLE, Section::Ui, Read::Value, Write::Always, false, Default::Text, "default"},
    font(APP_FONT),
    font(GUI_COMPONENT_NAME_FONT),
    font(GUI_CABINET_NAME_FONT),
    font(GUI_NODE_NAME_FONT),
    font(GUI_FAS_SYSTEM_NAME_FONT),
    color(APP_FONT_COLOR),
    color(GUI_COMPONENT_NAME_FONT_COLOR),
    color(GUI_CABINET_NAME_FONT_COLOR),
    color(GUI_NODE_NAME_FONT_COLOR),
    color(GUI_FAS_SYSTEM_NAME_FONT_COLOR),
    color(GUI_LE_COLLISION_COLOR),
    color(GUI_LE_SELECTED_COLOR),
    {WORK_DIR, Section::App, Read::Value, Write::WhenSet, false, Default::StudioWorkDir},
    {OPEN_RECENT_FILES, Section::App, Read::Value, Write::WhenSet, true},
    {AUTOSSAVE_TIME, Section::App, Read::Value, Write::WhenSet, true},
    {KORAX_DIARY_INPUT_DIR, Section::App, Read::Value, Write::WhenSet, true, Default::WorkPath},
    {KORAX_DIARY_OUTPUT_DIR, Section::App, Read::Value, Write::WhenSet, true, Default::WorkPath},
    {UPDATES_HTTP_URL, Section::App, Read::UpdatesPage, Write::WhenSet, true},
    {LOG_FILE, Section::App, Read::Value, Write::WhenSet, false, Default::Text, "app.log"},
    {LOG_LEVEL, Section::App, Read::Value, Write::WhenSet, false, Default::Text, "error"},
    {COMPONENT_DATA_BANK, Section::App, Read::Value, Write::WhenSet, false, Default::Text, "FileDataBank"},
    {UPDATES_HTTP_URL_TEST, Section::App, Read::TextWhenSet, Write::WhenSet, false},
    {UPDATES_LOCAL_DIR, Section::App, Read::TextWhenSet, Write::WhenSet, false},
    {SECURE_ARG_2001, Section::App, Read::TextWhenSet, Write::Never, false},
    {PRESENTATION_MODE, Section::App, Read::TextWhenSet, Write::WhenSet, false},
    {APP_VERSION, Section::App, Read::Value, Write::WhenSet, false, Default::Text, ""},
    {APP_MODE, Section::App, Read::WhenPresent, Write::WhenStored, false},
};

} // namespace settingskeys

#endif
