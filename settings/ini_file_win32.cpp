#include "settings/windows_api.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "settings/cp932.h"
#include "settings/ini_file_platform.h"
#include "settings/wide_text_win32.h"
#include "settings/win32_file.h"

// The INI file's bytes on Windows, through wide paths. The profile functions are not used: they
// take the path and the file's bytes through the ANSI code page, which on a Windows whose code
// page is not 932 (a European one, or the UTF-8 option) garbles Japanese folder names and the
// code page 932 values the file holds.

namespace vennick {
namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    void close() {
        if (valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// Others may read and write it meanwhile, as with the profile functions.
std::optional<std::string> readAll(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
        if (got == 0) return text;
        text.append(buffer, got);
    }
}

std::wstring directoryPart(const std::wstring& path) {
    const auto separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? L"." : path.substr(0, separator + 1);
}

// A new file beside the INI with the new content, flushed; empty when it cannot be made.
std::wstring writeTemporary(const std::wstring& path, std::string_view bytes) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring temporary = directoryPart(path) + L".~vennick-ini-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(counter++) + L".tmp";
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return {};
        }
        const bool written = win32::writeAll(file.get(), bytes) && FlushFileBuffers(file.get());
        file.close();
        if (written) return temporary;
        DeleteFileW(temporary.c_str());
        return {};
    }
    return {};
}

// For an INI that may be written but whose folder may not, or that another program keeps open:
// the old content is overwritten.
bool rewriteInPlace(const std::wstring& path, std::string_view bytes) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && win32::writeAll(file.get(), bytes) && SetEndOfFile(file.get()) &&
           FlushFileBuffers(file.get());
}

// Writes beside the file and puts the result in its place (keeping the old file's attributes
// and permissions), so a failed write leaves the old INI whole.
bool storeFile(const std::wstring& path, std::string_view bytes, bool exists) {
    const std::wstring temporary = writeTemporary(path, bytes);
    if (temporary.empty()) return exists && rewriteInPlace(path, bytes);
    const bool stored =
        exists ? ReplaceFileW(path.c_str(), temporary.c_str(), nullptr,
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE
               : MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
    if (stored) return true;
    DeleteFileW(temporary.c_str());
    return exists && rewriteInPlace(path, bytes);
}

}  // namespace

namespace platform {

// Code page 932 whatever the system's code page.
std::string storedValue(std::string_view value) {
    return utf8ToCp932(value);
}
std::string loadedValue(std::string_view bytes) {
    return cp932ToUtf8(bytes);
}

std::optional<std::string> readProfileFile(const std::string& path) {
    return readAll(utf8ToWide(path));
}

bool updateProfileFile(const std::string& path, const ProfileEdit& edit) {
    const std::wstring widePath = utf8ToWide(path);
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    // Wine running as root would write a read-only file; Windows refuses it to everybody.
    if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    std::string text;
    if (exists) {
        auto old = readAll(widePath);
        if (!old) return false;
        text = std::move(*old);
    }
    const std::optional<std::string> edited = edit(text);
    if (!edited) return true;  // nothing to change
    return storeFile(widePath, *edited, exists);
}

}  // namespace platform
}  // namespace vennick
