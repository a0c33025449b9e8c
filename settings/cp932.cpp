#include "settings/cp932.h"

#include <algorithm>

#include "settings/cp932_platform.h"

namespace vennick {
namespace {

// Received lines are ASCII, which reads the same in both encodings ("\" and "~" included in
// code page 932's Microsoft table): they skip the converter.
bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string utf8ToCp932(std::string_view utf8) {
    return isAscii(utf8) ? std::string(utf8) : platform::utf8ToCp932(utf8);
}

std::string cp932ToUtf8(std::string_view cp932) {
    return isAscii(cp932) ? std::string(cp932) : platform::cp932ToUtf8(cp932);
}

}  // namespace vennick
