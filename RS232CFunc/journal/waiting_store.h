#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "RS232CFunc/journal/journal_file.h"
#include "RS232CFunc/state/waiting_queue.h"

namespace vennick {

// The lines that wait beyond the list, kept as safe as the list: each is on the disk, beside the
// journal (never in the log directory), within `flushDelay` of its arrival, in segment files
// "<journal name>.W<number>" that go once the journal has on its disk that their lines entered
// the list. Memory holds the oldest lines and the newest not yet written; the rest is read back
// when the list gets to it, so memory stays bounded however much waits. A thread of its own does
// the disk work; reception never waits for it, except once the disk bound is reached.
class WaitingStore : public WaitingQueue {
public:
    struct Limits {
        std::chrono::milliseconds flushDelay{50};
        std::uint64_t segmentBytes = 4 * 1024 * 1024;
        std::uint64_t diskBytes = 1024ull * 1024 * 1024;  // past it, reception waits
        std::size_t memoryBytes = 16 * 1024 * 1024;       // lines beyond it live on the disk
    };

    // The store beside `journalPath`. Lines up to number `taken` are in the journal or written;
    // `durableTaken` says (on the store's thread) how far that is on the journal's disk.
    static std::unique_ptr<WaitingStore> open(const std::string& journalPath, std::uint64_t taken,
                                              std::function<std::uint64_t()> durableTaken,
                                              Limits limits);
    static std::unique_ptr<WaitingStore> open(const std::string& journalPath, std::uint64_t taken,
                                              std::function<std::uint64_t()> durableTaken);
    // Writes what is still only in memory, and ends the thread.
    ~WaitingStore() override;
    WaitingStore(const WaitingStore&) = delete;
    WaitingStore& operator=(const WaitingStore&) = delete;

    // At start: the lines an earlier run left waiting, in order, in pieces of about
    // `pieceBytes` of text (CR LF after each line), each with the number of its last line and
    // how many lines it holds; stops when `piece` returns false. They never join this run's
    // queue: what is not taken now is there again at the next start.
    void forEachLeftOver(std::size_t pieceBytes,
                         const std::function<bool(std::string_view text, std::uint64_t last,
                                                  int lines)>& piece) const;

    // Waits until everything pushed so far is on the disk (for tests).
    void flush();
    // What the waiting lines take in memory now.
    std::size_t memoryBytes() const;

    // WaitingQueue
    bool empty() const override;
    void push(LineEvent event) override;
    std::optional<WaitingLine> pop() override;
    bool hasRoom() const override;
    void setReadyHandler(std::function<void()> ready) override;

private:
    struct Segment {
        std::uint64_t id = 0;
        std::string path;
        std::uint64_t first = 0;  // numbers of the lines it holds; none when last < first
        std::uint64_t last = 0;
        std::uint64_t bytes = 0;
    };
    struct Spilled {
        std::uint64_t from = 0;  // lines on the disk alone, between the head and the tail
        std::uint64_t to = 0;
    };

    WaitingStore(std::string base, Limits limits, std::function<std::uint64_t()> durableTaken);
    void scan(std::uint64_t taken);
    void run();
    bool hasWork() const;    // mutex_ held
    bool readAhead() const;  // mutex_ held
    void writePending(std::unique_lock<std::mutex>& lock);
    bool appendToSegment(const std::string& bytes, std::uint64_t first, std::uint64_t last);
    void evict();  // mutex_ held
    void reload(std::unique_lock<std::mutex>& lock);
    void dropTakenSegments();
    bool headLow() const;  // mutex_ held
    std::vector<WaitingLine> readLines(std::uint64_t from, std::uint64_t to,
                                       std::size_t budget) const;

    const std::string base_;  // the journal's path without its extension
    const Limits limits_;
    const std::function<std::uint64_t()> durableTaken_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WaitingLine> head_;
    std::optional<Spilled> spilled_;
    std::deque<WaitingLine> tail_;  // only while lines are spilled
    std::size_t memoryBytes_ = 0;   // of head_ and tail_
    std::size_t headBytes_ = 0;     // of head_ alone
    std::string pending_;           // encoded lines not yet on the disk
    std::uint64_t pendingFirst_ = 0;
    std::uint64_t pendingLast_ = 0;
    std::chrono::steady_clock::time_point pendingSince_;
    std::uint64_t durableEnd_ = 1;  // every line before this number is on the disk
    std::uint64_t next_ = 1;
    std::uint64_t diskBytes_ = 0;
    std::uint64_t leftOverLast_ = 0;  // lines of earlier runs, not this run's queue
    std::uint64_t taken_ = 0;
    bool reloadWanted_ = false;
    bool flushWanted_ = false;
    bool writing_ = false;
    bool reloadFailed_ = false;  // the last read-back found nothing: no read-ahead until asked
    bool writeFailing_ = false;
    bool stopping_ = false;

    // The thread's own; segments_ changes under mutex_, since others read it.
    std::deque<Segment> segments_;
    std::unique_ptr<JournalFile> open_;  // the last segment, being appended to
    std::uint64_t nextId_ = 1;

    std::mutex readyMutex_;
    std::function<void()> ready_;
    std::thread thread_;
};

}  // namespace vennick
