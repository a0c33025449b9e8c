#include "settings/ini_file.h"

#include "settings/cp932.h"
#include "settings/ini_encoding.h"
#include "settings/ini_file_platform.h"
#include "settings/profile_text.h"

namespace vennick {
namespace {

// A file with a byte order mark holds UTF-8 (or UTF-16, decoded to UTF-8) text, which is the
// program's own: names and values go in and come out as they are.
bool hasMark(const IniText& file) {
    return file.encoding != IniEncoding::Cp932;
}

}  // namespace

std::string IniFile::read(std::string_view section, std::string_view key,
                          std::string_view fallback) const {
    const auto bytes = platform::readProfileFile(path_);
    if (!bytes) return std::string(fallback);
    const IniText file = decodeIniFile(*bytes);
    if (hasMark(file)) {
        const auto value = profile::findValue(file.text, section, key, profile::Charset::Utf8);
        return value ? *value : std::string(fallback);
    }
    const auto value = profile::findValue(file.text, utf8ToCp932(section), utf8ToCp932(key));
    return value ? platform::loadedValue(*value) : std::string(fallback);
}

// The file is written back in the encoding it was read in; a new file is code page 932.
bool IniFile::write(std::string_view section, std::string_view key, std::string_view value) {
    return platform::updateProfileFile(path_, [&](std::string_view bytes) {
        IniText file = decodeIniFile(bytes);
        const auto edited =
            hasMark(file)
                ? profile::withValue(file.text, section, key, value, profile::Charset::Utf8)
                : profile::withValue(file.text, utf8ToCp932(section), utf8ToCp932(key),
                                     platform::storedValue(value));
        if (!edited) return std::optional<std::string>();
        file.text = *edited;
        return std::optional<std::string>(encodeIniFile(file));
    });
}

}  // namespace vennick
