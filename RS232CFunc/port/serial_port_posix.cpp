#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "RS232CFunc/port/port_problem.h"
#include "RS232CFunc/port/serial_port_posix.h"
#include "RS232CFunc/port/serial_termios2_linux.h"

namespace vennick {
namespace {

// A single-byte read waits at most 10 ms per byte plus 500 ms.
constexpr int kReadTimeoutMs = 10 * 1 + 500;

speed_t speedConstantFor(std::int32_t bitRate) {
    switch (bitRate) {
        case 110:
            return B110;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 2000000:
            return B2000000;
        default:
            return B0;  // no constant: set through termios2
    }
}

tcflag_t characterSizeFor(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

void applyParity(termios& settings, Parity parity) {
    switch (parity) {
        case Parity::None:
            settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
            settings.c_iflag &= ~static_cast<tcflag_t>(INPCK);
            break;
        case Parity::Even:
            settings.c_cflag = (settings.c_cflag | PARENB) & ~static_cast<tcflag_t>(PARODD);
            settings.c_iflag |= INPCK;
            break;
        case Parity::Odd:
            settings.c_cflag |= PARENB | PARODD;
            settings.c_iflag |= INPCK;
            break;
        case Parity::AsRead:
            break;
    }
}

void applyStopBits(termios& settings, StopBits stopBits) {
    switch (stopBits) {
        case StopBits::One:
            settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
            break;
        // termios has no one and a half stop bits; two is the nearest a receiver accepts.
        case StopBits::OneAndHalf:
        case StopBits::Two:
            settings.c_cflag |= CSTOPB;
            break;
        case StopBits::AsRead:
            break;
    }
}

bool failedEvents(short revents) {
    return (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// A pipe whose read end turns readable for good once interrupt() was called: polled beside the
// port, it ends every wait from then on (the port is being given up).
class WakePipe {
public:
    WakePipe() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
    }
    ~WakePipe() {
        for (const int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    int readEnd() const { return fds_[0]; }
    void interrupt() {
        const char byte = 1;
        if (::write(fds_[1], &byte, 1) < 0) {
            // Full (already interrupted) or no pipe: nothing more to do.
        }
    }

private:
    int fds_[2];
};

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { close(); }

    bool open(const std::string& device) override {
        close();
        device_ = device;
        problem_.clear();
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return refused(errno);
        // Nobody else may read the port while we do (the Windows share mode 0).
        const int error = !::isatty(fd) ? ENOTTY : ::flock(fd, LOCK_EX | LOCK_NB) != 0 ? EBUSY : 0;
        if (error != 0) {
            ::close(fd);
            return refused(error);
        }
        ::ioctl(fd, TIOCEXCL);
        fd_ = fd;
        overrunsAtOpen_ = driverOverruns(fd_);
        return true;
    }

    // The driver counts since it started; this port counts what it lost while it was open,
    // across reopens.
    std::int64_t overruns() override {
        if (fd_ < 0 || overrunsAtOpen_ < 0) return overrunsBefore_;
        const std::int64_t now = driverOverruns(fd_);
        return now < overrunsAtOpen_ ? overrunsBefore_ : overrunsBefore_ + now - overrunsAtOpen_;
    }

    std::string problem() const override { return problem_; }

    bool isOpen() const override { return fd_ >= 0; }

    void close() override {
        if (fd_ < 0) return;
        overrunsBefore_ = overruns();
        ::ioctl(fd_, TIOCNXCL);  // exclusivity outlives us when another holder keeps the tty
        ::close(fd_);
        fd_ = -1;
    }

    void applyLineSettings(const LineSettings& line) override {
        termios settings{};
        if (::tcgetattr(fd_, &settings) != 0) {
            problem_ = settingsUnreadableText(device_, static_cast<SystemError>(errno));
            return;
        }
        settings = lineTermios(settings, line);
        const speed_t speed = speedConstantFor(line.bitRate);
        if (speed != B0) {
            ::cfsetspeed(&settings, speed);
            // cfsetspeed leaves the separate input rate an earlier program may have set (with
            // termios2) in force; without one the input follows the output.
            settings.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
        }
        ::tcsetattr(fd_, TCSANOW, &settings);
        if (speed == B0) setAnyBitRate(fd_, line.bitRate);
        problem_ = refusedSettings(settings, line);
    }

    void applyTimeouts() override { readTimeoutMs_ = kReadTimeoutMs; }

    int bytesWaiting() override {
        pollfd watch{fd_, POLLIN, 0};
        if (fd_ < 0 || ::poll(&watch, 1, 0) < 0 || failedEvents(watch.revents)) return -1;
        int waiting = 0;
        if (::ioctl(fd_, FIONREAD, &waiting) != 0) return -1;
        return waiting;
    }

    // An interrupted wait reports a time-out: the caller then looks at its stop request.
    Wait waitForInput(int timeoutMs) override {
        if (fd_ < 0) return Wait::Failed;
        pollfd watch[2] = {{fd_, POLLIN, 0}, {wake_.readEnd(), POLLIN, 0}};
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int ready = 0;
        while ((ready = ::poll(watch, 2, remainingMs(deadline, timeoutMs))) < 0) {
            if (errno != EINTR) return Wait::Failed;
        }
        if (failedEvents(watch[0].revents)) return Wait::Failed;
        if (ready == 0 || watch[1].revents != 0) return Wait::TimedOut;
        return Wait::Ready;
    }

    void interruptWait() override { wake_.interrupt(); }

    // Input is usually there already (the receive thread waited for it): reading first saves
    // a poll; only a read that finds nothing waits.
    int read(std::span<std::uint8_t> into) override {
        if (fd_ < 0) return -1;
        const int got = readWaiting(into);
        if (got != 0) return got;
        switch (waitForInput(readTimeoutMs_)) {
            case Wait::TimedOut:
                return 0;
            case Wait::Failed:
                return -1;
            case Wait::Ready:
                break;
        }
        return readWaiting(into);
    }

private:
    // What is waiting; 0 when nothing is, -1 when the line hung up or failed. Raw mode with
    // VMIN 1 on a non-blocking descriptor: an empty queue reads as EAGAIN, an end of file as 0.
    int readWaiting(std::span<std::uint8_t> into) {
        for (;;) {
            const ssize_t got = ::read(fd_, into.data(), into.size());
            if (got > 0) return static_cast<int>(got);
            if (got == 0) return -1;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno != EINTR) return -1;
        }
    }

    bool refused(int error) {
        problem_ = openFailureText(device_, static_cast<SystemError>(error));
        return false;
    }

    // What the driver holds after the settings went out, against what was asked for.
    std::string refusedSettings(const termios& asked, const LineSettings& line) const {
        termios held{};
        if (::tcgetattr(fd_, &held) != 0) {
            return settingsUnreadableText(device_, static_cast<SystemError>(errno));
        }
        const auto differ = [&](tcflag_t mask) {
            return (held.c_cflag & mask) != (asked.c_cflag & mask);
        };
        const BitRates rates = currentBitRates(fd_);
        std::vector<LineField> refused;
        if (rates.input != line.bitRate || rates.output != line.bitRate) {
            refused.push_back(LineField::BitRate);
        }
        if (differ(CSIZE)) refused.push_back(LineField::DataBits);
        if (differ(PARENB | PARODD)) refused.push_back(LineField::Parity);
        if (differ(CSTOPB)) refused.push_back(LineField::StopBits);
        return refusedSettingsText(device_, line, refused);
    }

    static int remainingMs(std::chrono::steady_clock::time_point deadline, int timeoutMs) {
        if (timeoutMs < 0) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

    int fd_ = -1;
    std::string device_;
    std::string problem_;
    int readTimeoutMs_ = -1;
    std::int64_t overrunsAtOpen_ = -1;
    std::int64_t overrunsBefore_ = 0;
    WakePipe wake_;  // until the time-outs are applied a read waits for its byte
};

}  // namespace

termios lineTermios(termios current, const LineSettings& line) {
    const tcflag_t parityEnabled = current.c_cflag & PARENB;
    ::cfmakeraw(&current);  // also clears PARENB, which a parity left as read must keep
    current.c_cflag |= parityEnabled | CLOCAL | CREAD;
    current.c_cflag =
        (current.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | characterSizeFor(line.dataBits);
    applyParity(current, line.parity);
    applyStopBits(current, line.stopBits);
    return current;
}

std::unique_ptr<SerialPort> createSerialPort() {
    return std::make_unique<PosixSerialPort>();
}

const PortSystem kThisPortSystem = PortSystem::Posix;

PortProblem portProblemFor(SystemError error) {
    switch (static_cast<int>(error)) {
        case EACCES:
        case EPERM:
            return PortProblem::NoPermission;
        case EBUSY:
            return PortProblem::InUse;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTTY:
            return PortProblem::NotFound;
        default:
            return PortProblem::Other;
    }
}

std::string systemErrorText(SystemError error) {
    return std::generic_category().message(static_cast<int>(error));
}

// COMn is the n-th serial device; a negative index means COM1, as for the port name.
std::string defaultPortDevice(std::int32_t comIndex) {
    return "/dev/ttyS" + std::to_string(comIndex < 0 ? 0 : comIndex);
}

}  // namespace vennick
