#include <windows.h>

#include <algorithm>
#include <optional>

#include "RS232CFunc/serial_port.h"

namespace vennick {
namespace {

class Win32SerialPort final : public SerialPort {
public:
    ~Win32SerialPort() override { close(); }

    bool open(const std::string& device) override {
        close();
        handle_ = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return isOpen();
    }

    bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    void close() override {
        if (isOpen()) ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        pushback_.reset();
    }

    // Only these five fields change; flow control, special characters and buffer thresholds
    // stay as the driver reported them. Results are not examined.
    void applyLineSettings(const LineSettings& line) override {
        dcb_.DCBlength = sizeof(DCB);
        ::GetCommState(handle_, &dcb_);
        dcb_.BaudRate = static_cast<DWORD>(line.bitRate);
        dcb_.ByteSize = static_cast<BYTE>(line.dataBits);
        switch (line.parity) {
            case Parity::None:
                dcb_.Parity = NOPARITY;
                break;
            case Parity::Even:
                dcb_.Parity = EVENPARITY;
                break;
            case Parity::Odd:
                dcb_.Parity = ODDPARITY;
                break;
            case Parity::AsRead:
                break;
        }
        dcb_.fParity = line.parity == Parity::None ? FALSE : TRUE;
        switch (line.stopBits) {
            case StopBits::One:
                dcb_.StopBits = ONESTOPBIT;
                break;
            case StopBits::OneAndHalf:
                dcb_.StopBits = ONE5STOPBITS;
                break;
            case StopBits::Two:
                dcb_.StopBits = TWOSTOPBITS;
                break;
            case StopBits::AsRead:
                break;
        }
        ::SetCommState(handle_, &dcb_);
    }

    // A single-byte read waits at most 10 ms + 500 ms.
    void applyTimeouts() override {
        ::GetCommTimeouts(handle_, &timeouts_);
        timeouts_.ReadIntervalTimeout = 200;
        timeouts_.ReadTotalTimeoutMultiplier = 10;
        timeouts_.ReadTotalTimeoutConstant = 500;
        timeouts_.WriteTotalTimeoutMultiplier = 0;
        timeouts_.WriteTotalTimeoutConstant = 0;
        ::SetCommTimeouts(handle_, &timeouts_);
    }

    int bytesWaiting() override {
        const std::optional<DWORD> queued = queuedBytes();
        if (!queued) return -1;
        return static_cast<int>(*queued) + (pushback_ ? 1 : 0);
    }

    // There is no bounded wait on a synchronous handle short of reading: when nothing is
    // queued, a one-byte read waits up to the read time-outs and its byte is kept for read().
    Wait waitForInput(int /*timeoutMs*/) override {
        if (pushback_) return Wait::Ready;
        const std::optional<DWORD> queued = queuedBytes();
        if (!queued) return Wait::Failed;
        if (*queued > 0) return Wait::Ready;
        std::uint8_t byte = 0;
        DWORD got = 0;
        if (!::ReadFile(handle_, &byte, 1, &got, nullptr)) return Wait::Failed;
        if (got == 0) return Wait::TimedOut;
        pushback_ = byte;
        return Wait::Ready;
    }

    int read(std::span<std::uint8_t> into) override {
        if (into.empty()) return 0;
        std::size_t filled = 0;
        if (pushback_) {
            into[filled++] = *pushback_;
            pushback_.reset();
        }
        const std::optional<DWORD> queued = queuedBytes();
        if (!queued) return filled > 0 ? static_cast<int>(filled) : -1;
        // Ask for what is queued, so the read returns at once; with nothing queued, one byte
        // bounded by the read time-outs.
        DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(*queued, into.size() - filled));
        if (filled == 0 && wanted == 0) wanted = 1;
        if (wanted == 0) return static_cast<int>(filled);
        DWORD got = 0;
        if (!::ReadFile(handle_, into.data() + filled, wanted, &got, nullptr)) {
            return filled > 0 ? static_cast<int>(filled) : -1;
        }
        return static_cast<int>(filled + got);
    }

private:
    // The driver's input queue length; nothing when the port has failed (a removed adapter
    // shows up here or in ReadFile, depending on the driver).
    std::optional<DWORD> queuedBytes() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status)) return std::nullopt;
        return status.cbInQue;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    std::optional<std::uint8_t> pushback_;
};

}  // namespace

std::unique_ptr<SerialPort> createSerialPort() {
    return std::make_unique<Win32SerialPort>();
}

std::string defaultPortDevice(std::int32_t comIndex) {
    return comPortName(comIndex);
}

}  // namespace vennick
