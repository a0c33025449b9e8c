#pragma once

#include <string>
#include <string_view>

namespace vennick {

// Files the program reads and writes (INI, log files) hold code page 932 bytes on every OS;
// inside the program text is UTF-8.

// A character code page 932 cannot hold becomes "?"; the rest of the text is kept.
std::string utf8ToCp932(std::string_view utf8);

// Bytes that are not valid code page 932 become "?".
std::string cp932ToUtf8(std::string_view cp932);

}  // namespace vennick
