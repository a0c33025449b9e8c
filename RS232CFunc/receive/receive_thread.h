#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "RS232CFunc/receive/line_event.h"
#include "RS232CFunc/receive/line_framer.h"
#include "RS232CFunc/port/serial_port.h"

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
    // Any thread: the counts changed or `stop` has been set; the wait above must see it now.
    void wakeWaiters();

private:
    std::atomic<int> published_{0};
    std::atomic<int> inFlight_{0};
    std::atomic<int> waiters_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
};

// The receive thread: watches the open port, frames lines and hands each to the sink. Survives
// a lost port by reporting it and reopening the same device once a second.
//
// The thread shares ownership of the port, the sink and the gate, so that a thread still inside
// a platform call when its owner goes away never touches freed state; its owner waits for it
// only a bounded time.
class TMyThread {
public:
    struct Options {
        std::string device;  // what to reopen after the port was lost
        LineSettings line;
        int reconnectIntervalMs = 1000;
        // How long a wait for input, or at the limit, lasts before the stop is looked at again
        // (a stop also ends them at once).
        int idleWaitMs = 500;
        int limitWaitMs = 500;
        // How long the destructor waits for the thread before letting it go.
        int joinTimeoutMs = 2000;
    };

    TMyThread(std::unique_ptr<SerialPort> openedPort, Options options,
              std::shared_ptr<ReceiveSink> sink, std::shared_ptr<LineGate> gate);
    // Requests the stop and waits for the thread up to the join time-out.
    ~TMyThread();

    TMyThread(const TMyThread&) = delete;
    TMyThread& operator=(const TMyThread&) = delete;

    void start();
    // Sets the stop request and wakes every wait of the thread (the port's, the limit's, the
    // reconnection's); the thread ends at once unless a platform call keeps it.
    void requestStop();
    // Requests the stop and waits up to `timeoutMs` for the thread to end; true when it has.
    bool stopAndWait(int timeoutMs);

private:
    class Worker;

    std::shared_ptr<Worker> worker_;
    std::thread thread_;
};

}  // namespace vennick
