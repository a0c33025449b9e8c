#include "settings/ini_encoding.h"

#include <cstdint>

#include "settings/utf8.h"

namespace vennick {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";
constexpr char32_t kReplacement = 0xFFFD;

bool startsWithMark(std::string_view bytes) {
    return bytes.starts_with(kUtf8Mark) || bytes.starts_with(kUtf16LeMark) ||
           bytes.starts_with(kUtf16BeMark);
}

void appendUtf8(std::string& out, char32_t c) {
    const auto byte = [](char32_t bits) { return static_cast<char>(bits); };
    if (c < 0x80) {
        out += byte(c);
    } else if (c < 0x800) {
        out += byte(0xC0 | (c >> 6));
        out += byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += byte(0xE0 | (c >> 12));
        out += byte(0x80 | ((c >> 6) & 0x3F));
        out += byte(0x80 | (c & 0x3F));
    } else {
        out += byte(0xF0 | (c >> 18));
        out += byte(0x80 | ((c >> 12) & 0x3F));
        out += byte(0x80 | ((c >> 6) & 0x3F));
        out += byte(0x80 | (c & 0x3F));
    }
}

// The character at `i` of UTF-8 `text`, advancing `i`; U+FFFD (one byte on) when the bytes
// there are not a valid sequence.
char32_t nextUtf8(std::string_view text, std::size_t& i) {
    const std::size_t length = utf8SequenceLength(text.substr(i));
    if (length == 0) {
        ++i;
        return kReplacement;
    }
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    if (overlong || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        ++i;
        return kReplacement;
    }
    i += length;
    return c;
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    const auto unit = [&](std::size_t k) -> char32_t {
        const auto first = static_cast<unsigned char>(bytes[2 * k]);
        const auto second = static_cast<unsigned char>(bytes[2 * k + 1]);
        return static_cast<char32_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
    };
    const std::size_t units = bytes.size() / 2;
    std::string out;
    for (std::size_t k = 0; k < units; ++k) {
        const char32_t c = unit(k);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && k + 1 < units && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (unit(++k) - 0xDC00));
        } else {
            appendUtf8(out, c >= 0xD800 && c <= 0xDFFF ? kReplacement : c);
        }
    }
    if (bytes.size() % 2 != 0) appendUtf8(out, kReplacement);
    return out;
}

void appendUnit(std::string& out, char32_t unit, bool bigEndian) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
}

std::string utf8ToUtf16(std::string_view text, bool bigEndian) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = nextUtf8(text, i);
        if (c < 0x10000) {
            appendUnit(out, c, bigEndian);
        } else {
            appendUnit(out, 0xD800 + ((c - 0x10000) >> 10), bigEndian);
            appendUnit(out, 0xDC00 + ((c - 0x10000) & 0x3FF), bigEndian);
        }
    }
    return out;
}

}  // namespace

IniText decodeIniFile(std::string_view bytes) {
    if (bytes.starts_with(kUtf8Mark)) {
        return {IniEncoding::Utf8, std::string(bytes.substr(kUtf8Mark.size()))};
    }
    if (bytes.starts_with(kUtf16LeMark)) {
        return {IniEncoding::Utf16Le, utf16ToUtf8(bytes.substr(kUtf16LeMark.size()), false)};
    }
    if (bytes.starts_with(kUtf16BeMark)) {
        return {IniEncoding::Utf16Be, utf16ToUtf8(bytes.substr(kUtf16BeMark.size()), true)};
    }
    return {IniEncoding::Cp932, std::string(bytes)};
}

std::string encodeIniFile(const IniText& file) {
    switch (file.encoding) {
        case IniEncoding::Cp932:
            // Text whose first line lost its leading blanks may now start with a mark's bytes;
            // a line break before it keeps the file code page 932 when it is read again.
            return startsWithMark(file.text) ? "\r\n" + file.text : file.text;
        case IniEncoding::Utf8:
            return std::string(kUtf8Mark).append(file.text);
        case IniEncoding::Utf16Le:
            return std::string(kUtf16LeMark).append(utf8ToUtf16(file.text, false));
        case IniEncoding::Utf16Be:
            return std::string(kUtf16BeMark).append(utf8ToUtf16(file.text, true));
    }
    return file.text;
}

}  // namespace vennick
