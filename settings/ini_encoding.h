#pragma once

#include <string>
#include <string_view>

namespace vennick {

// How an INI file's text is encoded. A byte order mark at the very start of the file says it
// (an editor such as Notepad saves "UTF-8" with EF BB BF and "Unicode" as UTF-16 LE with FF FE);
// without one the file is code page 932, the profile functions' own form.
enum class IniEncoding { Cp932, Utf8, Utf16Le, Utf16Be };

struct IniText {
    IniEncoding encoding = IniEncoding::Cp932;
    // Code page 932 bytes in a file without a mark, else UTF-8; without the mark.
    std::string text;
};

// A mark only counts at the start of the file: within a code page 932 file a value may begin
// with EF BB BF (see the POSIX INI file), which says nothing about the file.
IniText decodeIniFile(std::string_view bytes);

// The file's bytes for `text`, in its encoding and with its mark. UTF-8 that is not valid
// becomes U+FFFD in a UTF-16 file.
std::string encodeIniFile(const IniText& text);

}  // namespace vennick
