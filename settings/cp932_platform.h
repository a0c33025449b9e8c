#pragma once

#include <string>
#include <string_view>

// The per-OS converters behind cp932.h, for text that is not plain ASCII.
namespace vennick::platform {

std::string utf8ToCp932(std::string_view utf8);
std::string cp932ToUtf8(std::string_view cp932);

}  // namespace vennick::platform
