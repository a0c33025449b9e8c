#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <variant>

#include "RS232CFunc/receive/line_event.h"

namespace vennick {

// Hands the receive thread's lines and status texts to the UI thread, in order. Lines are held
// back until the thread's burst ends, so a fast stream wakes the UI thread once per read from the
// port instead of once per line; a status text wakes it at once. `wake` runs on the receive
// thread; the UI thread then takes items until none is left.
//
// What waits stays bounded whatever the device sends: lines with text are bounded by the
// reception limit, and consecutive lines without text (EOTs alone, lines of spaces, noise) are
// merged into at most two waiting events that carry their counts and EOTs.
class QueuedReceiveSink : public ReceiveSink {
public:
    using Item = std::variant<LineEvent, std::string>;  // a line, or a status text

    explicit QueuedReceiveSink(std::function<void()> wake) : wake_(std::move(wake)) {}

    void lineReceived(LineEvent event) override;
    void statusReported(std::string text) override { push(std::move(text), true); }
    void burstEnded() override;

    // UI thread: the oldest waiting item, or false when none is waiting.
    bool take(Item& item);
    // UI thread, when it goes away: no wake is called from now on, and nothing more is kept.
    void disconnect();

    std::size_t waitingItems() const;

private:
    void push(Item item, bool wakeNow);
    // Under the lock: merges a line without text into the waiting one before it, if any.
    bool merged(const LineEvent& event);
    // Under the lock: whether this caller must wake the UI thread.
    bool claimWake();

    std::function<void()> wake_;  // empty once disconnected
    mutable std::mutex mutex_;
    std::deque<Item> items_;
    bool woken_ = false;  // a wake is on its way and the UI thread has not emptied the queue
};

}  // namespace vennick
