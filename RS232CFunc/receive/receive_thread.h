#pragma once

#include <memory>
#include <string>
#include <thread>

#include "RS232CFunc/port/serial_port.h"
#include "RS232CFunc/receive/line_event.h"
#include "RS232CFunc/receive/line_framer.h"

namespace vennick {

// The receive thread: reads the open port without pause, frames lines and hands them to the
// sink, whatever the window, the list or the log directory are doing: an instrument never waits,
// and what the port's few-KB queue cannot hold is lost. It stops reading only while the sink can
// take no more. Survives a lost port by reporting it and reopening the same device once a
// second; an overrun the driver reports goes to the status line.
//
// The thread shares ownership of the port and the sink, so that a thread still inside a platform
// call when its owner goes away never touches freed state; its owner waits for it only a bounded
// time.
class TMyThread {
public:
    struct Options {
        std::string device;  // what to reopen after the port was lost
        LineSettings line;
        int reconnectIntervalMs = 1000;
        // How long a wait for input, or for room in the sink, lasts before the stop is looked at
        // again (a stop also ends them at once).
        int idleWaitMs = 500;
        int roomWaitMs = 500;
        // How often the driver's overrun count is looked at while lines arrive.
        int overrunCheckMs = 1000;
        // How long the destructor waits for the thread before letting it go.
        int joinTimeoutMs = 2000;
    };

    TMyThread(std::unique_ptr<SerialPort> openedPort, Options options,
              std::shared_ptr<ReceiveSink> sink);
    // Requests the stop and waits for the thread up to the join time-out.
    ~TMyThread();

    TMyThread(const TMyThread&) = delete;
    TMyThread& operator=(const TMyThread&) = delete;

    void start();
    // Sets the stop request and wakes every wait of the thread (the port's, the sink's, the
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
