#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "RS232CFunc/journal/journal_file.h"
#include "RS232CFunc/journal/journal_format.h"
#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/state/run_journal.h"

namespace vennick {

// The journal file of an executable: beside its settings file, extension ".JNL".
std::string journalPathFor(const std::string& executable);

// Keeps what the line buffer holds on the disk, so that a crash, a kill or a power cut loses
// nothing of it: every change goes to the file within kFlushDelay, and every log write is
// bracketed by an intent and its outcome, so that nothing comes back twice at the next start.
// It also notes which of the lines waiting beyond the list have entered it, in the same records
// as their text, so that the waiting store and the journal never both give a line back.
//
// Told of changes under the run state's lock (from whichever thread changes the buffer) and of
// log writes on the writer's thread; a flusher thread of its own does the periodic flushes, also
// while a log write hangs.
class Journal : public RunJournal, public LogWriteGuard {
public:
    // With the flush itself, well within the 100 ms a line may wait for the disk.
    static constexpr std::chrono::milliseconds kFlushDelay{75};
    // The file is rewritten from what it describes once it holds this much more than twice that.
    static constexpr std::uint64_t kCompactSlackBytes = 64 * 1024;
    static constexpr std::uint64_t kGrowthBytes = 64 * 1024;

    // Opens the journal (no other process may hold it), settles the log write it may have been
    // cut off in, and keeps what an earlier run left unwritten as the left-over text. Nothing
    // when the file cannot be opened or read: the program then runs without a journal.
    // `flushDelay` is for tests that look at each record: one longer than the test never flushes
    // behind its back.
    static std::unique_ptr<Journal> open(const std::string& path,
                                         std::chrono::milliseconds flushDelay = kFlushDelay);
    ~Journal() override;  // flushes what is pending
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // What earlier runs left unwritten (UTF-8, CR LF).
    std::string leftOver() const;
    // The waiting lines up to this number are in the texts above or written.
    std::uint64_t waitingTaken() const;
    // The same, as far as it is on the disk: the waiting store may forget those lines.
    std::uint64_t durableWaitingTaken() const;

    // Waiting lines of an earlier run up to number `waiting` join the left-over text, durably.
    void addToLeftOver(std::string_view text, std::uint64_t waiting);

    // Writes the left-over text through `writer` as one batch, bracketed like every write, and
    // has the journal emptied of it on the disk before it returns. Returns the file written, or
    // nothing when the save failed; throws AppError like the writer.
    std::optional<std::string> writeLeftOver(LogWriter& writer, const std::string& logDirectory);

    // Writes what is pending now; the flusher does it within kFlushDelay anyway.
    void flush();

    std::uint64_t fileBytes() const;

    // RunJournal
    void textChanged(std::size_t offset, std::size_t removed, std::string_view inserted) override;
    void writtenPrefixRemoved(std::size_t bytes) override;
    void writeAbandoned() override;
    void waitingTaken(std::uint64_t waiting) override;
    // LogWriteGuard: the intent is on the disk before the append whenever some of the batch is.
    void beforeAppend(const std::string& path, std::int64_t sizeBefore, std::string_view bytes,
                      std::size_t textBytes) override;

private:
    enum class Flush { Nothing, Append, Truncate, Rewrite };

    Journal(std::unique_ptr<JournalFile> file, std::uint64_t goodBytes, journal::Texts texts,
            std::chrono::milliseconds flushDelay);
    void run();
    void queue(const journal::Record& record);  // stateMutex_ held
    void notePending();                         // stateMutex_ held, before adding to pending_
    bool hasPending() const;                    // stateMutex_ held
    void closeAppendRun();                      // stateMutex_ held
    void openAppendRun();                       // stateMutex_ held
    void placeLazyIntent();                     // stateMutex_ held
    void settleIntent(bool landed);             // stateMutex_ held
    void markCleanIfEmpty();                    // stateMutex_ held
    std::string& scopeText();                   // stateMutex_ held
    std::string snapshot() const;               // stateMutex_ held
    void flushLocked();                         // fileMutex_ held
    bool rewrite(const std::string& bytes);     // fileMutex_ held
    bool append(std::string& bytes);            // fileMutex_ held

    mutable std::mutex fileMutex_;  // taken before stateMutex_
    std::unique_ptr<JournalFile> file_;
    std::uint64_t fileBytes_ = 0;       // what the file holds that is known good
    std::uint64_t allocatedBytes_ = 0;  // the file's length, zeros behind fileBytes_
    std::uint64_t compactionFrom_ = 0;  // no rewrite below this size after one failed

    const std::chrono::milliseconds flushDelay_;
    mutable std::mutex stateMutex_;
    std::condition_variable wake_;     // the idle flusher: something is pending
    std::condition_variable stopped_;  // the flusher within its delay: the journal closes
    std::string pending_;              // encoded records not yet on the disk
    // Received lines arrive thousands a second and most are written to a log file before any
    // flush: the text appended to live_ from here on is encoded only when it must go out.
    std::optional<std::size_t> appendFrom_;
    std::optional<std::uint64_t> appendWaiting_;  // the run took waiting lines up to this one
    std::chrono::steady_clock::time_point pendingSince_;
    std::string live_;      // the buffer's text as the journal has it
    std::string leftOver_;  // from earlier runs
    std::uint64_t waitingTaken_ = 0;
    std::uint64_t durableWaitingTaken_ = 0;
    // The log write under way: its encoded intent, and how much of its text it takes. An intent
    // whose whole batch is not yet on the disk is only placed in the file by a flush that comes
    // before its outcome (and only then made: the batch's checksum is worked out from a copy);
    // a write that settles before that needs none.
    bool writeOpen_ = false;
    std::string openIntent_;  // empty until the record is made
    std::size_t openIntentBytes_ = 0;
    bool intentIsLazy_ = false;
    journal::Intent lazyIntent_;
    std::string lazyBytes_;
    std::size_t lazyMark_ = 0;  // cleanMark_ when the lazy intent was made
    journal::Scope scope_ = journal::Scope::Live;
    bool needsRewrite_ = false;  // a failed file operation left the tail in doubt
    bool stopping_ = false;
    // Where in pending_ the live text was last empty with the disk in step: a batch made only
    // of the changes after it has nothing on the disk yet, so its write needs no intent until a
    // flush comes, and once it landed those changes are simply dropped.
    std::optional<std::size_t> cleanMark_;
    std::uint64_t waitingAtCleanMark_ = 0;

    std::thread flusher_;
};

}  // namespace vennick
