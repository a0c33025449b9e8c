#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <variant>

#include "RS232CFunc/line_event.h"

namespace vennick {

// Hands the receive thread's lines and status texts to the UI thread, in order. The receive
// thread pushes; `wake` is called once whenever the queue stops being empty, and the UI thread
// then takes everything that is waiting.
class QueuedReceiveSink : public ReceiveSink {
public:
    using Item = std::variant<LineEvent, std::string>;  // a line, or a status text

    explicit QueuedReceiveSink(std::function<void()> wake) : wake_(std::move(wake)) {}

    void lineReceived(LineEvent event) override { push(std::move(event)); }
    void statusReported(std::string text) override { push(std::move(text)); }

    // UI thread: the oldest waiting item, or false when none is waiting.
    bool take(Item& item);

private:
    void push(Item item);

    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<Item> items_;
};

}  // namespace vennick
