#include "RS232CFunc/port/serial_port_win32.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "settings/wide_text_win32.h"

namespace vennick {
namespace {

// After a failed read that may be passing, or one that returned nothing at once, the next one
// waits this long, so a port that keeps failing does not spin.
constexpr DWORD kFailedReadPauseMs = 100;
// interruptWait cancels again until the reader has left its read (the cancel may come just
// before the read has reached the driver), at most this long.
constexpr auto kCancelRetryInterval = std::chrono::milliseconds(5);
constexpr int kCancelAttempts = 400;

constexpr DWORD kLineErrors = CE_RXPARITY | CE_FRAME | CE_BREAK | CE_OVERRUN | CE_RXOVER;

bool isComName(const std::string& device) {
    if (device.size() < 4) return false;
    const auto upper = [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    };
    if (upper(device[0]) != 'C' || upper(device[1]) != 'O' || upper(device[2]) != 'M') return false;
    return std::all_of(device.begin() + 3, device.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

BYTE parityCode(Parity parity, BYTE asRead) {
    switch (parity) {
        case Parity::None:
            return NOPARITY;
        case Parity::Even:
            return EVENPARITY;
        case Parity::Odd:
            return ODDPARITY;
        case Parity::AsRead:
            break;
    }
    return asRead;
}

BYTE stopBitsCode(StopBits stopBits, BYTE asRead) {
    switch (stopBits) {
        case StopBits::One:
            return ONESTOPBIT;
        case StopBits::OneAndHalf:
            return ONE5STOPBITS;
        case StopBits::Two:
            return TWOSTOPBITS;
        case StopBits::AsRead:
            break;
    }
    return asRead;
}

// One field of `wanted` laid over `base`.
DCB withField(DCB base, const DCB& wanted, LineField field) {
    switch (field) {
        case LineField::BitRate:
            base.BaudRate = wanted.BaudRate;
            break;
        case LineField::DataBits:
            base.ByteSize = wanted.ByteSize;
            break;
        case LineField::Parity:
            base.Parity = wanted.Parity;
            base.fParity = wanted.fParity;
            break;
        case LineField::StopBits:
            base.StopBits = wanted.StopBits;
            break;
    }
    return base;
}

bool sameField(const DCB& a, const DCB& b, LineField field) {
    switch (field) {
        case LineField::BitRate:
            return a.BaudRate == b.BaudRate;
        case LineField::DataBits:
            return a.ByteSize == b.ByteSize;
        case LineField::Parity:
            return a.Parity == b.Parity && a.fParity == b.fParity;
        case LineField::StopBits:
            return a.StopBits == b.StopBits;
    }
    return true;
}

std::string trimmedMessage(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// Errors with which a read says the device itself has gone. A USB serial driver whose adapter
// was pulled keeps the handle and answers every request with ERROR_BAD_COMMAND or
// ERROR_ACCESS_DENIED (which a handle opened for reading never gets otherwise).
bool deviceGoneError(DWORD error) {
    switch (error) {
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_BROKEN_PIPE:
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
            return true;
        default:
            return false;
    }
}

// The DOS device name behind "\\.\NAME" or "NAME"; empty for other paths (a pipe, a file).
std::wstring dosDeviceName(const std::string& device) {
    std::string name = device;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos) return {};
    return utf8ToWide(name);
}

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort() : wake_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    ~Win32SerialPort() override {
        close();
        if (reader_ != nullptr) ::CloseHandle(reader_);
        if (wake_ != nullptr) ::CloseHandle(wake_);
    }

    bool open(const std::string& device) override {
        close();
        const HANDLE handle =
            ::CreateFileW(utf8ToWide(win32DeviceName(device)).c_str(), GENERIC_READ | GENERIC_WRITE,
                          0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            setProblem(openFailureText(device, ::GetLastError()));
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            handle_ = handle;
        }
        device_ = device;
        setProblem({});
        statusWorks_ = queuedBytes().has_value();
        fruitless_.reset();
        return true;
    }

    bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    void close() override {
        std::lock_guard lock(mutex_);
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        pushback_.reset();
    }

    void applyLineSettings(const LineSettings& line) override {
        DCB current{};
        current.DCBlength = sizeof(DCB);
        if (!::GetCommState(handle_, &current)) {
            setProblem(settingsUnreadableText(device_, ::GetLastError()));
            return;
        }
        const LineOutcome outcome =
            applyLineFields(current, line, [this](const DCB& dcb) { return setCommState(dcb); });
        setProblem(refusedSettingsText(device_, line, outcome.refused));
    }

    // A single-byte read waits at most 10 ms + 500 ms.
    void applyTimeouts() override {
        COMMTIMEOUTS timeouts{};
        ::GetCommTimeouts(handle_, &timeouts);
        timeouts.ReadIntervalTimeout = 200;
        timeouts.ReadTotalTimeoutMultiplier = 10;
        timeouts.ReadTotalTimeoutConstant = 500;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 0;
        ::SetCommTimeouts(handle_, &timeouts);
    }

    // Without a status query only the byte already read is known to wait.
    int bytesWaiting() override {
        const int kept = pushback_ ? 1 : 0;
        if (!statusWorks_) return kept;
        const std::optional<DWORD> queued = queuedBytes();
        if (!queued) return -1;
        return static_cast<int>(*queued) + kept;
    }

    // There is no bounded wait on a synchronous handle short of reading: when nothing is
    // queued, a one-byte read waits up to the read time-outs and its byte is kept for read().
    Wait waitForInput(int /*timeoutMs*/) override {
        if (pushback_) return Wait::Ready;
        if (statusWorks_) {
            const std::optional<DWORD> queued = queuedBytes();
            if (!queued) return Wait::Failed;
            if (*queued > 0) return Wait::Ready;
        }
        std::uint8_t byte = 0;
        const int got = readSome(&byte, 1);
        if (got < 0) return Wait::Failed;
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
        // Ask for what is queued, so the read returns at once; with nothing queued (or nothing
        // known), one byte bounded by the read time-outs.
        DWORD wanted = filled == 0 ? 1 : 0;
        if (statusWorks_) {
            const std::optional<DWORD> queued = queuedBytes();
            if (!queued) return filled > 0 ? static_cast<int>(filled) : -1;
            wanted = static_cast<DWORD>(std::min<std::size_t>(*queued, into.size() - filled));
            if (filled == 0 && wanted == 0) wanted = 1;
        }
        if (wanted == 0) return static_cast<int>(filled);
        const int got = readSome(into.data() + filled, wanted);
        if (got < 0) return filled > 0 ? static_cast<int>(filled) : -1;
        return static_cast<int>(filled) + got;
    }

    // Counted on the receive thread, which alone queries and reads the port.
    std::int64_t overruns() override { return overruns_; }

    std::string problem() const override {
        std::lock_guard lock(mutex_);
        return problem_;
    }

    // From then on nothing in this port blocks: it is there for the stop.
    void interruptWait() override {
        std::unique_lock lock(mutex_);
        interrupted_ = true;
        if (wake_ != nullptr) ::SetEvent(wake_);
        // A cancel that comes before the read has reached the driver finds nothing to cancel,
        // so it is repeated until the reader is out.
        for (int attempt = 0; reading_ && attempt < kCancelAttempts; ++attempt) {
            ::CancelIoEx(handle_, nullptr);
            if (reader_ != nullptr) ::CancelSynchronousIo(reader_);
            readEnded_.wait_for(lock, kCancelRetryInterval, [this] { return !reading_; });
        }
    }

private:
    // The receive thread sets it when it reopens the port; the window may be reading it.
    void setProblem(std::string text) {
        std::lock_guard lock(mutex_);
        problem_ = std::move(text);
    }

    bool setCommState(const DCB& dcb) {
        DCB copy = dcb;
        return ::SetCommState(handle_, &copy) != FALSE;
    }

    // The driver's input queue length; nothing when the status query fails. Clearing the error
    // flags also lets reads go on after a line error aborted them.
    std::optional<DWORD> queuedBytes() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status)) return std::nullopt;
        countOverrun(errors);
        return status.cbInQue;
    }

    // Each time the driver says its queue or the UART overran since the last look.
    void countOverrun(DWORD commErrors) {
        if ((commErrors & (CE_OVERRUN | CE_RXOVER)) != 0) ++overruns_;
    }

    // Bytes read (0 when nothing came, or the read failed in a way that passes); -1 when the
    // port is gone.
    int readSome(std::uint8_t* into, DWORD wanted) {
        if (!beginRead()) return 0;
        DWORD got = 0;
        const auto started = std::chrono::steady_clock::now();
        const bool ok = ::ReadFile(handle_, into, wanted, &got, nullptr) != FALSE;
        const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        endRead();
        if (isInterrupted()) return ok ? static_cast<int>(got) : 0;
        if (ok) {
            if (fruitless_.lost(static_cast<int>(got), took)) return -1;
            if (got == 0 && took < FruitlessReads::kAtOnce) pauseAfterFailedRead();
            return static_cast<int>(got);
        }
        switch (judgeFailedRead(failedRead(error))) {
            case AfterFailedRead::ReadAgain:
                return 0;
            case AfterFailedRead::PauseThenReadAgain:
                if (fruitless_.lost(0, took, true)) return -1;
                pauseAfterFailedRead();
                return 0;
            case AfterFailedRead::PortLost:
                break;
        }
        return -1;
    }

    // So that a port that keeps failing does not spin; interruptWait ends it.
    void pauseAfterFailedRead() { ::WaitForSingleObject(wake_, kFailedReadPauseMs); }

    FailedRead failedRead(DWORD readError) {
        FailedRead failure;
        failure.readError = readError;
        COMSTAT status{};
        failure.statusAnswered = ::ClearCommError(handle_, &failure.commErrors, &status) != FALSE;
        countOverrun(failure.commErrors);
        failure.statusWorks = statusWorks_;
        const std::wstring name = dosDeviceName(win32DeviceName(device_));
        if (!name.empty()) {
            wchar_t target[MAX_PATH];
            failure.deviceListed = ::QueryDosDeviceW(name.c_str(), target, MAX_PATH) != 0;
        }
        return failure;
    }

    // Registers this thread as the reader, so interruptWait can cancel its read; false when
    // the port has been interrupted.
    bool beginRead() {
        std::lock_guard lock(mutex_);
        if (interrupted_) return false;
        const DWORD self = ::GetCurrentThreadId();
        if (reader_ == nullptr || readerId_ != self) {
            if (reader_ != nullptr) ::CloseHandle(reader_);
            reader_ = nullptr;
            ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                              &reader_, 0, FALSE, DUPLICATE_SAME_ACCESS);
            readerId_ = self;
        }
        reading_ = true;
        return true;
    }

    void endRead() {
        {
            std::lock_guard lock(mutex_);
            reading_ = false;
        }
        readEnded_.notify_all();
    }

    bool isInterrupted() {
        std::lock_guard lock(mutex_);
        return interrupted_;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::int64_t overruns_ = 0;
    std::string device_;
    bool statusWorks_ = false;
    FruitlessReads fruitless_;
    std::optional<std::uint8_t> pushback_;

    // Shared with other threads: interruptWait, problem().
    mutable std::mutex mutex_;
    std::string problem_;
    std::condition_variable readEnded_;
    bool interrupted_ = false;
    bool reading_ = false;
    HANDLE reader_ = nullptr;  // the reading thread, for CancelSynchronousIo
    DWORD readerId_ = 0;
    HANDLE wake_;  // set by interruptWait: ends a pause between failed reads
};

}  // namespace

std::string win32DeviceName(const std::string& device) {
    return isComName(device) ? "\\\\.\\" + device : device;
}

DCB dcbFor(DCB current, const LineSettings& line) {
    current.BaudRate = static_cast<DWORD>(line.bitRate);
    current.ByteSize = static_cast<BYTE>(line.dataBits);
    current.Parity = parityCode(line.parity, current.Parity);
    current.fParity = line.parity == Parity::None ? FALSE : TRUE;
    current.StopBits = stopBitsCode(line.stopBits, current.StopBits);
    return current;
}

LineOutcome applyLineFields(const DCB& current, const LineSettings& line,
                            const std::function<bool(const DCB&)>& setState) {
    const DCB wanted = dcbFor(current, line);
    if (setState(wanted)) return {wanted, {}};
    LineOutcome outcome{current, {}};
    for (const LineField field :
         {LineField::BitRate, LineField::Parity, LineField::DataBits, LineField::StopBits}) {
        if (sameField(outcome.applied, wanted, field)) continue;
        DCB attempt = withField(outcome.applied, wanted, field);
        if (field == LineField::DataBits && line.stopBits != StopBits::AsRead) {
            attempt.StopBits = ONESTOPBIT;
        }
        if (setState(attempt)) {
            outcome.applied = attempt;
        } else {
            outcome.refused.push_back(field);
        }
    }
    return outcome;
}

const PortSystem kThisPortSystem = PortSystem::Windows;

// A COM port that is there but held by another program refuses access.
PortProblem portProblemFor(SystemError error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PortProblem::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return PortProblem::InUse;
        default:
            return PortProblem::Other;
    }
}

std::string systemErrorText(SystemError error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (length > 0 && buffer != nullptr) message = trimmedMessage(wideToUtf8({buffer, length}));
    if (buffer != nullptr) ::LocalFree(buffer);
    const std::string code = "(ｴﾗｰ " + std::to_string(error) + ")";
    return message.empty() ? code : message + " " + code;
}

AfterFailedRead judgeFailedRead(const FailedRead& failure) {
    if (!failure.deviceListed || deviceGoneError(failure.readError)) {
        return AfterFailedRead::PortLost;
    }
    if (!failure.statusAnswered) {
        return failure.statusWorks ? AfterFailedRead::PortLost
                                   : AfterFailedRead::PauseThenReadAgain;
    }
    // The error that aborted the read is cleared now; the next read gets what follows.
    if ((failure.commErrors & kLineErrors) != 0) return AfterFailedRead::ReadAgain;
    return AfterFailedRead::PauseThenReadAgain;
}

bool FruitlessReads::lost(int bytes, std::chrono::milliseconds took, bool unexplainedFailure) {
    const bool fruitless = unexplainedFailure || (bytes <= 0 && took < kAtOnce);
    count_ = fruitless ? count_ + 1 : 0;
    return count_ >= kLimit;
}

std::unique_ptr<SerialPort> createSerialPort() {
    return std::make_unique<Win32SerialPort>();
}

std::string defaultPortDevice(std::int32_t comIndex) {
    return comPortName(comIndex);
}

}  // namespace vennick
