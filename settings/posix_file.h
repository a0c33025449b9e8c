#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// Small helpers for the POSIX file code of the INI file, the log files and the journal.
namespace vennick::posix {

// Owns a file descriptor and closes it once.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { close(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // False when closing reported an error (the last chance to hear of a failed write).
    bool close();

private:
    int fd_;
};

// Writes every byte at `offset`, through short writes (a size limit or a full disk reached
// halfway) and interruptions; false when not all of them could be written.
bool writeAllAt(int fd, std::string_view bytes, off_t offset);

// fsync, repeated when interrupted.
bool syncFile(int fd);

// fdatasync, repeated when interrupted: the bytes and what reading them back needs (the size),
// without the times. Enough for a file whose content is all that matters.
bool syncData(int fd);

// The directory part of a path ("." when there is none, "/" for a file in the root).
std::string parentDirectory(const std::string& path);

// Makes the names in a directory durable (a new or renamed file keeps its name after a power
// cut). Only a disk error counts as failure: a directory that may not be opened, or a file
// system that cannot sync directories, leaves the names as durable as they get there.
bool syncDirectory(const std::string& directory);

}  // namespace vennick::posix
