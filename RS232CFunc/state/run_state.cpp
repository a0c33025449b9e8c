#include "RS232CFunc/state/run_state.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <utility>

#include "RS232CFunc/log/log_writer.h"

namespace vennick {
namespace {

// The counters are signed 32-bit; a very long run without a write wraps instead of overflowing.
std::int32_t addWrapping(std::int32_t count, std::int32_t amount) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) +
                                     static_cast<std::uint32_t>(amount));
}

// "line=%d nb=%d gb=%d"
std::string lineStatus(int lines, std::int32_t accepted, std::int32_t received) {
    std::string text;
    text.reserve(48);
    const auto field = [&text](std::string_view name, std::int64_t value) {
        char digits[24];  // any 64-bit value with its sign
        text += name;
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    field("line=", lines);
    field(" nb=", accepted);
    field(" gb=", received);
    return text;
}

}  // namespace

RunState::RunState(Settings& settings, LogWriter& writer, RunStateView& view)
    : settings_(settings), writer_(writer), view_(view) {}

void RunState::receiveStarted() {
    received_ = 0;
    accepted_ = 0;
    writeRequest_ = 0;
}

void RunState::applyLine(const LineEvent& event) {
    received_ = addWrapping(received_, event.bytesReceived);
    accepted_ = addWrapping(accepted_, event.charsAccepted);
    if (!event.text.empty()) {
        buffer_.append(event.text);
        selectionLength_ = 0;  // appending drops any selection
        view_.textAppended();
        view_.lineCountChanged(buffer_.count());
    }
    if (event.endedByEot && autoWriteOn(waitIndex())) writeRequest_ = 1;

    // A directory error still finishes the line (status, actions) before it is reported.
    std::exception_ptr writeError;
    if (writeRequest_ == 1) {
        try {
            writeBuffer();
        } catch (...) {
            writeError = std::current_exception();
        }
    }
    statusCounts_ = LineCounts{buffer_.count(), accepted_, received_};
    view_.statusChanged();
    updateActions();
    if (writeError) std::rethrow_exception(writeError);
}

void RunState::writeBuffer() {
    if (buffer_.count() == 0) return;
    writeRequest_ = 1;
    if (!writer_.write(settings_.logDirectory, buffer_.text())) return;  // kept for the retry
    eraseBuffer();
    writtenCount_ = addWrapping(writtenCount_, 1);
    view_.showWrittenCount(writtenCount_);
    writeRequest_ = 0;
    ticker_.restart();
    updateActions();
}

void RunState::eraseBuffer() {
    buffer_.clear();
    view_.textCleared();
    view_.lineCountChanged(0);
    setStatus("");
    accepted_ = 0;
    received_ = 0;
    selectionLength_ = 0;
    clickedLine_ = -1;
    updateActions();
}

void RunState::lineClicked(int caretLine) {
    clickedLine_ = caretLine;
    if (const auto selection = buffer_.findFirstContaining(buffer_.line(caretLine))) {
        selectionLength_ = selection->length;
        view_.selectLine(*selection);
    }
    updateActions();
}

void RunState::deleteClickedLine() {
    if (clickedLine_ < 0 || clickedLine_ >= buffer_.count()) return;
    if (selectionLength_ < 1) return;
    buffer_.remove(clickedLine_);
    selectionLength_ = 0;
    view_.lineRemoved(clickedLine_);
    view_.lineCountChanged(buffer_.count());
    updateActions();
}

void RunState::timerTick() {
    if (ticker_.tick(buffer_.count() > 0, waitIndex()) != AutoWriteTicker::Decision::Write) {
        return;
    }
    writeBuffer();  // a directory error leaves the count, so the next tick tries again
    ticker_.restart();
}

void RunState::updateActions() {
    const bool hasLines = buffer_.count() > 0;
    view_.showActions({.write = hasLines,
                       .erase = hasLines,
                       .deleteLine = selectionLength_ >= 1 && clickedLine_ >= 0});
}

void RunState::setStatus(std::string text) {
    statusCounts_.reset();
    status_ = std::move(text);
    view_.statusChanged();
}

const std::string& RunState::status() const {
    if (statusCounts_) {
        status_ = lineStatus(statusCounts_->lines, statusCounts_->accepted, statusCounts_->received);
        statusCounts_.reset();
    }
    return status_;
}

void RunState::applyViewEdit(std::size_t offset, std::size_t removed, std::string_view inserted) {
    buffer_.replace(offset, removed, inserted);
    view_.lineCountChanged(buffer_.count());
}

}  // namespace vennick
