#include "settings/ini_file.h"

#include "settings/cp932.h"
#include "settings/ini_file_platform.h"
#include "settings/profile_text.h"

namespace vennick {

std::string IniFile::read(std::string_view section, std::string_view key,
                          std::string_view fallback) const {
    const auto text = platform::readProfileFile(path_);
    if (!text) return std::string(fallback);
    const auto value = profile::findValue(*text, utf8ToCp932(section), utf8ToCp932(key));
    return value ? platform::loadedValue(*value) : std::string(fallback);
}

bool IniFile::write(std::string_view section, std::string_view key, std::string_view value) {
    const std::string sectionBytes = utf8ToCp932(section);
    const std::string keyBytes = utf8ToCp932(key);
    const std::string valueBytes = platform::storedValue(value);
    return platform::updateProfileFile(path_, [&](std::string_view text) {
        return profile::withValue(text, sectionBytes, keyBytes, valueBytes);
    });
}

}  // namespace vennick
