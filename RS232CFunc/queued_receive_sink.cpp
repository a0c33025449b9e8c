#include "RS232CFunc/queued_receive_sink.h"

namespace vennick {

void QueuedReceiveSink::push(Item item) {
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = items_.empty();
        items_.push_back(std::move(item));
    }
    if (wasEmpty) wake_();
}

bool QueuedReceiveSink::take(Item& item) {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    return true;
}

}  // namespace vennick
