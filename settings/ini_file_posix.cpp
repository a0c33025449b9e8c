#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "settings/cp932.h"
#include "settings/cp932_posix.h"
#include "settings/ini_file_platform.h"
#include "settings/posix_file.h"

// The INI file's bytes on POSIX: read whole, replaced through a file beside it.

namespace vennick {
namespace {

// Only regular files count: a directory or a device at the path reads as a missing file.
std::optional<std::string> readFile(const std::string& path) {
    // O_NONBLOCK: a FIFO at the path must not hang the program.
    posix::UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count == 0) return text;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

// A link to the INI is followed, so that the link stays a link.
std::string resolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// Root may write any file, so access() alone would never refuse it: a file without any write
// bit is taken as read-only, like a file with the Windows read-only attribute.
bool isWritable(const std::string& path, const struct stat& status) {
    const bool anyWriteBit = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return S_ISREG(status.st_mode) && anyWriteBit && access(path.c_str(), W_OK) == 0;
}

int createTemporary(const std::string& path, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory + "." + name + "." + std::to_string(getpid()) + "." +
                    std::to_string(counter++) + ".tmp";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// For an INI that may be written but whose directory may not: the old content is overwritten.
bool rewriteInPlace(const std::string& path, std::string_view bytes) {
    posix::UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    const bool ok = file.get() >= 0 && posix::writeAllAt(file.get(), bytes, 0) &&
                    ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0 &&
                    posix::syncFile(file.get());
    return file.get() >= 0 && file.close() && ok;
}

// Writes beside the file and renames over it, so a failed write leaves the old INI whole.
bool replaceFile(const std::string& path, std::string_view bytes, const struct stat* old) {
    std::string temporary;
    posix::UniqueFd file(createTemporary(path, temporary));
    if (file.get() < 0) {
        const bool dirLocked = errno == EACCES || errno == EPERM;
        return old != nullptr && dirLocked && rewriteInPlace(path, bytes);
    }
    bool ok = posix::writeAllAt(file.get(), bytes, 0);
    if (old != nullptr) {
        ok = ok && fchmod(file.get(), old->st_mode & 07777) == 0;
        if (fchown(file.get(), old->st_uid, old->st_gid) != 0) {
            // Only root may hand the file back to its owner; the content matters more.
        }
    }
    ok = posix::syncFile(file.get()) && ok;
    ok = file.close() && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

}  // namespace

namespace platform {

// A path on Linux is bytes, and often UTF-8 that code page 932 cannot hold ("vennick-café").
// Such a value is stored as its own bytes so that it comes back unchanged, and where those bytes
// would also read as code page 932 ("é" is C3 A9, which reads as "ﾃｩ") behind a UTF-8 byte order
// mark, which is never valid code page 932. A value code page 932 holds is stored in it as always.
constexpr std::string_view kOwnBytesMark = "\xEF\xBB\xBF";

std::string storedValue(std::string_view text) {
    if (auto cp932 = utf8ToCp932Exactly(text)) return std::move(*cp932);
    const bool readsAsCp932 = text.starts_with(kOwnBytesMark) || cp932ToUtf8Exactly(text);
    return readsAsCp932 ? std::string(kOwnBytesMark).append(text) : std::string(text);
}

// Bytes that are not code page 932 (a hand-edited file, a Latin-1 path) are kept as they are.
std::string loadedValue(std::string_view bytes) {
    if (bytes.starts_with(kOwnBytesMark)) return std::string(bytes.substr(kOwnBytesMark.size()));
    if (auto utf8 = cp932ToUtf8Exactly(bytes)) return std::move(*utf8);
    return std::string(bytes);
}

std::optional<std::string> readProfileFile(const std::string& path) {
    return readFile(path);
}

bool updateProfileFile(const std::string& path, const ProfileEdit& edit) {
    const std::string resolved = resolvedPath(path);
    struct stat status {};
    const bool exists = stat(resolved.c_str(), &status) == 0;
    if (exists && !isWritable(resolved, status)) return false;
    std::string text;
    if (exists) {
        auto old = readFile(resolved);
        if (!old) return false;
        text = std::move(*old);
    }
    const std::optional<std::string> edited = edit(text);
    if (!edited) return true;  // nothing to change
    return replaceFile(resolved, *edited, exists ? &status : nullptr);
}

}  // namespace platform
}  // namespace vennick
