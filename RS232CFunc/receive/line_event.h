#pragma once

#include <cstdint>
#include <string>

namespace vennick {

// What the receive thread hands to the UI thread for each finished line.
struct LineEvent {
    std::string text;                // trimmed; empty lines are still events (EOT, counters)
    std::int32_t bytesReceived = 0;  // bytes obtained during this line
    std::int32_t charsAccepted = 0;  // characters stored during this line
    bool endedByEot = false;
};

// The window's side of the receive path. Called on the receive thread; implementations hand the
// calls over to the UI thread in order.
class ReceiveSink {
public:
    virtual ~ReceiveSink() = default;
    virtual void lineReceived(LineEvent event) = 0;
    // A reception condition for the status line (limit reached, port lost, port back).
    virtual void statusReported(std::string text) = 0;
    // The thread has handed over all it has and is about to wait for the port: a sink that holds
    // lines back to hand them over in batches must pass them on now.
    virtual void burstEnded() {}
};

}  // namespace vennick
