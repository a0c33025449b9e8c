#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "RS232CFunc/receive/line_event.h"

namespace vennick {

class RunState;

// Hands the lines of each read from the port to the run state at once, under one lock, when the
// receive thread's burst ends. Consecutive lines without text (EOTs alone, lines of spaces,
// noise) are merged while that changes nothing the run state does with them, so that a stream
// of them makes few events.
class BatchedReceiveSink : public ReceiveSink {
public:
    explicit BatchedReceiveSink(RunState& state) : state_(state) {}

    void lineReceived(LineEvent event) override;
    void statusReported(std::string text) override;
    void burstEnded() override;
    bool waitForRoom(int timeoutMs) override;
    // From the owner of the receive thread, while the run state is there.
    void stopWaiting() override;

    // The window goes away: from now on nothing reaches the run state (a receive thread that
    // was let go may still be running).
    void disconnect();

private:
    bool merged(const LineEvent& event);

    RunState& state_;
    std::mutex mutex_;  // around every use of state_ but stopWaiting()
    bool connected_ = true;
    std::vector<LineEvent> burst_;
};

}  // namespace vennick
