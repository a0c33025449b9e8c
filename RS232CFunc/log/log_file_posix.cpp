#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>

#include "RS232CFunc/log/log_writer.h"
#include "settings/posix_file.h"

namespace vennick {

namespace {

// A private name beside the final one that the collecting programs ignore (no ".TXT").
int createTemporary(const std::string& directory, std::string& temporaryPath) {
    static std::atomic<unsigned> sequence{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporaryPath = directory + "/.~vennick-" + std::to_string(::getpid()) + "-" +
                        std::to_string(sequence++) + ".tmp";
        const int fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

enum class NewFile { Written, Failed, NameTaken, Unavailable };

// A new file appears under its final name only complete and flushed, so a process killed
// halfway never leaves a partial batch where the collectors look. link() never overwrites.
NewFile writeNewFile(const std::string& path, std::string_view bytes,
                     const BeforeWrite& beforeWrite) {
    const std::string directory = posix::parentDirectory(path);
    std::string temporary;
    const posix::UniqueFd fd(createTemporary(directory, temporary));
    if (!fd.valid()) return NewFile::Unavailable;
    if (beforeWrite) beforeWrite(-1);
    if (!posix::writeAllAt(fd.get(), bytes, 0) || !posix::syncData(fd.get())) {
        ::unlink(temporary.c_str());
        return NewFile::Failed;
    }
    const int linked = ::link(temporary.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked != 0) return linkError == EEXIST ? NewFile::NameTaken : NewFile::Unavailable;
    if (!posix::syncDirectory(directory)) {
        ::unlink(path.c_str());
        return NewFile::Failed;
    }
    return NewFile::Written;
}

// Never follows a FIFO into a blocking open.
constexpr int kWriteFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// `created` tells whether this call made the file.
int openOrCreate(const std::string& path, bool& created) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), kWriteFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            created = true;
            return fd;
        }
        if (errno != EEXIST) return -1;
        fd = ::open(path.c_str(), kWriteFlags);
        if (fd >= 0 || errno != ENOENT) return fd;
    }
    return -1;
}

// Only another holder makes the lock fail; a file system without locks is written unlocked.
bool lockExclusively(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// Appends at `size` and flushes; a failure cuts the tail back.
bool appendAt(int fd, off_t size, std::string_view bytes) {
    if (posix::writeAllAt(fd, bytes, size) && posix::syncData(fd)) return true;
    if (::ftruncate(fd, size) == 0) posix::syncData(fd);
    return false;
}

// The batch at the end of the opened file; a failure cuts the tail back, or removes the file
// when this call made it.
bool appendToOpened(int fd, bool created, const std::string& path, std::string_view bytes,
                    const BeforeWrite& beforeWrite) {
    struct stat status {};
    const bool usable =
        lockExclusively(fd) && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const off_t originalSize = status.st_size;
    if (usable && beforeWrite) beforeWrite(created ? -1 : originalSize);
    if (usable && appendAt(fd, originalSize, bytes) &&
        (!created || posix::syncDirectory(posix::parentDirectory(path)))) {
        return true;
    }
    if (created) ::unlink(path.c_str());
    return false;
}

// Where the new-file route is not available, the file is made here.
bool appendInPlace(const std::string& path, std::string_view bytes,
                   const BeforeWrite& beforeWrite) {
    bool created = false;
    const posix::UniqueFd fd(openOrCreate(path, created));
    return fd.valid() && appendToOpened(fd.get(), created, path, bytes, beforeWrite);
}

}  // namespace

TimeOfDay systemLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return {local.tm_hour, local.tm_min, local.tm_sec};
}

AppendOutcome appendToExistingFileDurably(const std::string& path, std::string_view bytes,
                                          const BeforeWrite& beforeWrite) {
    const int opened = ::open(path.c_str(), kWriteFlags);
    if (opened < 0) {
        return errno == ENOENT || errno == ENOTDIR ? AppendOutcome::NoSuchFile
                                                   : AppendOutcome::Failed;
    }
    const posix::UniqueFd fd(opened);
    return appendToOpened(fd.get(), false, path, bytes, beforeWrite) ? AppendOutcome::Landed
                                                                     : AppendOutcome::Failed;
}

bool createFileDurably(const std::string& path, std::string_view bytes,
                       const BeforeWrite& beforeWrite) {
    const NewFile made = writeNewFile(path, bytes, beforeWrite);
    if (made == NewFile::Written || made == NewFile::Failed) return made == NewFile::Written;
    return appendInPlace(path, bytes, beforeWrite);
}

}  // namespace vennick
