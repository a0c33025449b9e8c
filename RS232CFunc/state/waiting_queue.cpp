#include "RS232CFunc/state/waiting_queue.h"

#include <utility>

namespace vennick {

std::size_t memoryCost(const LineEvent& event) {
    return sizeof(WaitingLine) + event.text.capacity();
}

void MemoryWaitingQueue::push(LineEvent event) {
    bytes_ += memoryCost(event);
    lines_.push_back({next_++, std::move(event)});
}

std::optional<WaitingLine> MemoryWaitingQueue::pop() {
    if (lines_.empty()) return std::nullopt;
    WaitingLine line = std::move(lines_.front());
    lines_.pop_front();
    bytes_ -= memoryCost(line.event);
    return line;
}

}  // namespace vennick
