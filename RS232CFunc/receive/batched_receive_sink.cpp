#include "RS232CFunc/receive/batched_receive_sink.h"

#include <utility>

#include "RS232CFunc/state/run_state.h"

namespace vennick {
namespace {

bool textless(const LineEvent* line) {
    return line != nullptr && line->text.empty();
}

}  // namespace

// Lines without text add up exactly while no write is requested among them, that is up to and
// including the first EOT; the one event after such an EOT-ended one takes all the rest, EOTs
// too: the list has been written (or the write asked for) by then, so their writes find nothing
// new and only their counts and whether an EOT was among them matter.
bool BatchedReceiveSink::merged(const LineEvent& event) {
    if (!event.text.empty() || burst_.empty()) return false;
    LineEvent& waiting = burst_.back();
    if (!waiting.text.empty()) return false;
    const LineEvent* before = burst_.size() > 1 ? &burst_[burst_.size() - 2] : nullptr;
    if (waiting.endedByEot && (!textless(before) || !before->endedByEot)) return false;
    waiting.bytesReceived = addWrapping(waiting.bytesReceived, event.bytesReceived);
    waiting.charsAccepted = addWrapping(waiting.charsAccepted, event.charsAccepted);
    waiting.endedByEot = waiting.endedByEot || event.endedByEot;
    return true;
}

void BatchedReceiveSink::lineReceived(LineEvent event) {
    if (!merged(event)) burst_.push_back(std::move(event));
}

void BatchedReceiveSink::statusReported(std::string text) {
    burstEnded();  // the lines before it come first
    const std::lock_guard lock(mutex_);
    if (connected_) state_.reportStatus(std::move(text));
}

void BatchedReceiveSink::burstEnded() {
    if (burst_.empty()) return;
    {
        const std::lock_guard lock(mutex_);
        if (connected_) state_.receive(burst_);
    }
    burst_.clear();
}

bool BatchedReceiveSink::waitForRoom(int timeoutMs) {
    const std::lock_guard lock(mutex_);
    return !connected_ || state_.waitForRoom(timeoutMs);
}

// Not under the mutex: a wait for room holds it, and this is what ends that wait.
void BatchedReceiveSink::stopWaiting() {
    state_.stopWaiting();
}

void BatchedReceiveSink::disconnect() {
    const std::lock_guard lock(mutex_);
    connected_ = false;
}

}  // namespace vennick
