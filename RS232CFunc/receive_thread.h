#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "RS232CFunc/line_event.h"
#include "RS232CFunc/line_framer.h"
#include "RS232CFunc/serial_port.h"

namespace vennick {

// Keeps the reception limit exact without a lock around the buffer: the UI thread publishes the
// buffer's line count, the receive thread counts the lines it has handed over but the UI thread
// has not applied yet. Reading stops while the two together exceed 1000.
class LineGate {
public:
    static constexpr int kLimit = 1000;

    // UI thread ---------------------------------------------------------------------------
    void publish(int lineCount);
    // A handed-over line has reached the buffer (call after publishing the new count).
    void lineApplied();

    // Receive thread ----------------------------------------------------------------------
    bool overLimit() const;
    // The buffer itself, without the lines in flight, holds more than the limit.
    bool bufferOverLimit() const { return published_.load() > kLimit; }
    void linePosted();
    // Blocks until the limit is no longer exceeded, `stop` is set, or `timeoutMs` passes.
    void waitBelowLimit(const std::atomic<bool>& stop, int timeoutMs);

private:
    std::atomic<int> published_{0};
    std::atomic<int> inFlight_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
};

// The receive thread: watches the open port, frames lines and hands each to the sink. Survives
// a lost port by reporting it and reopening the same device once a second.
class TMyThread {
public:
    struct Options {
        std::string device;  // what to reopen after the port was lost
        LineSettings line;
        int reconnectIntervalMs = 1000;
    };

    TMyThread(std::unique_ptr<SerialPort> openedPort, Options options, ReceiveSink& sink,
              LineGate& gate);
    // Requests the stop and waits for the thread, which sees it within one read time-out.
    ~TMyThread();

    TMyThread(const TMyThread&) = delete;
    TMyThread& operator=(const TMyThread&) = delete;

    void start();
    void requestStop();

private:
    void run();
    void post(const FramedLine& line);
    // Reports the loss, then reopens the device once per interval until it is back or a stop
    // is requested. `cutOff` is the line the failure interrupted.
    void recoverPort(const FramedLine& cutOff);
    bool reopen();
    // Waits up to `ms`; true when a stop was requested.
    bool stopRequestedWithin(int ms);

    std::unique_ptr<SerialPort> port_;
    Options options_;
    ReceiveSink& sink_;
    LineGate& gate_;
    std::atomic<bool> stop_{false};
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    std::thread thread_;
};

}  // namespace vennick
