#include "base/config_file.h"
#include "base/settings.h"

namespace corvane {

Settings config_load() {
    Settings settings = settings_defaults();
    config_load_file([&settings](const IniTable& table) { config_parse(settings, table); },
                     settings.warnings);
    return settings;
}

}  // namespace corvane
