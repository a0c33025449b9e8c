#include "RS232CFunc/queued_receive_sink.h"

namespace vennick {

bool QueuedReceiveSink::claimWake() {
    if (woken_ || items_.empty()) return false;
    woken_ = true;
    return true;
}

void QueuedReceiveSink::push(Item item, bool wakeNow) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        wake = wakeNow && claimWake();
    }
    if (wake) wake_();
}

void QueuedReceiveSink::burstEnded() {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        wake = claimWake();
    }
    if (wake) wake_();
}

bool QueuedReceiveSink::take(Item& item) {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    // Emptied: whatever comes next needs a wake of its own, also while this item is being
    // applied (a modal box on the UI thread keeps taking items in its own loop).
    if (items_.empty()) woken_ = false;
    return true;
}

}  // namespace vennick
