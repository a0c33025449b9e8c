#pragma once

#include <cstdint>
#include <string>

namespace vennick {

// The counters are signed 32-bit; a very long run without a write wraps instead of overflowing.
inline std::int32_t addWrapping(std::int32_t count, std::int32_t amount) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) +
                                     static_cast<std::uint32_t>(amount));
}

inline std::int32_t subtractWrapping(std::int32_t count, std::int32_t amount) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) -
                                     static_cast<std::uint32_t>(amount));
}

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
