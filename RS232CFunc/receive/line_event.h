#pragma once

#include <cstdint>
#include <string>

namespace vennick {

// What the receive thread hands on for each finished line.
struct LineEvent {
    std::string text;                // trimmed; empty lines are still events (EOT, counters)
    std::int32_t bytesReceived = 0;  // bytes obtained during this line
    std::int32_t charsAccepted = 0;  // characters stored during this line
    bool endedByEot = false;
};

// Where the receive thread's lines go. Called on the receive thread.
class ReceiveSink {
public:
    virtual ~ReceiveSink() = default;
    virtual void lineReceived(LineEvent event) = 0;
    // A reception condition for the status line (port lost, port back, overrun).
    virtual void statusReported(std::string text) = 0;
    // The thread has handed on all it has and is about to wait for the port: a sink that holds
    // lines back to hand them on in batches must pass them on now.
    virtual void burstEnded() {}
    // Before the thread reads on: true when the lines can be taken; otherwise waits up to
    // `timeoutMs` for room (or for stopWaiting()) and says whether there is room now.
    virtual bool waitForRoom(int /*timeoutMs*/) { return true; }
    // Any thread: a waitForRoom() under way returns.
    virtual void stopWaiting() {}
};

}  // namespace vennick
