#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "RS232CFunc/port/serial_port.h"

namespace vennick::test {

// The far end of a ScriptedSerialPort: what the test sends is what the receive thread reads.
// Plain threads and no device, so the window tests run on every system.
class ScriptedLine {
public:
    void send(std::string_view bytes) {
        {
            std::lock_guard lock(mutex_);
            waiting_ += bytes;
        }
        changed_.notify_all();
    }

    int bytesWaiting() {
        std::lock_guard lock(mutex_);
        return static_cast<int>(waiting_.size());
    }

    bool waitForInput(int timeoutMs) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return !waiting_.empty() || interrupted_;
        }) && !waiting_.empty();
    }

    int read(std::span<std::uint8_t> into, int timeoutMs) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return !waiting_.empty() || interrupted_; });
        interrupted_ = false;
        const std::size_t count = std::min(into.size(), waiting_.size());
        std::memcpy(into.data(), waiting_.data(), count);
        waiting_.erase(0, count);
        return static_cast<int>(count);
    }

    void interrupt() {
        {
            std::lock_guard lock(mutex_);
            interrupted_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string waiting_;
    bool interrupted_ = false;
};

class ScriptedSerialPort : public SerialPort {
public:
    explicit ScriptedSerialPort(std::shared_ptr<ScriptedLine> line) : line_(std::move(line)) {}

    bool open(const std::string& /*device*/) override { return open_ = true; }
    bool isOpen() const override { return open_; }
    void close() override { open_ = false; }
    void applyLineSettings(const LineSettings& /*settings*/) override {}
    void applyTimeouts() override {}
    int bytesWaiting() override { return line_->bytesWaiting(); }
    Wait waitForInput(int timeoutMs) override {
        return line_->waitForInput(timeoutMs) ? Wait::Ready : Wait::TimedOut;
    }
    int read(std::span<std::uint8_t> into) override { return line_->read(into, kReadTimeoutMs); }
    void interruptWait() override { line_->interrupt(); }

private:
    static constexpr int kReadTimeoutMs = 510;
    std::shared_ptr<ScriptedLine> line_;
    bool open_ = false;
};

}  // namespace vennick::test
