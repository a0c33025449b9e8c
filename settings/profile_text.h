#pragma once

#include <optional>
#include <string>
#include <string_view>

// The private profile (INI) format as the Windows profile functions read and write it (as Wine
// implements them), on the raw code page 932 bytes of the file: section and key names matched
// case-insensitively, white space around names and values ignored, a value in matching quotes
// read without them. A write that changes a value gives the whole file in their form: blank
// lines dropped, white space around names, "=" and values removed, every line ended by CR LF.
// Names and values are in the text's own encoding: code page 932 bytes, or UTF-8 for a file that
// carried a byte order mark (settings/ini_encoding.h).
namespace vennick::profile {

enum class Charset { Cp932, Utf8 };

// The value of `key` in the first section named `section`, cut to its first 2047 bytes (the
// profile reader's 2048-byte buffer) without splitting a character; nothing when the key is
// missing.
std::optional<std::string> findValue(std::string_view text, std::string_view section,
                                     std::string_view key, Charset charset = Charset::Cp932);

// The file's text with the key set (the value without leading white space); a new key goes to
// the end of its section, a new section to the end of the file. Nothing when the file holds the
// value already, so that it can be left alone.
std::optional<std::string> withValue(std::string_view text, std::string_view section,
                                     std::string_view key, std::string_view value,
                                     Charset charset = Charset::Cp932);

}  // namespace vennick::profile
