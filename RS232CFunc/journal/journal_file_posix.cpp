#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "RS232CFunc/journal/journal_file.h"
#include "settings/posix_file.h"

namespace vennick {
namespace {

int fdOf(std::intptr_t handle) {
    return static_cast<int>(handle);
}

int openLocked(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return -1;
    struct stat status {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A file made or renamed here must keep its name after a power cut; where that cannot be made
// sure, the journal goes on as well as it can.
void syncDirectoryOf(const std::string& path) {
    posix::syncDirectory(posix::parentDirectory(path));
}

}  // namespace

std::unique_ptr<JournalFile> JournalFile::open(const std::string& path) {
    const int fd = openLocked(path);
    if (fd < 0) return nullptr;
    syncDirectoryOf(path);
    return std::unique_ptr<JournalFile>(new JournalFile(path, fd));
}

JournalFile::~JournalFile() {
    closeHandle();
}

void JournalFile::closeHandle() {
    if (handle_ >= 0) ::close(fdOf(handle_));
    handle_ = -1;
}

bool JournalFile::reopen() {
    closeHandle();
    handle_ = openLocked(path_);
    return handle_ >= 0;
}

std::optional<std::string> JournalFile::readAll() {
    if (handle_ < 0) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t got = ::pread(fdOf(handle_), chunk, sizeof chunk, at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(got));
        at += got;
    }
}

bool JournalFile::writeDurably(std::uint64_t offset, std::string_view bytes) {
    return handle_ >= 0 && posix::writeAllAt(fdOf(handle_), bytes, static_cast<off_t>(offset)) &&
           posix::syncData(fdOf(handle_));
}

bool JournalFile::truncateDurably(std::uint64_t size) {
    return handle_ >= 0 && ::ftruncate(fdOf(handle_), static_cast<off_t>(size)) == 0 &&
           posix::syncData(fdOf(handle_));
}

bool JournalFile::replaceDurably(std::string_view bytes) {
    const std::string temporary = path_ + ".new";
    {
        const posix::UniqueFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644));
        if (!fd.valid()) return false;
        if (!posix::writeAllAt(fd.get(), bytes, 0) || !posix::syncData(fd.get())) {
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectoryOf(path_);
    return reopen();
}

std::optional<std::uint64_t> fileSizeOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::string> readFileRange(const std::string& path, std::uint64_t offset,
                                         std::uint64_t length) {
    const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::pread(fd.get(), bytes.data() + done, bytes.size() - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

bool truncateFileDurably(const std::string& path, std::uint64_t size) {
    const posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    return fd.valid() && ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0 &&
           posix::syncFile(fd.get());
}

}  // namespace vennick
