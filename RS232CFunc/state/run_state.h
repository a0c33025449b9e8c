#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RS232CFunc/receive/line_event.h"
#include "RS232CFunc/state/auto_write.h"
#include "RS232CFunc/state/line_buffer.h"
#include "RS232CFunc/state/run_journal.h"
#include "RS232CFunc/state/waiting_queue.h"
#include "settings/settings.h"

namespace vennick {

// Enabled states of the tool-bar actions that depend on the buffer.
struct ActionStates {
    bool write = false;
    bool erase = false;
    bool deleteLine = false;
    friend bool operator==(const ActionStates&, const ActionStates&) = default;
};

// Writes a batch of the buffer to a log file on a thread of its own, so that a share that stops
// answering holds up nobody else. One batch at a time.
class BatchWriter {
public:
    struct Outcome {
        // Failed: silently, as a full disk or a locked file fails. Error: with an error the
        // operator is shown (the directory cannot be created, or one of another kind).
        enum class Kind { Landed, Failed, Error };
        Kind kind = Kind::Failed;
        std::string message;  // the error's text
    };
    using Done = std::function<void(Outcome)>;

    virtual ~BatchWriter() = default;
    // Writes `text` (UTF-8) into the log directory; `done` comes later, on another thread,
    // never from within this call.
    virtual void submit(std::string logDirectory, std::string text, Done done) = 0;
};

// What the widgets show of the run state, as it is at one moment. Read under the lock.
struct ShownState {
    const std::string& text;         // the list
    std::uint64_t writtenBytes = 0;  // bytes that left the list's start since the run began
    const std::string& status;       // Label1
    std::int32_t writtenCount = 0;   // LabelBigLog
    ActionStates actions;
};

// The window's side of the run state. Called with the run state locked.
class RunStateView {
public:
    virtual ~RunStateView() = default;
    // The window's thread, before an operator's action changes the state: the widgets catch up
    // with it, so that what the operator pointed at is what the action takes.
    virtual void catchUp(const ShownState& state) = 0;
    // The window's thread, after catchUp: the line holding the caret (or the start of the
    // selection), for a click.
    virtual int caretLine() const = 0;
    // The window's thread, after such an action.
    virtual void lineRemoved(int index) = 0;
    virtual void textCutAt(std::size_t keptBytes) = 0;  // all after the first keptBytes went
    virtual void selectLine(const LineSelection& selection) = 0;
    // Any thread: the state changed without the window's doing; show it soon. Must not block.
    virtual void changed() = 0;
    // Any thread: an error to show the operator ("Cannot create ..."). Must not block.
    virtual void errorRaised(const std::string& message) = 0;
};

// The whole run state of the main window and the rules that change it, without widgets.
//
// Three threads change it, each under the one lock: the receive thread hands over lines, the
// writer's thread reports how a batch went, the window's thread carries out the operator's
// actions and the timer. The list (the line buffer) holds at most 1001 received lines; lines
// beyond wait in the waiting queue and enter the list, in order, as soon as it has room, each
// with the effects it would have had arriving at that moment. A batch goes to the writer as the
// whole list at that moment and leaves the list when it has landed; lines that arrive meanwhile
// join the list behind it, and the operator's actions take the lines that are not being
// written.
class RunState {
public:
    static constexpr int kLineLimit = 1000;  // reception fills the list to kLineLimit + 1

    RunState(Settings& settings, BatchWriter& writer, WaitingQueue& waiting, RunStateView& view);

    // Receive path (the receive thread) ----------------------------------------------------
    // The receive thread starts: both counts and the write request go to 0.
    void receiveStarted();
    // Each line, in order: into the list when it has room and nothing waits, else behind the
    // waiting ones. Counts, append, the EOT's write request, the write if requested, the status
    // line and the action states, for each line that enters the list.
    void receive(std::vector<LineEvent>& lines);
    // A reception condition for the status line (port lost, port back, overrun).
    void reportStatus(std::string text);
    // Whether reception may go on: false while the waiting queue holds all it can.
    bool hasRoom() const;
    // Waits up to `timeoutMs` for room, or until stopWaiting(); true when there is room.
    bool waitForRoom(int timeoutMs);
    void stopWaiting();

    // The waiting queue has brought lines back from the disk (its own thread).
    void waitingReady();

    // Window actions (the window's thread) -------------------------------------------------
    void writeBuffer();  // "書込": a write of the list now, or right after the one under way
    void eraseBuffer();
    void lineClicked();  // on the line holding the view's caret
    void deleteClickedLine();
    void timerTick();
    void updateActions();
    void setStatus(std::string text);
    void clearWriteRequest();
    void setWaitIndex(std::int32_t waitIndex);
    // The operator's own edit of the shown text: `removed` bytes at `offset` (counted from the
    // start of the run's text, written bytes included) give way to `inserted`, already shown.
    // False when the edit touched lines that are written or being written: the view must then
    // show the state afresh.
    bool applyViewEdit(std::uint64_t offset, std::size_t removed, std::string_view inserted);
    void selectionLengthChanged(int length);
    // Brings the view up to date (`catchUp`) now.
    void showState();

    // Closing: writes every line the list and the waiting queue hold, batch after batch, until
    // none is left, a write fails, or `timeoutMs` passes; true when all were written.
    bool writeEverything(int timeoutMs);

    // Told of every change to the buffer (the journal); nullptr detaches it.
    void setJournal(RunJournal* journal);

    // State, for tests and the status bar -----------------------------------------------------
    std::string text() const;
    int lineCount() const;
    std::string status() const;
    std::int32_t received() const;
    std::int32_t accepted() const;
    std::int32_t writtenCount() const;
    std::int32_t writeRequest() const;
    std::int32_t waitIndex() const;
    std::int32_t tickCount() const;
    int clickedLine() const;
    int selectionLength() const;
    bool writing() const;  // a batch is with the writer
    bool linesWaiting() const;

private:
    using Lock = std::unique_lock<std::mutex>;
    struct Flight {
        std::size_t bytes = 0;  // the batch: the list's first bytes when the write began
        int lines = 0;
        std::int32_t accepted = 0;  // the counts that went with it
        std::int32_t received = 0;
        bool byLine = false;  // a received line asked for it: the counts show after it
        bool byTimer = false;
        bool askedAgain = false;    // an EOT, "書込" or the timer asked for a write meanwhile
        bool linesArrived = false;  // lines that would have retried a failed write arrived
    };

    void applyLine(const LineEvent& event);
    bool listFull() const;
    void drainWaiting();
    void requestWrite(bool byLine, bool asked);
    void startWrite(bool byLine, bool byTimer);
    void writeFinished(const BatchWriter::Outcome& outcome);
    void landed(const Flight& flight);
    void failed(const Flight& flight, const BatchWriter::Outcome& outcome);
    void eraseUnwritten();
    void clearCounts();
    void refreshActions();
    void noteLimit();
    const std::string& statusText() const;
    ShownState shown() const;
    void changed();

    mutable std::mutex mutex_;
    std::condition_variable roomOrFlight_;  // room in the waiting queue; a flight settled
    Settings& settings_;
    BatchWriter& writer_;
    WaitingQueue& waiting_;
    RunStateView& view_;
    LineBuffer buffer_;
    RunJournal* journal_ = nullptr;
    AutoWriteTicker ticker_;
    // The status line after a received line shows the counts of that moment; a fast stream
    // changes them thousands of times a second, so they become text only when it is shown.
    struct LineCounts {
        int lines = 0;
        std::int32_t accepted = 0;
        std::int32_t received = 0;
    };
    mutable std::optional<LineCounts> statusCounts_;
    mutable std::string status_;
    std::int32_t received_ = 0;
    std::int32_t accepted_ = 0;
    std::int32_t writtenCount_ = 0;
    std::int32_t writeRequest_ = 0;
    int clickedLine_ = 0;
    int selectionLength_ = 0;
    ActionStates actions_;
    std::uint64_t writtenBytes_ = 0;
    std::optional<Flight> flight_;
    bool writingEverything_ = false;
    bool everythingFailed_ = false;
    bool stopWaiting_ = false;
};

}  // namespace vennick
