#include <windows.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "settings/cp932.h"
#include "settings/ini_file.h"
#include "settings/wide_text_win32.h"

namespace vennick {
namespace {

// The "A" profile functions take file names in the ANSI code page (932 on the Japanese systems
// the tool runs on) and keys and values as the code page 932 bytes the file holds.
std::string ansiPath(const std::string& utf8Path) {
    return fromWide(utf8ToWide(utf8Path), CP_ACP, "?");
}

bool isLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool isTrailByte(unsigned char c) {
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// A value cut at the buffer's end may end in the first byte of a double-byte character.
std::string_view withoutSplitCharacter(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size()) {
        if (!isLeadByte(static_cast<unsigned char>(value[i]))) {
            ++i;
        } else if (i + 1 == value.size()) {
            return value.substr(0, i);
        } else {
            i += isTrailByte(static_cast<unsigned char>(value[i + 1])) ? 2 : 1;
        }
    }
    return value;
}

}  // namespace

std::string IniFile::read(std::string_view section, std::string_view key,
                          std::string_view fallback) const {
    const std::string sectionBytes = utf8ToCp932(section);
    const std::string keyBytes = utf8ToCp932(key);
    const std::string fallbackBytes = utf8ToCp932(fallback);
    std::array<char, 2048> buffer{};
    const DWORD length = GetPrivateProfileStringA(
        sectionBytes.c_str(), keyBytes.c_str(), fallbackBytes.c_str(), buffer.data(),
        static_cast<DWORD>(buffer.size()), ansiPath(path_).c_str());
    // Some implementations count a terminating zero in a cut value.
    std::string_view value(buffer.data(), strnlen(buffer.data(), length));
    if (length + 1 >= buffer.size()) value = withoutSplitCharacter(value);
    return cp932ToUtf8(value);
}

bool IniFile::write(std::string_view section, std::string_view key, std::string_view value) {
    // Windows refuses a file with the read-only attribute to everybody; Wine running as root
    // would write it anyway.
    const DWORD attributes = GetFileAttributesW(utf8ToWide(path_).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return false;
    }
    return WritePrivateProfileStringA(utf8ToCp932(section).c_str(), utf8ToCp932(key).c_str(),
                                      utf8ToCp932(value).c_str(), ansiPath(path_).c_str()) != FALSE;
}

}  // namespace vennick
