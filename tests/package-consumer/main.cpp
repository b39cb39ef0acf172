#include <commonfunc.h>
#include <environment.h>
#include <updater.h>

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Environment *env = Environment::instance();
    const QString name = EnvSettingKeyEnumClass::idName(AUTOSSAVE_TIME);
    const auto filters = env->selectFileExtFilters(Environment::PROJ_FILE | Environment::CSV_FILE);
    Updater updater(Environment::MODE_DEFAULT);
    std::printf("%s %d %s\n", qPrintable(name), int(filters.size()), qPrintable(updater.getCurrentVersionString()));
    return name == QLatin1String("AUTOSSAVE_TIME") && filters.size() == 2 ? 0 : 1;
}
