#pragma once

// Conversions between byte strings and the UTF-16 of the Win32 "W" functions.

#include "settings/windows_api.h"

#include <string>
#include <string_view>

namespace vennick {

inline std::wstring toWide(std::string_view text, UINT codePage, DWORD flags = 0) {
    if (text.empty()) return {};
    const int inLength = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, flags, text.data(), inLength, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), inLength, wide.data(), length);
    return wide;
}

// `defaultChar` must be null for CP_UTF8.
inline std::string fromWide(std::wstring_view wide, UINT codePage,
                            const char* defaultChar = nullptr) {
    if (wide.empty()) return {};
    const int inLength = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(codePage, 0, wide.data(), inLength, nullptr, 0, defaultChar, nullptr);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), inLength, text.data(), length, defaultChar,
                        nullptr);
    return text;
}

inline std::wstring utf8ToWide(std::string_view utf8) {
    return toWide(utf8, CP_UTF8);
}
inline std::string wideToUtf8(std::wstring_view wide) {
    return fromWide(wide, CP_UTF8);
}

}  // namespace vennick
