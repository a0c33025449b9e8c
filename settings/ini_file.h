#pragma once

#include <string>
#include <string_view>

namespace vennick {

// A Windows private profile (INI) file, opened for each read or write and released at once.
// One reader/writer on every OS that behaves like the Windows profile functions (see
// settings/profile_text.h): section and key names matched case-insensitively, white space around
// names and values ignored, a value in matching quotes read without them, a written key
// replacing only its own line, everything else kept, CR LF line ends, code page 932 on disk
// whatever the system's code page. A file an editor saved with a byte order mark (UTF-8, UTF-16)
// is read in that encoding and written back in it. Texts are UTF-8.
class IniFile {
public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // The value, cut to its first 2047 bytes (on disk); `fallback` when the key is missing.
    std::string read(std::string_view section, std::string_view key,
                     std::string_view fallback) const;

    // False when the platform refuses the write (read-only file or folder, for instance).
    bool write(std::string_view section, std::string_view key, std::string_view value);

private:
    std::string path_;
};

}  // namespace vennick
