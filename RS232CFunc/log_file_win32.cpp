#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <string>

#include "RS232CFunc/log_writer.h"

namespace vennick {
namespace {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int length = static_cast<int>(utf8.size());
    const int wideLength = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (wideLength <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), wideLength);
    return wide;
}

bool writeAll(HANDLE file, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

// Cuts an existing file back to the size it had before this write.
void cutBack(HANDLE file, LARGE_INTEGER originalSize) {
    if (::SetFilePointerEx(file, originalSize, nullptr, FILE_BEGIN) && ::SetEndOfFile(file)) {
        ::FlushFileBuffers(file);
    }
}

}  // namespace

TimeOfDay systemLocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return {now.wHour, now.wMinute, now.wSecond};
}

bool appendToFileDurably(const std::string& path, std::string_view bytes) {
    const std::wstring widePath = widen(path);
    if (widePath.empty()) return false;
    // Share mode 0: a file another program holds open makes this fail instead of interleaving.
    const HANDLE file = ::CreateFileW(widePath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;

    LARGE_INTEGER originalSize{};
    const LARGE_INTEGER zero{};
    const bool atEnd = ::SetFilePointerEx(file, zero, &originalSize, FILE_END) != 0;
    if (atEnd && writeAll(file, bytes) && ::FlushFileBuffers(file)) {
        ::CloseHandle(file);  // the bytes are on the disk already
        return true;
    }
    if (existed && atEnd) cutBack(file, originalSize);
    ::CloseHandle(file);
    if (!existed) ::DeleteFileW(widePath.c_str());
    return false;
}

}  // namespace vennick
