#include "settings/windows_api.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "settings/cp932_platform.h"
#include "settings/wide_text_win32.h"

namespace vennick {
namespace {

constexpr UINT kCp932 = 932;

bool isHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Code page 932 holds nothing outside the basic plane: one "?" per character, not one per
// UTF-16 half as WideCharToMultiByte would give.
std::wstring withoutSurrogates(std::wstring_view wide) {
    std::wstring out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const wchar_t c = wide[i];
        if (isHighSurrogate(c) || isLowSurrogate(c)) {
            if (isHighSurrogate(c) && i + 1 < wide.size() && isLowSurrogate(wide[i + 1])) ++i;
            out += L'?';
        } else {
            out += c;
        }
    }
    return out;
}

// One character of code page 932 (one or two bytes), or empty when the bytes are not one.
std::wstring strictCp932(std::string_view bytes) {
    return toWide(bytes, kCp932, MB_ERR_INVALID_CHARS);
}

// Slow path for text holding invalid bytes: character by character, "?" for each bad byte.
std::wstring cp932ToWideLenient(std::string_view cp932) {
    std::wstring out;
    std::size_t i = 0;
    while (i < cp932.size()) {
        const auto byte = static_cast<BYTE>(cp932[i]);
        const std::size_t length = IsDBCSLeadByteEx(kCp932, byte) ? 2 : 1;
        std::wstring unit;
        if (i + length <= cp932.size()) unit = strictCp932(cp932.substr(i, length));
        if (unit.empty()) {
            out += L'?';
            ++i;
        } else {
            out += unit;
            i += length;
        }
    }
    return out;
}

}  // namespace

namespace platform {

std::string utf8ToCp932(std::string_view utf8) {
    // Malformed UTF-8 arrives as U+FFFD, which code page 932 cannot hold either.
    return fromWide(withoutSurrogates(utf8ToWide(utf8)), kCp932, "?");
}

std::string cp932ToUtf8(std::string_view cp932) {
    if (cp932.empty()) return {};
    std::wstring wide = strictCp932(cp932);
    if (wide.empty()) wide = cp932ToWideLenient(cp932);
    return wideToUtf8(wide);
}

}  // namespace platform
}  // namespace vennick
