#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "RS232CFunc/receive/line_event.h"

namespace vennick {

// A received line that found the list full, numbered in arrival order from 1.
struct WaitingLine {
    std::uint64_t number = 0;
    LineEvent event;
};

// The lines that wait beyond the list, oldest first. Used with the run state locked.
class WaitingQueue {
public:
    virtual ~WaitingQueue() = default;

    virtual bool empty() const = 0;
    virtual void push(LineEvent event) = 0;
    // The oldest line, when it can be had at once; nothing when none waits or when it is still
    // on its way back from the disk (the queue then says so through its own channel).
    virtual std::optional<WaitingLine> pop() = 0;
    // False once the queue holds all it can: reception then waits until lines leave it.
    virtual bool hasRoom() const = 0;
    // A queue that brings lines back from the disk, or makes room, on a thread of its own calls
    // `ready` then (not under the run state's lock); nullptr detaches it.
    virtual void setReadyHandler(std::function<void()> /*ready*/) {}
};

// A queue in memory alone, for a run without a journal: it holds up to `limitBytes` of lines.
class MemoryWaitingQueue : public WaitingQueue {
public:
    static constexpr std::size_t kDefaultLimitBytes = 24 * 1024 * 1024;

    explicit MemoryWaitingQueue(std::size_t limitBytes = kDefaultLimitBytes)
        : limitBytes_(limitBytes) {}

    bool empty() const override { return lines_.empty(); }
    void push(LineEvent event) override;
    std::optional<WaitingLine> pop() override;
    bool hasRoom() const override { return bytes_ < limitBytes_; }

private:
    std::size_t limitBytes_;
    std::size_t bytes_ = 0;
    std::uint64_t next_ = 1;
    std::deque<WaitingLine> lines_;
};

// What a waiting line costs in memory, roughly: its text and what holds it.
std::size_t memoryCost(const LineEvent& event);

}  // namespace vennick
