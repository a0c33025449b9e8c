#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vennick {

namespace {

bool isDirectory(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// A file we may trust with the lock: a plain file of our own. Anything else in a shared
// directory may have been planted by another user.
bool isOurRegularFile(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

int openLockFile(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int lockExclusively(int fd) {
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

}  // namespace

std::string instanceLockPath(const std::string& name) {
    // The runtime directory is private to the user; /tmp is shared by everybody (and fixed,
    // so that a different TMPDIR in another session still finds the same lock).
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/' && isDirectory(runtimeDir)) {
        return std::string(runtimeDir) + "/" + name + ".lock";
    }
    return "/tmp/" + name + "-" + std::to_string(::geteuid()) + ".lock";
}

InstanceGuard::InstanceGuard(const std::string& name) {
    int fd = openLockFile(instanceLockPath(name));
    if (fd < 0) return;
    if (!isOurRegularFile(fd)) {
        ::close(fd);
        return;
    }
    int error = lockExclusively(fd);
    if (error != 0) {
        ::close(fd);
        outcome_ = error == EWOULDBLOCK ? Outcome::AlreadyRunning : Outcome::Failed;
        return;
    }
    native_ = fd + 1;
    outcome_ = Outcome::Acquired;
}

InstanceGuard::~InstanceGuard() {
    release();
}

void InstanceGuard::release() {
    if (native_ == 0) return;
    // Closing the only descriptor drops the lock; the file stays for the next start.
    ::close(static_cast<int>(native_ - 1));
    native_ = 0;
}

}  // namespace vennick
