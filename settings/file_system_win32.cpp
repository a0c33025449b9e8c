#include "settings/windows_api.h"

#include <string>

#include "settings/file_system.h"
#include "settings/wide_text_win32.h"

namespace vennick {

char pathSeparator() {
    return '\\';
}

std::string executablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return {};
        if (length < size) {
            buffer.resize(length);
            return wideToUtf8(buffer);
        }
        buffer.resize(buffer.size() * 2);  // the name was cut to fit
    }
}

bool directoryExists(const std::string& path) {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(utf8ToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool createDirectory(const std::string& path) {
    return !path.empty() && CreateDirectoryW(utf8ToWide(path).c_str(), nullptr) != 0;
}

}  // namespace vennick
