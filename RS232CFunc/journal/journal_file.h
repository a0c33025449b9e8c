#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The file calls the journal needs, one file per OS. Paths are UTF-8.
namespace vennick {

// The journal's own file, held open for the whole run and never shared with another process.
class JournalFile {
public:
    // Opens or creates the file; nothing when it cannot be opened or another process holds it.
    static std::unique_ptr<JournalFile> open(const std::string& path);
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // The whole file; nothing when it cannot be read.
    std::optional<std::string> readAll();
    // Writes at `offset` and flushes to the disk.
    bool writeDurably(std::uint64_t offset, std::string_view bytes);
    // Cuts the file to `size` bytes, durably.
    bool truncateDurably(std::uint64_t size);
    // Replaces the whole file by `bytes` at once: written beside it under another name, flushed,
    // then renamed over it. A crash leaves either the old or the new file, never a mixture.
    bool replaceDurably(std::string_view bytes);

private:
    JournalFile(std::string path, std::intptr_t handle) : path_(std::move(path)), handle_(handle) {}
    bool reopen();
    void closeHandle();

    std::string path_;
    std::intptr_t handle_;  // a descriptor or a HANDLE
};

// The size of a file; nothing when it does not exist or cannot be examined.
std::optional<std::uint64_t> fileSizeOf(const std::string& path);

// `length` bytes from `offset` (fewer at the end of the file); nothing when unreadable.
std::optional<std::string> readFileRange(const std::string& path, std::uint64_t offset,
                                         std::uint64_t length);

// Cuts a file back to `size` bytes and flushes it.
bool truncateFileDurably(const std::string& path, std::uint64_t size);

}  // namespace vennick
