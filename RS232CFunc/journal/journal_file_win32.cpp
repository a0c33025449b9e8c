#include "settings/windows_api.h"

#include <algorithm>

#include "RS232CFunc/journal/journal_file.h"
#include "settings/wide_text_win32.h"
#include "settings/win32_file.h"

namespace vennick {
namespace {

HANDLE handleOf(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t asInteger(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

const std::intptr_t kNoHandle = asInteger(INVALID_HANDLE_VALUE);

// Shared for reading only: a second process cannot open the journal for writing while this one
// holds it, but it may look at it. Write-through keeps each flush to one trip to the disk.
HANDLE openExclusive(const std::wstring& path, DWORD access, DWORD disposition) {
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
}

bool seek(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

bool readAt(HANDLE file, std::uint64_t offset, std::uint64_t length, std::string& bytes) {
    if (!seek(file, offset)) return false;
    bytes.assign(static_cast<std::size_t>(length), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD got = 0;
        if (!::ReadFile(file, bytes.data() + done, chunk, &got, nullptr)) return false;
        if (got == 0) break;
        done += got;
    }
    bytes.resize(done);
    return true;
}

std::optional<std::uint64_t> sizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

}  // namespace

std::unique_ptr<JournalFile> JournalFile::open(const std::string& path) {
    const HANDLE file = openExclusive(utf8ToWide(path), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<JournalFile>(new JournalFile(path, asInteger(file)));
}

JournalFile::~JournalFile() {
    closeHandle();
}

void JournalFile::closeHandle() {
    if (handle_ != kNoHandle) ::CloseHandle(handleOf(handle_));
    handle_ = kNoHandle;
}

bool JournalFile::reopen() {
    closeHandle();
    handle_ =
        asInteger(openExclusive(utf8ToWide(path_), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    return handle_ != kNoHandle;
}

std::optional<std::string> JournalFile::readAll() {
    if (handle_ == kNoHandle) return std::nullopt;
    const auto size = sizeOf(handleOf(handle_));
    std::string bytes;
    if (!size || !readAt(handleOf(handle_), 0, *size, bytes)) return std::nullopt;
    return bytes;
}

bool JournalFile::writeDurably(std::uint64_t offset, std::string_view bytes) {
    const HANDLE file = handleOf(handle_);
    return handle_ != kNoHandle && seek(file, offset) && win32::writeAll(file, bytes) &&
           ::FlushFileBuffers(file);
}

bool JournalFile::truncateDurably(std::uint64_t size) {
    return handle_ != kNoHandle && win32::cutTo(handleOf(handle_), size);
}

// The open handle shares nothing, so it is closed for the rename and the new file reopened.
bool JournalFile::replaceDurably(std::string_view bytes) {
    const std::wstring temporary = utf8ToWide(path_ + ".new");
    const HANDLE file = openExclusive(temporary, GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = win32::writeAll(file, bytes) && ::FlushFileBuffers(file);
    ::CloseHandle(file);
    closeHandle();
    const bool moved = written && ::MoveFileExW(temporary.c_str(), utf8ToWide(path_).c_str(),
                                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!moved) ::DeleteFileW(temporary.c_str());
    return reopen() && moved;
}

std::optional<std::uint64_t> fileSizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(utf8ToWide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> readFileRange(const std::string& path, std::uint64_t offset,
                                         std::uint64_t length) {
    const HANDLE file =
        ::CreateFileW(utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    const bool read = readAt(file, offset, length, bytes);
    ::CloseHandle(file);
    if (!read) return std::nullopt;
    return bytes;
}

bool truncateFileDurably(const std::string& path, std::uint64_t size) {
    const HANDLE file = ::CreateFileW(utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool cut = win32::cutTo(file, size);
    ::CloseHandle(file);
    return cut;
}

}  // namespace vennick
