#include "RS232CFunc/receive/receive_thread.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <span>

namespace vennick {
namespace {

constexpr const char* kPortLost = "RS232Cﾎﾟｰﾄが切断されました。再接続を待っています...";
constexpr const char* kPortBack = "RS232Cﾎﾟｰﾄに再接続しました。";

std::string overrunText(std::int64_t overruns) {
    return "受信ﾃﾞｰﾀが失われました (ｵｰﾊﾞｰﾗﾝ " + std::to_string(overruns) + " 回)。";
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

}  // namespace

// TMyThread::Worker ---------------------------------------------------------------------------

// Everything the thread uses, kept alive by the thread itself as long as it runs.
class TMyThread::Worker {
public:
    Worker(std::unique_ptr<SerialPort> port, Options options, std::shared_ptr<ReceiveSink> sink)
        : port_(std::move(port)), options_(std::move(options)), sink_(std::move(sink)) {}

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
    // Between reads from the port: the sink takes the lines read so far, the driver's overruns
    // are looked at now and then, and reading waits while the sink has no room.
    bool readyToRead();
    void reportNewOverruns();
    // Waits up to `ms`; true when a stop was requested.
    bool stopRequestedWithin(int ms);

    const std::unique_ptr<SerialPort> port_;
    const Options options_;
    const std::shared_ptr<ReceiveSink> sink_;
    std::atomic<bool> stop_{false};
    std::int64_t overrunsReported_ = 0;
    std::chrono::steady_clock::time_point overrunsChecked_{};
    std::mutex mutex_;
    std::condition_variable changed_;  // the stop request, or the end of run()
    bool finished_ = false;
};

void TMyThread::Worker::run() {
    LineFramer framer;
    PortByteSource source(*port_, stop_, *sink_);
    overrunsReported_ = port_->overruns();
    while (!stop_.load()) {
        if (!source.hasBytes()) {
            if (!readyToRead()) continue;
            const SerialPort::Wait wait = port_->waitForInput(options_.idleWaitMs);
            if (wait == SerialPort::Wait::TimedOut) continue;
            if (wait == SerialPort::Wait::Failed) {
                recoverPort(FramedLine{});
                source.restart();
                continue;
            }
        }
        const FramedLine line = framer.readLine(source);
        if (!line.abandoned) {
            post(line);
        } else if (source.lost()) {
            recoverPort(line);
            source.restart();
        }  // else a stop: the line is cut off
    }
    sink_->burstEnded();  // the lines read before the stop are the window's
}

bool TMyThread::Worker::readyToRead() {
    sink_->burstEnded();
    reportNewOverruns();
    return sink_->waitForRoom(0) || sink_->waitForRoom(options_.roomWaitMs);
}

void TMyThread::Worker::reportNewOverruns() {
    const auto now = std::chrono::steady_clock::now();
    if (now - overrunsChecked_ < std::chrono::milliseconds(options_.overrunCheckMs)) return;
    overrunsChecked_ = now;
    const std::int64_t overruns = port_->overruns();
    if (overruns <= overrunsReported_) return;
    overrunsReported_ = overruns;
    sink_->statusReported(overrunText(overruns));
}

void TMyThread::Worker::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    changed_.notify_all();
    sink_->stopWaiting();
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
    sink_->lineReceived(
        LineEvent{line.text, line.bytesReceived, line.charsAccepted, line.endedByEot});
}

void TMyThread::Worker::recoverPort(const FramedLine& cutOff) {
    // A line ends only at a line end or an EOT: the piece received before the failure is no
    // reading (a collector could not tell "12.3" of a cut-off "12.345" from a real one). Its
    // bytes were received and its characters kept, so they still count.
    if (cutOff.bytesReceived > 0 || cutOff.charsAccepted > 0) {
        post(FramedLine{.text = {},
                        .bytesReceived = cutOff.bytesReceived,
                        .charsAccepted = cutOff.charsAccepted,
                        .endedByEot = false,
                        .abandoned = false});
    }
    sink_->statusReported(kPortLost);
    port_->close();
    while (!stopRequestedWithin(options_.reconnectIntervalMs)) {
        if (!port_->open(options_.device)) continue;
        const std::string refused = configurePort(*port_, options_.line);
        sink_->statusReported(kPortBack);
        if (!refused.empty()) sink_->statusReported(refused);  // after the news, so it stays
        return;
    }
}

bool TMyThread::Worker::stopRequestedWithin(int ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
}

// TMyThread -----------------------------------------------------------------------------------

TMyThread::TMyThread(std::unique_ptr<SerialPort> openedPort, Options options,
                     std::shared_ptr<ReceiveSink> sink)
    : worker_(
          std::make_shared<Worker>(std::move(openedPort), std::move(options), std::move(sink))) {}

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
