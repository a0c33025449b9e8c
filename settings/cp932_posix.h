#pragma once

#include <optional>
#include <string>
#include <string_view>

// Exact conversions for the POSIX INI file, where a path must come back byte for byte.
namespace vennick {

// The text of valid code page 932 bytes; nothing when any byte sequence is not valid.
std::optional<std::string> cp932ToUtf8Exactly(std::string_view cp932);

// The code page 932 bytes of a UTF-8 text that reads back as the same text; nothing when the
// text is not UTF-8, holds a character code page 932 lacks, or one it folds into another
// ("〜" and "～" share 0x8160).
std::optional<std::string> utf8ToCp932Exactly(std::string_view utf8);

}  // namespace vennick
