#include "settings/windows_api.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "RS232CFunc/log/log_writer.h"
#include "settings/wide_text_win32.h"
#include "settings/win32_file.h"

namespace vennick {
namespace {

std::wstring directoryPart(const std::wstring& path) {
    const auto separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

// A private hidden name beside the final one that the collecting programs ignore (no ".TXT").
HANDLE createTemporary(const std::wstring& directory, std::wstring& temporaryPath) {
    static std::atomic<unsigned> sequence{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporaryPath = directory + L"\\.~vennick-" + std::to_wstring(::GetCurrentProcessId()) +
                        L"-" + std::to_wstring(sequence++) + L".tmp";
        const HANDLE file = ::CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

enum class NewFile { Written, Failed, NameTaken, Unavailable };

// Appends at `size` and flushes; a failure cuts the tail back.
bool appendAt(HANDLE file, std::uint64_t size, std::string_view bytes) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && win32::writeAll(file, bytes) &&
        ::FlushFileBuffers(file)) {
        return true;
    }
    win32::cutTo(file, size);
    return false;
}

// A new file appears under its final name only complete and flushed, so a process killed
// halfway never leaves a partial batch where the collectors look. The move never replaces.
NewFile writeNewFile(const std::wstring& path, std::string_view bytes,
                     const BeforeWrite& beforeWrite) {
    std::wstring temporary;
    const HANDLE file = createTemporary(directoryPart(path), temporary);
    if (file == INVALID_HANDLE_VALUE) return NewFile::Unavailable;
    if (beforeWrite) beforeWrite(-1);
    const bool written = win32::writeAll(file, bytes) && ::FlushFileBuffers(file);
    ::CloseHandle(file);
    // Shown again before it takes its name: a crash after the move must not hide a batch.
    if (!written || !::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        ::DeleteFileW(temporary.c_str());
        return NewFile::Failed;
    }
    if (::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
        return NewFile::Written;
    }
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temporary.c_str());
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? NewFile::NameTaken
                                                                       : NewFile::Unavailable;
}

// The batch at the end of the opened file; a failure cuts the tail back, or removes the file
// when this call made it. Share mode 0 at the open: a file another program holds open makes
// the open fail instead of interleaving.
bool appendToOpened(HANDLE file, bool created, const std::wstring& path, std::string_view bytes,
                    const BeforeWrite& beforeWrite) {
    LARGE_INTEGER size{};
    bool landed = false;
    if (::GetFileSizeEx(file, &size)) {
        const auto originalSize = static_cast<std::uint64_t>(size.QuadPart);
        if (beforeWrite) beforeWrite(created ? -1 : static_cast<std::int64_t>(originalSize));
        landed = appendAt(file, originalSize, bytes);
    }
    ::CloseHandle(file);  // the bytes are on the disk already when they landed
    if (!landed && created) ::DeleteFileW(path.c_str());
    return landed;
}

HANDLE openForAppend(const std::wstring& path, DWORD disposition) {
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Where the new-file route is not available, the file is made here.
bool appendInPlace(const std::wstring& path, std::string_view bytes,
                   const BeforeWrite& beforeWrite) {
    const HANDLE file = openForAppend(path, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool created = ::GetLastError() != ERROR_ALREADY_EXISTS;
    return appendToOpened(file, created, path, bytes, beforeWrite);
}

}  // namespace

TimeOfDay systemLocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return {now.wHour, now.wMinute, now.wSecond};
}

AppendOutcome appendToExistingFileDurably(const std::string& path, std::string_view bytes,
                                          const BeforeWrite& beforeWrite) {
    const std::wstring widePath = utf8ToWide(path);
    if (widePath.empty()) return AppendOutcome::Failed;
    const HANDLE file = openForAppend(widePath, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? AppendOutcome::NoSuchFile
                   : AppendOutcome::Failed;
    }
    return appendToOpened(file, false, widePath, bytes, beforeWrite) ? AppendOutcome::Landed
                                                                     : AppendOutcome::Failed;
}

bool createFileDurably(const std::string& path, std::string_view bytes,
                       const BeforeWrite& beforeWrite) {
    const std::wstring widePath = utf8ToWide(path);
    if (widePath.empty()) return false;
    const NewFile made = writeNewFile(widePath, bytes, beforeWrite);
    if (made == NewFile::Written || made == NewFile::Failed) return made == NewFile::Written;
    return appendInPlace(widePath, bytes, beforeWrite);
}

}  // namespace vennick
