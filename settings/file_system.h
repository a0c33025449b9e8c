#pragma once

#include <string>

namespace vennick {

// Separator of the platform's paths: "\" on Windows, "/" elsewhere.
char pathSeparator();

// The running executable's full path (UTF-8); on Linux from /proc/self/exe.
std::string executablePath();

// Directory part of a path, with its trailing separator ("C:\Tools\" for "C:\Tools\x.exe").
std::string directoryOf(const std::string& path);

// The path with the extension of its file name replaced by `extension` (".INI"), or with
// `extension` appended when the name has none.
std::string withExtension(const std::string& path, const std::string& extension);

// The settings file of an executable: its extension replaced by ".INI", or ".INI" appended.
std::string iniPathFor(const std::string& executable);

bool directoryExists(const std::string& path);

// Creates one directory level (no parents). True when it was created.
bool createDirectory(const std::string& path);

// Whether this process can create and remove a file in the directory. A directory without any
// write permission bit counts as read-only even for root, as a read-only INI does.
bool directoryWritable(const std::string& path);

}  // namespace vennick
