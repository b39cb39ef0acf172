#include "commands.h"

#include "demo.h"
#include "release.h"
#include "terminal.h"
#include "updatesession.h"

#include <environment.h>
#include <settingskeys_p.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <cstdio>

namespace envctl
{
namespace
{

struct FileKind {
    const char *name;
    Environment::FileType type;
};

const FileKind fileKinds[] = {
    {"project", Environment::PROJ_FILE},
    {"json-project", Environment::JSON_PROJ_FILE},
    {"korax-log", Environment::KORAX_LOG_FILE},
    {"korax-alarm-log", Environment::KORAX_ALARM_LOG_FILE},
    {"krx", Environment::KRX_CONFIG_FILE},
    {"csv", Environment::CSV_FILE},
    {"txt", Environment::TXT_FILE},
    {"pdf", Environment::PDF_FILE},
    {"xml", Environment::XML_FILE},
    {"table", Environment::TABLE_FILE},
    {"html", Environment::HTML_FILE},
    {"excel", Environment::EXCEL_FILE},
    {"mirta-xml", Environment::MIRTA_XML_FILE},
    {"teslo-log", Environment::TLK_DIARY_FILE},
    {"librecalc", Environment::LIBRECALC_FILE},
    {"orla-export", Environment::ORLA_EXPORT_FILE},
};

// The settings a person may read and change: the keys of the library's table
// that it writes to the file (not the enciphered deployment keys).
QList<EnvSettingKey> settingKeys()
{
    QList<EnvSettingKey> keys;
    for (settingskeys::Key const &row : settingskeys::keys) {
        if (row.write != settingskeys::Write::Never)
            keys.append(row.key);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool readAs(EnvSettingKey key, settingskeys::Read read)
{
    return std::any_of(std::begin(settingskeys::keys), std::end(settingskeys::keys),
        [&](settingskeys::Key const &row) { return row.key == key && row.read == read; });
}

bool isFontKey(EnvSettingKey key)
{
    return readAs(key, settingskeys::Read::Font);
}

bool isColorKey(EnvSettingKey key)
{
    return readAs(key, settingskeys::Read::Color);
}

bool keyByName(QString const &name, EnvSettingKey *key)
{
    for (EnvSettingKey candidate : settingKeys()) {
        if (EnvSettingKeyEnumClass::idName(candidate).compare(name, Qt::CaseInsensitive) == 0) {
            *key = candidate;
            return true;
        }
    }
    return false;
}

QString describeFont(QFont const &font)
{
    QString text = QStringLiteral("%1, %2 px").arg(font.family()).arg(font.pixelSize());
    if (font.bold())
        text += QStringLiteral(", bold");
    if (font.italic())
        text += QStringLiteral(", italic");
    return text;
}

QString describeColor(QColor const &color)
{
    if (!color.isValid())
        return QStringLiteral("(invalid)");
    return QStringLiteral("%1 (r %2, g %3, b %4, a %5)")
        .arg(color.name(QColor::HexArgb))
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alpha());
}

QString describeSetting(Environment *env, EnvSettingKey key)
{
    if (isFontKey(key))
        return describeFont(env->getUiFont(key));
    if (isColorKey(key))
        return describeColor(env->getUiColor(key));
    const QVariant value = env->getSetting(key, QVariant::String);
    if (!value.isValid())
        return QStringLiteral("(not set)");
    return value.toString();
}

// "Family, 12, bold, italic": a font as a person writes it.
bool parseFont(QString const &text, QFont *font)
{
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    bool ok = true;
    const int size = parts.value(1, QStringLiteral("11")).trimmed().toInt(&ok);
    if (!ok || size <= 0)
        return false;
    const bool bold = parts.mid(2).contains(QStringLiteral(" bold")) || parts.mid(2).contains(QStringLiteral("bold"));
    const bool italic
        = parts.mid(2).contains(QStringLiteral(" italic")) || parts.mid(2).contains(QStringLiteral("italic"));
    *font = Environment::getProperFont(parts.first().trimmed(), size, bold, italic);
    return true;
}

// The library logs a settings file it could not write as a warning that starts
// with "Cannot write settings file:"; the commands that write watch for it.
QStringList *settingsWriteFailures = nullptr;
QtMessageHandler handlerBeforeWrite = nullptr;

void watchSettingsWrite(QtMsgType type, QMessageLogContext const &context, QString const &message)
{
    if (settingsWriteFailures && type != QtDebugMsg && type != QtInfoMsg
        && message.startsWith(QLatin1String("Cannot write settings file:")))
        settingsWriteFailures->append(message);
    if (handlerBeforeWrite)
        handlerBeforeWrite(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// Writes the settings; the library's report when the file was not written.
QString writeSettings(Environment *env)
{
    QStringList failures;
    settingsWriteFailures = &failures;
    handlerBeforeWrite = qInstallMessageHandler(watchSettingsWrite);
    env->writeSettings();
    qInstallMessageHandler(handlerBeforeWrite);
    settingsWriteFailures = nullptr;
    return failures.value(0);
}

int settingsCommand(Terminal &terminal, QStringList const &args)
{
    Environment *env = Environment::instance();
    const QString action = args.value(0);
    if (action == QLatin1String("list") && args.size() == 1) {
        terminal.out(QStringLiteral("# %1").arg(env->getConfigPath() + QStringLiteral("/uiconfig.ini")));
        for (EnvSettingKey key : settingKeys())
            terminal.out(QStringLiteral("%1 = %2").arg(EnvSettingKeyEnumClass::idName(key), describeSetting(env, key)));
        return ExitOk;
    }
    EnvSettingKey key = NONE;
    if ((action == QLatin1String("get") && args.size() == 2) || (action == QLatin1String("unset") && args.size() == 2)
        || (action == QLatin1String("set") && args.size() == 3)) {
        if (!keyByName(args.at(1), &key)) {
            terminal.err(QStringLiteral("envctl: unknown setting %1").arg(args.at(1)));
            return ExitUsage;
        }
    } else {
        terminal.err(QStringLiteral("usage: envctl settings list | get NAME | set NAME VALUE | unset NAME"));
        return ExitUsage;
    }

    if (action == QLatin1String("get")) {
        terminal.out(describeSetting(env, key));
        return ExitOk;
    }
    if (action == QLatin1String("set")) {
        const QString value = args.at(2);
        if (isFontKey(key)) {
            QFont font;
            if (!parseFont(value, &font)) {
                terminal.err(QStringLiteral("envctl: a font is written as \"Family, pixels[, bold][, italic]\""));
                return ExitUsage;
            }
            env->setUiFont(key, font);
        } else if (isColorKey(key)) {
            const QColor color(value);
            if (!color.isValid()) {
                terminal.err(QStringLiteral("envctl: %1 is not a colour (try #rrggbb or a name)").arg(value));
                return ExitUsage;
            }
            env->setUiColor(key, color);
        } else {
            env->setSetting(key, value);
        }
    } else {
        env->removeSetting(key);
    }
    const QString failure = writeSettings(env);
    if (!failure.isEmpty()) {
        terminal.err(QStringLiteral("envctl: %1 was not saved: %2").arg(EnvSettingKeyEnumClass::idName(key), failure));
        return ExitError;
    }
    terminal.out(QStringLiteral("%1 = %2").arg(EnvSettingKeyEnumClass::idName(key), describeSetting(env, key)));
    return ExitOk;
}

int infoCommand(Terminal &terminal)
{
    Environment *env = Environment::instance();
    auto row = [&](QString const &label, QString const &value) {
        terminal.out(QStringLiteral("%1 %2").arg(label + QLatin1Char(':'), -22).arg(value));
    };
    row(QStringLiteral("product version"), env->getAppVersion().toString());
    static const char *const modeNames[]
        = {"default", "server updates", "local updates", "local updates (alt)", "local configuration"};
    const int mode = env->getAppMode();
    row(QStringLiteral("application mode"),
        QStringLiteral("%1 (%2)").arg(mode).arg(QLatin1String(mode >= 0 && mode <= 4 ? modeNames[mode] : "other")));
    row(QStringLiteral("application folder"), env->getRootAppPath());
    row(QStringLiteral("configuration folder"), env->getConfigPath());
    row(QStringLiteral("settings file"), env->getConfigPath() + QStringLiteral("/uiconfig.ini"));
    row(QStringLiteral("log folder"), env->getLogPath());
    row(QStringLiteral("translations folder"), env->getTranslationsPath());
    row(QStringLiteral("work folder"), env->getWorkPath());
    row(QStringLiteral("project folder"), env->getProjectDir());
    row(QStringLiteral("price lists folder"), env->getPriceListDir());
    row(QStringLiteral("temporary folder"), env->getTempPath(QString()));
    row(QStringLiteral("language"), env->getSetting(LANG, QVariant::String).toString());
    row(QStringLiteral("supported locales"), env->getSupportedLocalesNames().join(QLatin1Char(' ')));
    const QString publicKey = QStringLiteral(ENVCTL_UPDATE_PUBLIC_KEY);
    const QString hostKey = QStringLiteral(ENVCTL_UPDATE_HOST_KEY);
    row(QStringLiteral("release signatures"),
        publicKey.isEmpty() ? QStringLiteral("not required") : QStringLiteral("required (key %1)").arg(publicKey));
    row(QStringLiteral("update server key"),
        hostKey.isEmpty() ? QStringLiteral("not pinned (known-hosts file)")
                          : QStringLiteral("pinned to %1").arg(hostKey));
    return ExitOk;
}

int languageCommand(Terminal &terminal, QStringList const &args)
{
    if (args.size() != 1) {
        terminal.err(QStringLiteral("usage: envctl language LOCALE (for example de_DE)"));
        return ExitUsage;
    }
    Environment *env = Environment::instance();
    const QLocale locale(args.first());
    if (locale.language() == QLocale::C && args.first() != QLatin1String("C")) {
        terminal.err(
            QStringLiteral("envctl: unknown locale %1 (a locale name is written like de_DE)").arg(args.first()));
        return ExitUsage;
    }
    if (!env->switchLanguage(locale)) {
        terminal.err(
            QStringLiteral("envctl: no translation for %1 in %2").arg(locale.name(), env->getTranslationsPath()));
        return ExitError;
    }
    env->writeSettings();
    terminal.out(QStringLiteral("language switched to %1").arg(locale.name()));
    return ExitOk;
}

int filtersCommand(Terminal &terminal, QStringList const &args)
{
    Environment *env = Environment::instance();
    if (args.isEmpty()) {
        for (FileKind const &kind : fileKinds)
            terminal.out(
                QStringLiteral("%1 %2").arg(QLatin1String(kind.name), -16).arg(env->getFileExtFilterName(kind.type)));
        return ExitOk;
    }
    Environment::FileTypes types;
    for (QString const &name : args) {
        auto it = std::find_if(std::begin(fileKinds), std::end(fileKinds),
            [&](FileKind const &kind) { return name == QLatin1String(kind.name); });
        if (it == std::end(fileKinds)) {
            terminal.err(QStringLiteral("envctl: unknown file kind %1").arg(name));
            return ExitUsage;
        }
        types |= it->type;
    }
    terminal.out(env->selectFileExtFilters(types).join(QStringLiteral(";;")));
    return ExitOk;
}

bool modeFromName(QString const &name, Environment::AppMode *mode)
{
    if (name == QLatin1String("server"))
        *mode = Environment::MODE_SERVER_UPDATES;
    else if (name == QLatin1String("local"))
        *mode = Environment::MODE_LOCAL_UPDATES;
    else if (name == QLatin1String("local-alt"))
        *mode = Environment::MODE_LOCAL_UPDATES_ALT;
    else
        return false;
    return true;
}

} // namespace

int run(QStringList const &arguments)
{
    // The publisher's commands have options of their own (--version among
    // them) and need no environment.
    if (arguments.value(1) == QLatin1String("release")) {
        Terminal terminal(false);
        return releaseCommand(terminal, arguments.mid(2));
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Run-time environment and self-updater of the VARDO applications.\n\n"
                       "Commands:\n"
                       "  info                          versions, folders, language\n"
                       "  settings list|get|set|unset   the settings file\n"
                       "  language LOCALE               switch the language\n"
                       "  filters [KIND...]             file dialog filters\n"
                       "  check                         look for a newer version\n"
                       "  update                        look for, download and install a newer version\n"
                       "  demo                          a complete update cycle on demo data\n"
                       "  release keygen|sign|manifest|verify   sign releases (envctl release for usage)"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption modeOption(
        QStringLiteral("mode"), QStringLiteral("Update source: server, local or local-alt."), QStringLiteral("mode"));
    const QCommandLineOption dirOption(
        QStringLiteral("dir"), QStringLiteral("Update folder (local modes)."), QStringLiteral("path"));
    const QCommandLineOption ignoreCurrentOption(
        QStringLiteral("ignore-current"), QStringLiteral("Take any offered version, whatever runs now."));
    const QCommandLineOption latestOption(
        QStringLiteral("latest-release"), QStringLiteral("Install the latest final release from the server."));
    const QCommandLineOption yesOption(
        QStringList{QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("Answer yes to every question."));
    const QCommandLineOption sftpOption(
        QStringLiteral("sftp"), QStringLiteral("demo: use the test SFTP server instead of a folder."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Write the library's log to standard error."));
    parser.addOptions({modeOption, dirOption, ignoreCurrentOption, latestOption, yesOption, sftpOption, verboseOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do (see above)."));

    Terminal usage(false);
    if (!parser.parse(arguments)) {
        usage.err(QStringLiteral("envctl: %1").arg(parser.errorText()));
        usage.err(QStringLiteral("usage: envctl [options] command [arguments] (envctl --help)"));
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        usage.out(parser.helpText());
        return ExitOk;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        usage.out(QStringLiteral("envctl %1").arg(QCoreApplication::applicationVersion()));
        return ExitOk;
    }
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        usage.err(QStringLiteral("usage: envctl [options] command [arguments] (envctl --help)"));
        return ExitUsage;
    }
    const QString command = positional.takeFirst();

    Environment::AppMode mode = Environment::MODE_DEFAULT;
    if (parser.isSet(modeOption) && !modeFromName(parser.value(modeOption), &mode)) {
        usage.err(QStringLiteral("envctl: unknown mode %1 (--mode takes server, local or local-alt)")
                      .arg(parser.value(modeOption)));
        return ExitUsage;
    }

    Terminal terminal(parser.isSet(yesOption));
    Environment *env = Environment::instance();
    // The library logs to the per-user log file unless asked for the console.
    const bool logToFile = !parser.isSet(verboseOption);
    env->setupEnvironmentVariables(Environment::APP_STUDIO, false, logToFile, false, true, true);
    const QString language = env->getSetting(LANG, QVariant::String).toString();
    if (!language.isEmpty() && command != QLatin1String("language"))
        env->switchLanguage(QLocale(language));

    if ((command == QLatin1String("info") || command == QLatin1String("demo")) && !positional.isEmpty()) {
        usage.err(QStringLiteral("usage: envctl %1%2 (takes no arguments)")
                      .arg(command, command == QLatin1String("demo") ? QStringLiteral(" [--sftp]") : QString()));
        return ExitUsage;
    }
    if (command == QLatin1String("info"))
        return infoCommand(terminal);
    if (command == QLatin1String("settings"))
        return settingsCommand(terminal, positional);
    if (command == QLatin1String("language"))
        return languageCommand(terminal, positional);
    if (command == QLatin1String("filters"))
        return filtersCommand(terminal, positional);
    if (command == QLatin1String("demo"))
        return runDemo(terminal, parser.isSet(sftpOption));
    if (command == QLatin1String("check") || command == QLatin1String("update")) {
        if (!positional.isEmpty()) {
            usage.err(
                QStringLiteral("usage: envctl %1 [--mode M] [--dir PATH] [--ignore-current] [--yes]").arg(command));
            return ExitUsage;
        }
        if (parser.isSet(dirOption))
            env->setSetting(UPDATES_LOCAL_DIR, QDir(parser.value(dirOption)).absolutePath());
        if (mode == Environment::MODE_DEFAULT) {
            // As an application does: the mode it was installed with, else a folder when one is named.
            const int stored = env->getSetting(APP_MODE, QVariant::String).toInt();
            if (stored >= Environment::MODE_SERVER_UPDATES && stored <= Environment::MODE_LOCAL_UPDATES_ALT)
                mode = Environment::AppMode(stored);
            else if (!env->getSetting(UPDATES_LOCAL_DIR, QVariant::String).toString().isEmpty())
                mode = Environment::MODE_LOCAL_UPDATES;
            else
                mode = Environment::MODE_SERVER_UPDATES;
        }
        env->setAppMode(mode);
        const auto kind
            = command == QLatin1String("check") ? UpdateSession::Kind::CheckOnly : UpdateSession::Kind::Update;
        UpdateSession session(mode, kind, terminal);
        if (parser.isSet(latestOption))
            return session.runLastRelease(false);
        return session.run(parser.isSet(ignoreCurrentOption));
    }
    usage.err(QStringLiteral("envctl: unknown command %1 (envctl --help)").arg(command));
    return ExitUsage;
}

} // namespace envctl
