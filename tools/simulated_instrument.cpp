#include "tools/simulated_instrument.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace vennick::sim {
namespace {

[[noreturn]] void throwSystemError(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

SimulatedInstrument::SimulatedInstrument(std::string linkPath) : linkPath_(std::move(linkPath)) {
    openPair();
    pointLink();
}

SimulatedInstrument::~SimulatedInstrument() {
    closeIfOpen(deviceFd_);
    closeIfOpen(controllerFd_);
    if (!linkPath_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(linkPath_, ignored);
    }
}

void SimulatedInstrument::openPair() {
    if (::openpty(&controllerFd_, &deviceFd_, nullptr, nullptr, nullptr) != 0) {
        throwSystemError("openpty");
    }
    ::fcntl(controllerFd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(deviceFd_, F_SETFD, FD_CLOEXEC);
    // Raw from the start, so nothing sent before the program configures the port is changed.
    termios settings{};
    ::tcgetattr(deviceFd_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(deviceFd_, TCSANOW, &settings);
    char name[128] = {};
    if (::ttyname_r(deviceFd_, name, sizeof name) != 0) throwSystemError("ttyname");
    devicePath_ = name;
}

// Replaces the link in one step, so a reader never finds it missing.
void SimulatedInstrument::pointLink() {
    if (linkPath_.empty()) return;
    const std::string staging = linkPath_ + ".new";
    std::filesystem::remove(staging);
    std::filesystem::create_symlink(devicePath_, staging);
    std::filesystem::rename(staging, linkPath_);
}

int SimulatedInstrument::unreadBytes() const {
    int unread = 0;
    if (deviceFd_ < 0 || ::ioctl(deviceFd_, FIONREAD, &unread) != 0) return -1;
    return unread;
}

void SimulatedInstrument::releaseDevice() {
    closeIfOpen(deviceFd_);
}

// With no descriptor open on the device side the controller side reports a hang-up.
bool SimulatedInstrument::readerPresent() const {
    pollfd watch{controllerFd_, 0, 0};
    return controllerFd_ >= 0 && ::poll(&watch, 1, 0) >= 0 && (watch.revents & POLLHUP) == 0;
}

bool SimulatedInstrument::waitForReader(int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!readerPresent()) {
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        // A hang-up cannot be waited for with poll() (it stays set), so look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool SimulatedInstrument::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(controllerFd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void SimulatedInstrument::hangUp() {
    closeIfOpen(deviceFd_);
    closeIfOpen(controllerFd_);
}

void SimulatedInstrument::comeBack() {
    hangUp();
    openPair();
    pointLink();
}

std::string framedLine(std::string_view text, Terminator terminator) {
    switch (terminator) {
        case Terminator::Cr:
            return std::string(text) + "\r";
        case Terminator::CrLf:
            return std::string(text) + "\r\n";
        case Terminator::Lf:
            return std::string(text) + "\n";
        case Terminator::StxEtx:
            return std::string("\x02").append(text).append("\x03");
    }
    return std::string(text);
}

}  // namespace vennick::sim
