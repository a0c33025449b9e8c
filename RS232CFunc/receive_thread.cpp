#include "RS232CFunc/receive_thread.h"

#include <array>
#include <chrono>
#include <optional>

namespace vennick {
namespace {

// How long one wait between lines or at the limit may last: the stop request is looked at
// after each.
constexpr int kIdleWaitMs = 500;
constexpr int kLimitWaitMs = 500;
constexpr int kSettleWaitMs = 20;

constexpr const char* kPortLost = "RS232Cﾎﾟｰﾄが切断されました。再接続を待っています...";
constexpr const char* kPortBack = "RS232Cﾎﾟｰﾄに再接続しました。";

std::string limitText() {
    return "Line が " + std::to_string(LineGate::kLimit) + " を超えました。";
}

// Feeds the framer from the port: one read takes everything waiting, the framer then gets it a
// byte at a time, and what a line leaves over stays for the next line.
class PortByteSource final : public ByteSource {
public:
    PortByteSource(SerialPort& port, const std::atomic<bool>& stop, ReceiveSink& sink)
        : port_(port), stop_(stop), sink_(sink) {}

    std::optional<std::uint8_t> readByte() override {
        if (next_ == end_ && !refill()) return std::nullopt;
        return buffer_[next_++];
    }

    bool abandoned() const override { return lost_ || stop_.load(); }

    bool hasBytes() const { return next_ < end_; }
    bool lost() const { return lost_; }
    void restart() {
        next_ = end_ = 0;
        lost_ = false;
    }

private:
    bool refill() {
        if (lost_ || stop_.load()) return false;
        sink_.burstEnded();  // the read may wait: the lines framed so far must not
        const int got = port_.read(buffer_);
        if (got < 0) lost_ = true;
        next_ = 0;
        end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        return got > 0;
    }

    SerialPort& port_;
    const std::atomic<bool>& stop_;
    ReceiveSink& sink_;
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t next_ = 0;
    std::size_t end_ = 0;
    bool lost_ = false;
};

bool carriesSomething(const FramedLine& line) {
    return !line.text.empty() || line.bytesReceived > 0 || line.charsAccepted > 0;
}

}  // namespace

// LineGate ------------------------------------------------------------------------------------

void LineGate::publish(int lineCount) {
    {
        std::lock_guard lock(mutex_);
        published_.store(lineCount);
    }
    changed_.notify_all();
}

void LineGate::lineApplied() {
    {
        std::lock_guard lock(mutex_);
        inFlight_.fetch_sub(1);
    }
    changed_.notify_all();
}

bool LineGate::overLimit() const {
    // In-flight first: the UI thread publishes a count that includes a line before it takes
    // the line out of flight, so this order can count a line twice but never miss it.
    const int inFlight = inFlight_.load();
    return published_.load() + inFlight > kLimit;
}

void LineGate::linePosted() {
    inFlight_.fetch_add(1);
}

void LineGate::waitBelowLimit(const std::atomic<bool>& stop, int timeoutMs) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return !overLimit() || stop.load(); });
}

// TMyThread -----------------------------------------------------------------------------------

TMyThread::TMyThread(std::unique_ptr<SerialPort> openedPort, Options options, ReceiveSink& sink,
                     LineGate& gate)
    : port_(std::move(openedPort)), options_(std::move(options)), sink_(sink), gate_(gate) {}

TMyThread::~TMyThread() {
    requestStop();
    if (thread_.joinable()) thread_.join();
}

void TMyThread::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void TMyThread::requestStop() {
    {
        std::lock_guard lock(stopMutex_);
        stop_.store(true);
    }
    stopChanged_.notify_all();
}

void TMyThread::run() {
    LineFramer framer;
    PortByteSource source(*port_, stop_, sink_);
    bool limitReported = false;
    while (!stop_.load()) {
        if (!source.hasBytes()) {
            sink_.burstEnded();
            const SerialPort::Wait wait = port_->waitForInput(kIdleWaitMs);
            if (wait == SerialPort::Wait::TimedOut) continue;
            if (wait == SerialPort::Wait::Failed) {
                recoverPort(FramedLine{});
                source.restart();
                continue;
            }
        }
        // Input is waiting; it stays where it is while the buffer is over the limit. Lines
        // still in flight settle within moments; a full buffer waits for the operator.
        if (gate_.overLimit()) {
            if (!limitReported && gate_.bufferOverLimit()) {
                sink_.statusReported(limitText());
                limitReported = true;
            }
            sink_.burstEnded();  // the lines that fill the buffer must reach it
            gate_.waitBelowLimit(stop_, limitReported ? kLimitWaitMs : kSettleWaitMs);
            continue;
        }
        limitReported = false;
        const FramedLine line = framer.readLine(source);
        if (!line.abandoned) {
            post(line);
        } else if (source.lost()) {
            recoverPort(line);
            source.restart();
        }  // else a stop: the window is going away and takes no more lines
    }
}

void TMyThread::post(const FramedLine& line) {
    if (!line.text.empty()) gate_.linePosted();
    sink_.lineReceived(
        LineEvent{line.text, line.bytesReceived, line.charsAccepted, line.endedByEot});
}

void TMyThread::recoverPort(const FramedLine& cutOff) {
    // The piece received before the failure is a line of its own, never glued to what comes
    // after the reconnection.
    if (carriesSomething(cutOff)) post(cutOff);
    sink_.statusReported(kPortLost);
    port_->close();
    while (!stopRequestedWithin(options_.reconnectIntervalMs)) {
        if (reopen()) {
            sink_.statusReported(kPortBack);
            return;
        }
    }
}

bool TMyThread::reopen() {
    if (!port_->open(options_.device)) return false;
    port_->applyLineSettings(options_.line);
    port_->applyTimeouts();
    return true;
}

bool TMyThread::stopRequestedWithin(int ms) {
    std::unique_lock lock(stopMutex_);
    return stopChanged_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
}

}  // namespace vennick
