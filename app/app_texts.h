#pragma once

#include <string>

namespace vennick {

// The caption of every message box: the executable's file name without its directory, cut at
// its first ".", every character after the first in lower case ("VENNICK.EXE" -> "Vennick").
std::string applicationTitle(const std::string& executablePath);

// The error box's text: "." is appended when the message is not empty and its last character
// (a double-byte character counting as one) sorts above "." in code page 932 byte order, as every
// Japanese character does.
std::string errorBoxText(const std::string& message);

}  // namespace vennick
