#pragma once

// Small pieces of Win32 file code that the log files, the INI file and the journal share.

#include "settings/windows_api.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace vennick::win32 {

// Writes every byte, in pieces WriteFile can take; false at the first failure.
inline bool writeAll(HANDLE file, std::string_view bytes) {
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

// Cuts the file to `size` bytes and flushes it; false when any step fails.
inline bool cutTo(HANDLE file, std::uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file) &&
           ::FlushFileBuffers(file);
}

}  // namespace vennick::win32
