#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "RS232CFunc/state/auto_write.h"
#include "RS232CFunc/state/line_buffer.h"
#include "RS232CFunc/receive/line_event.h"
#include "settings/settings.h"

namespace vennick {

class LogWriter;

// Enabled states of the tool-bar actions that depend on the buffer.
struct ActionStates {
    bool write = false;
    bool erase = false;
    bool deleteLine = false;
    friend bool operator==(const ActionStates&, const ActionStates&) = default;
};

// What the main window shows of the run state. Called on the UI thread only.
class RunStateView {
public:
    virtual ~RunStateView() = default;
    virtual void statusChanged() = 0;                        // Label1 shows status()
    virtual void showWrittenCount(std::int32_t count) = 0;  // LabelBigLog, "%04d"
    virtual void showActions(const ActionStates& states) = 0;
    // The buffer changed: text was added at its end, one line was removed, or all was removed.
    virtual void textAppended() = 0;
    virtual void lineRemoved(int index) = 0;
    virtual void textCleared() = 0;
    virtual void selectLine(const LineSelection& selection) = 0;  // focus, then select
    virtual void lineCountChanged(int count) = 0;                 // for the reception limit
};

// The whole run state of the main window and the rules that change it, without widgets. Lives
// on the UI thread: the receive thread's lines arrive here as events, in order.
class RunState {
public:
    RunState(Settings& settings, LogWriter& writer, RunStateView& view);

    // Receive path -------------------------------------------------------------------------
    // The receive thread starts: both counts and the write request go to 0.
    void receiveStarted();
    // Counts, append, the EOT's write request, then the write if requested, the status line and
    // the action states. Throws AppError when the requested write cannot create its directory.
    void applyLine(const LineEvent& event);

    // Window actions ------------------------------------------------------------------------
    // Throws AppError("Cannot create " + directory); any other failure is silent.
    void writeBuffer();
    void eraseBuffer();
    void lineClicked(int caretLine);
    void deleteClickedLine();
    void timerTick();  // throws like writeBuffer()
    void updateActions();
    void setStatus(std::string text);
    void clearWriteRequest() { writeRequest_ = 0; }
    void setWaitIndex(std::int32_t waitIndex) { settings_.waitIndex = waitIndex; }

    // What the editable view reports: the operator's own edit (`removed` bytes at `offset` give
    // way to `inserted`), already shown, and the selection the operator made.
    void applyViewEdit(std::size_t offset, std::size_t removed, std::string_view inserted);
    void selectionLengthChanged(int length) { selectionLength_ = length; }

    // Told of every change to the buffer's text (the journal); nullptr detaches it.
    void setBufferObserver(LineBufferObserver* observer) { buffer_.setObserver(observer); }

    // State --------------------------------------------------------------------------------
    const LineBuffer& buffer() const { return buffer_; }
    const Settings& settings() const { return settings_; }
    const std::string& status() const;
    std::int32_t received() const { return received_; }
    std::int32_t accepted() const { return accepted_; }
    std::int32_t writtenCount() const { return writtenCount_; }
    std::int32_t writeRequest() const { return writeRequest_; }
    std::int32_t waitIndex() const { return settings_.waitIndex; }
    std::int32_t tickCount() const { return ticker_.count(); }
    int clickedLine() const { return clickedLine_; }
    int selectionLength() const { return selectionLength_; }

private:
    Settings& settings_;
    LogWriter& writer_;
    RunStateView& view_;
    LineBuffer buffer_;
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
};

}  // namespace vennick
