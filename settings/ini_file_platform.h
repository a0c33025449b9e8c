#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The per-OS parts behind IniFile; the format itself is settings/profile_text.h.
namespace vennick::platform {

// The bytes a value (UTF-8) is stored as in the file, and the value stored bytes read as.
std::string storedValue(std::string_view value);
std::string loadedValue(std::string_view bytes);

// The bytes of the regular file at `path` (UTF-8); nothing when there is none or it cannot be
// read.
std::optional<std::string> readProfileFile(const std::string& path);

// What an edit makes of the file's bytes; nothing when the file is to stay as it is.
using ProfileEdit = std::function<std::optional<std::string>(std::string_view)>;

// Gives `edit` the file's bytes (empty when there is no file yet) and stores what it returns,
// so that a failure leaves the old file whole where the system allows. False when the file may
// not be written (read-only file or folder, a directory at the path, a missing folder).
bool updateProfileFile(const std::string& path, const ProfileEdit& edit);

}  // namespace vennick::platform
