#include "RS232CFunc/receive/queued_receive_sink.h"

namespace vennick {
namespace {

// The counters are signed 32-bit and wrap, as the run state's do.
std::int32_t addWrapping(std::int32_t count, std::int32_t amount) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) +
                                     static_cast<std::uint32_t>(amount));
}

const LineEvent* textless(const QueuedReceiveSink::Item& item) {
    const auto* line = std::get_if<LineEvent>(&item);
    return line != nullptr && line->text.empty() ? line : nullptr;
}

}  // namespace

bool QueuedReceiveSink::claimWake() {
    if (woken_ || items_.empty() || !wake_) return false;
    woken_ = true;
    return true;
}

// Lines without text add up exactly while no write is requested among them, that is up to and
// including the first EOT; the one event after such an EOT-ended one takes all the rest, EOTs
// too: the buffer has been written by then, so their writes find nothing and only their counts
// and whether an EOT was among them matter.
bool QueuedReceiveSink::merged(const LineEvent& event) {
    if (!event.text.empty() || items_.empty()) return false;
    auto* waiting = std::get_if<LineEvent>(&items_.back());
    if (waiting == nullptr || !waiting->text.empty()) return false;
    const LineEvent* before = items_.size() > 1 ? textless(items_[items_.size() - 2]) : nullptr;
    if (waiting->endedByEot && (before == nullptr || !before->endedByEot)) return false;
    waiting->bytesReceived = addWrapping(waiting->bytesReceived, event.bytesReceived);
    waiting->charsAccepted = addWrapping(waiting->charsAccepted, event.charsAccepted);
    waiting->endedByEot = waiting->endedByEot || event.endedByEot;
    return true;
}

void QueuedReceiveSink::lineReceived(LineEvent event) {
    std::lock_guard lock(mutex_);
    if (wake_ && !merged(event)) items_.push_back(std::move(event));
}

void QueuedReceiveSink::push(Item item, bool wakeNow) {
    std::lock_guard lock(mutex_);
    if (!wake_) return;
    items_.push_back(std::move(item));
    // Under the lock, so that disconnect() returns only once no wake can run any more.
    if (wakeNow && claimWake()) wake_();
}

void QueuedReceiveSink::burstEnded() {
    std::lock_guard lock(mutex_);
    if (claimWake()) wake_();
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

void QueuedReceiveSink::disconnect() {
    std::lock_guard lock(mutex_);
    wake_ = nullptr;
    items_.clear();
}

std::size_t QueuedReceiveSink::waitingItems() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace vennick
