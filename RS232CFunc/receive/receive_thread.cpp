#include "RS232CFunc/receive/receive_thread.h"

#include <array>
#include <chrono>
#include <optional>
#include <span>

namespace vennick {
namespace {

constexpr int kSettleWaitMs = 20;  // lines in flight reach the buffer within moments

constexpr const char* kPortLost = "RS232Cﾎﾟｰﾄが切断されました。再接続を待っています...";
constexpr const char* kPortBack = "RS232Cﾎﾟｰﾄに再接続しました。";

std::string limitText() {
    return "Line が " + std::to_string(LineGate::kLimit) + " を超えました。";
}

// Feeds the framer from the port: one read takes everything waiting, the framer scans it from
// the buffer, and what a line leaves over stays for the next line.
class PortByteSource final : public ByteSource {
public:
    PortByteSource(SerialPort& port, const std::atomic<bool>& stop, ReceiveSink& sink)
        : port_(port), stop_(stop), sink_(sink) {}

    std::optional<std::uint8_t> readByte() override {
        if (next_ == end_ && !refill()) return std::nullopt;
        return buffer_[next_++];
    }

    bool abandoned() const override { return lost_ || stop_.load(); }

    std::span<const std::uint8_t> buffered() const override {
        return std::span(buffer_).subspan(next_, end_ - next_);
    }
    void consume(std::size_t count) override { next_ += count; }

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

// The UI thread publishes after every line: it takes the lock only when the receive thread
// waits. The waiter counts itself before it tests the counts and the publisher stores before it
// looks at the waiters (both sequentially consistent), so one of the two sees the other.
void LineGate::publish(int lineCount) {
    published_.store(lineCount);
    wakeWaiters();
}

void LineGate::lineApplied() {
    inFlight_.fetch_sub(1);
    wakeWaiters();
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
    waiters_.fetch_add(1);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return !overLimit() || stop.load(); });
    waiters_.fetch_sub(1);
}

void LineGate::wakeWaiters() {
    if (waiters_.load() == 0) return;
    {
        std::lock_guard lock(mutex_);  // the waiter is either before its test or waiting
    }
    changed_.notify_all();
}

// TMyThread::Worker ---------------------------------------------------------------------------

// Everything the thread uses, kept alive by the thread itself as long as it runs.
class TMyThread::Worker {
public:
    Worker(std::unique_ptr<SerialPort> port, Options options, std::shared_ptr<ReceiveSink> sink,
           std::shared_ptr<LineGate> gate)
        : port_(std::move(port)),
          options_(std::move(options)),
          sink_(std::move(sink)),
          gate_(std::move(gate)) {}

    void run();
    void requestStop();
    void markFinished();
    bool waitFinished(int timeoutMs);
    int joinTimeoutMs() const { return options_.joinTimeoutMs; }

private:
    void post(const FramedLine& line);
    // Reports the loss, then reopens the device once per interval until it is back or a stop
    // is requested. `cutOff` is the line the failure interrupted.
    void recoverPort(const FramedLine& cutOff);
    bool reopen();
    // Waits up to `ms`; true when a stop was requested.
    bool stopRequestedWithin(int ms);

    const std::unique_ptr<SerialPort> port_;
    const Options options_;
    const std::shared_ptr<ReceiveSink> sink_;
    const std::shared_ptr<LineGate> gate_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;  // the stop request, or the end of run()
    bool finished_ = false;
};

void TMyThread::Worker::run() {
    LineFramer framer;
    PortByteSource source(*port_, stop_, *sink_);
    bool limitReported = false;
    while (!stop_.load()) {
        if (!source.hasBytes()) {
            sink_->burstEnded();
            const SerialPort::Wait wait = port_->waitForInput(options_.idleWaitMs);
            if (wait == SerialPort::Wait::TimedOut) continue;
            if (wait == SerialPort::Wait::Failed) {
                recoverPort(FramedLine{});
                source.restart();
                continue;
            }
        }
        // Input is waiting; it stays where it is while the buffer is over the limit. Lines
        // still in flight settle within moments; a full buffer waits for the operator.
        if (gate_->overLimit()) {
            if (!limitReported && gate_->bufferOverLimit()) {
                sink_->statusReported(limitText());
                limitReported = true;
            }
            sink_->burstEnded();  // the lines that fill the buffer must reach it
            gate_->waitBelowLimit(stop_, limitReported ? options_.limitWaitMs : kSettleWaitMs);
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

void TMyThread::Worker::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    changed_.notify_all();
    gate_->wakeWaiters();
    port_->interruptWait();
}

void TMyThread::Worker::markFinished() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool TMyThread::Worker::waitFinished(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finished_; });
}

void TMyThread::Worker::post(const FramedLine& line) {
    if (!line.text.empty()) gate_->linePosted();
    sink_->lineReceived(
        LineEvent{line.text, line.bytesReceived, line.charsAccepted, line.endedByEot});
}

void TMyThread::Worker::recoverPort(const FramedLine& cutOff) {
    // The piece received before the failure is a line of its own, never glued to what comes
    // after the reconnection.
    if (carriesSomething(cutOff)) post(cutOff);
    sink_->statusReported(kPortLost);
    port_->close();
    while (!stopRequestedWithin(options_.reconnectIntervalMs)) {
        if (reopen()) {
            sink_->statusReported(kPortBack);
            return;
        }
    }
}

bool TMyThread::Worker::reopen() {
    if (!port_->open(options_.device)) return false;
    port_->applyLineSettings(options_.line);
    port_->applyTimeouts();
    return true;
}

bool TMyThread::Worker::stopRequestedWithin(int ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
}

// TMyThread -----------------------------------------------------------------------------------

TMyThread::TMyThread(std::unique_ptr<SerialPort> openedPort, Options options,
                     std::shared_ptr<ReceiveSink> sink, std::shared_ptr<LineGate> gate)
    : worker_(std::make_shared<Worker>(std::move(openedPort), std::move(options), std::move(sink),
                                       std::move(gate))) {}

TMyThread::~TMyThread() {
    if (!thread_.joinable()) return;
    if (stopAndWait(worker_->joinTimeoutMs())) {
        thread_.join();
    } else {
        thread_.detach();  // it holds what it uses; the process may end without it
    }
}

void TMyThread::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([worker = worker_] {
        worker->run();
        worker->markFinished();
    });
}

void TMyThread::requestStop() {
    worker_->requestStop();
}

bool TMyThread::stopAndWait(int timeoutMs) {
    requestStop();
    return !thread_.joinable() || worker_->waitFinished(timeoutMs);
}

}  // namespace vennick
