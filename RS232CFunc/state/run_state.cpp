#include "RS232CFunc/state/run_state.h"

#include <charconv>
#include <chrono>
#include <utility>

namespace vennick {
namespace {

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

std::string limitText() {
    return "Line が " + std::to_string(RunState::kLineLimit) + " を超えました。";
}

}  // namespace

RunState::RunState(Settings& settings, BatchWriter& writer, WaitingQueue& waiting,
                   RunStateView& view)
    : settings_(settings), writer_(writer), waiting_(waiting), view_(view) {}

// --- Receive path -------------------------------------------------------------------------

void RunState::receiveStarted() {
    const Lock lock(mutex_);
    received_ = 0;
    accepted_ = 0;
    writeRequest_ = 0;
}

void RunState::receive(std::vector<LineEvent>& lines) {
    const Lock lock(mutex_);
    // Only this lock's holders add to the queue or take from it: asked once, kept up to date.
    bool waiting = !waiting_.empty();
    for (LineEvent& line : lines) {
        if (waiting || listFull()) {
            waiting_.push(std::move(line));
            waiting = true;
            noteLimit();
        } else {
            applyLine(line);
        }
    }
    changed();
}

void RunState::reportStatus(std::string text) {
    const Lock lock(mutex_);
    statusCounts_.reset();
    status_ = std::move(text);
    changed();
}

bool RunState::hasRoom() const {
    const Lock lock(mutex_);
    return waiting_.hasRoom();
}

bool RunState::waitForRoom(int timeoutMs) {
    Lock lock(mutex_);
    roomOrFlight_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return waiting_.hasRoom() || stopWaiting_; });
    return waiting_.hasRoom();
}

void RunState::stopWaiting() {
    {
        const Lock lock(mutex_);
        stopWaiting_ = true;
    }
    roomOrFlight_.notify_all();
}

void RunState::waitingReady() {
    const Lock lock(mutex_);
    drainWaiting();
    changed();
}

// Counts, append, the EOT's write request, then the write if requested, the status line and the
// action states.
void RunState::applyLine(const LineEvent& event) {
    received_ = addWrapping(received_, event.bytesReceived);
    accepted_ = addWrapping(accepted_, event.charsAccepted);
    if (!event.text.empty()) {
        buffer_.append(event.text);
        selectionLength_ = 0;  // appending drops any selection
    }
    const bool eotRequest = event.endedByEot && autoWriteOn(settings_.waitIndex);
    if (eotRequest) writeRequest_ = 1;
    if (writeRequest_ == 1) requestWrite(true, eotRequest);
    statusCounts_ = LineCounts{buffer_.count(), accepted_, received_};
    refreshActions();
}

bool RunState::listFull() const {
    return buffer_.count() > kLineLimit;
}

// The waiting lines enter the list while it has room, each as if it had just arrived.
void RunState::drainWaiting() {
    bool took = false;
    while (!listFull()) {
        std::optional<WaitingLine> line = waiting_.pop();
        if (!line) break;
        applyLine(line->event);
        if (journal_) journal_->waitingTaken(line->number);
        took = true;
    }
    if (took) roomOrFlight_.notify_all();
    if (!waiting_.empty()) noteLimit();
    if (writingEverything_ && !flight_ && buffer_.count() > 0) startWrite(false, false);
}

void RunState::noteLimit() {
    statusCounts_.reset();
    status_ = limitText();
}

// --- Writes -------------------------------------------------------------------------------

// A write of an empty list does nothing (a pending request stays pending); one asked for while
// another is under way follows it, as it would have followed an instant write.
void RunState::requestWrite(bool byLine, bool asked) {
    if (buffer_.count() == 0) return;
    if (flight_) {
        (asked ? flight_->askedAgain : flight_->linesArrived) = true;
        return;
    }
    startWrite(byLine, false);
}

void RunState::startWrite(bool byLine, bool byTimer) {
    writeRequest_ = 1;
    flight_ = Flight{.bytes = buffer_.text().size(),
                     .lines = buffer_.count(),
                     .accepted = accepted_,
                     .received = received_,
                     .byLine = byLine,
                     .byTimer = byTimer};
    writer_.submit(settings_.logDirectory, buffer_.text(),
                   [this](const BatchWriter::Outcome& outcome) { writeFinished(outcome); });
}

void RunState::writeFinished(const BatchWriter::Outcome& outcome) {
    const Lock lock(mutex_);
    const Flight flight = *flight_;
    flight_.reset();
    if (outcome.kind == BatchWriter::Outcome::Kind::Landed) {
        landed(flight);
    } else {
        if (journal_) journal_->writeAbandoned();
        failed(flight, outcome);
    }
    roomOrFlight_.notify_all();
    changed();
}

// As an erase after the batch: its lines leave the list, and the counts keep only what came
// after it.
void RunState::landed(const Flight& flight) {
    writtenBytes_ += buffer_.removeWrittenPrefix(flight.bytes);
    accepted_ = subtractWrapping(accepted_, flight.accepted);
    received_ = subtractWrapping(received_, flight.received);
    selectionLength_ = 0;
    clickedLine_ = -1;
    writtenCount_ = addWrapping(writtenCount_, 1);
    writeRequest_ = 0;
    ticker_.restart();
    if (flight.byLine) {
        statusCounts_ = LineCounts{buffer_.count(), accepted_, received_};
    } else {
        statusCounts_.reset();
        status_.clear();
    }
    refreshActions();
    if (flight.askedAgain) {
        writeRequest_ = 1;
        requestWrite(flight.byLine, true);
    }
    drainWaiting();
}

// The lines stay and so does the request: the next line tries again, as do the lines that came
// while this write was under way. The timer's count starts afresh unless the write raised an
// error (the directory cannot be made), so that its next tick tries again.
void RunState::failed(const Flight& flight, const BatchWriter::Outcome& outcome) {
    const bool error = outcome.kind == BatchWriter::Outcome::Kind::Error;
    if (flight.byTimer && !error) ticker_.restart();
    if (writingEverything_) {
        everythingFailed_ = true;
        return;
    }
    if (error) view_.errorRaised(outcome.message);
    if (flight.askedAgain || flight.linesArrived) requestWrite(flight.byLine, true);
}

bool RunState::writeEverything(int timeoutMs) {
    Lock lock(mutex_);
    writingEverything_ = true;
    everythingFailed_ = false;
    drainWaiting();  // starts the first write
    const auto allWritten = [this] { return !flight_ && buffer_.count() == 0 && waiting_.empty(); };
    roomOrFlight_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return everythingFailed_ || allWritten(); });
    writingEverything_ = false;
    return allWritten();
}

// --- Window actions -----------------------------------------------------------------------

void RunState::writeBuffer() {
    const Lock lock(mutex_);
    requestWrite(false, true);
    view_.catchUp(shown());
}

void RunState::eraseBuffer() {
    const Lock lock(mutex_);
    view_.catchUp(shown());
    if (flight_) {
        eraseUnwritten();
    } else {
        buffer_.clear();
        view_.textCutAt(0);
        clearCounts();
    }
    statusCounts_.reset();
    status_.clear();
    selectionLength_ = 0;
    clickedLine_ = -1;
    refreshActions();
    drainWaiting();
    view_.catchUp(shown());
}

// While a batch is being written, an erase takes the lines behind it; the counts go back to
// what the batch came with.
void RunState::eraseUnwritten() {
    const std::size_t kept = flight_->bytes;
    buffer_.replace(kept, buffer_.text().size() - kept, {});
    view_.textCutAt(kept);
    accepted_ = flight_->accepted;
    received_ = flight_->received;
}

void RunState::clearCounts() {
    accepted_ = 0;
    received_ = 0;
}

void RunState::lineClicked() {
    const Lock lock(mutex_);
    view_.catchUp(shown());
    clickedLine_ = view_.caretLine();
    if (const auto selection = buffer_.findFirstContaining(buffer_.line(clickedLine_))) {
        selectionLength_ = selection->length;
        view_.selectLine(*selection);
    }
    refreshActions();
    view_.catchUp(shown());
}

// A line of the batch being written cannot be deleted: it is on its way into the file.
void RunState::deleteClickedLine() {
    const Lock lock(mutex_);
    view_.catchUp(shown());
    if (clickedLine_ < 0 || clickedLine_ >= buffer_.count()) return;
    if (selectionLength_ < 1) return;
    if (flight_ && clickedLine_ < flight_->lines) return;
    buffer_.remove(clickedLine_);
    selectionLength_ = 0;
    view_.lineRemoved(clickedLine_);
    refreshActions();
    drainWaiting();
    view_.catchUp(shown());
}

// The write comes on the wait-index-th tick that finds lines; its count starts afresh when the
// write has settled (see failed() for the directory error). While a write is under way the
// ticks only count.
void RunState::timerTick() {
    const Lock lock(mutex_);
    if (ticker_.tick(buffer_.count() > 0, settings_.waitIndex) !=
        AutoWriteTicker::Decision::Write) {
        return;
    }
    if (!flight_) startWrite(false, true);
}

void RunState::updateActions() {
    const Lock lock(mutex_);
    refreshActions();
    view_.catchUp(shown());
}

void RunState::setStatus(std::string text) {
    const Lock lock(mutex_);
    statusCounts_.reset();
    status_ = std::move(text);
    view_.catchUp(shown());
}

void RunState::clearWriteRequest() {
    const Lock lock(mutex_);
    writeRequest_ = 0;
}

void RunState::setWaitIndex(std::int32_t waitIndex) {
    const Lock lock(mutex_);
    settings_.waitIndex = waitIndex;
}

// An edit of the lines being written, or of lines already written, is refused; so is one that
// would lengthen a typed last line of the batch.
bool RunState::applyViewEdit(std::uint64_t offset, std::size_t removed, std::string_view inserted) {
    const Lock lock(mutex_);
    if (offset < writtenBytes_) return false;
    const auto at = static_cast<std::size_t>(offset - writtenBytes_);
    if (flight_) {
        const std::size_t batch = flight_->bytes;
        const bool batchEndsTyped = batch > 0 && buffer_.text()[batch - 1] != '\n';
        if (at < batch || (at == batch && batchEndsTyped)) return false;
    }
    buffer_.replace(at, removed, inserted);
    drainWaiting();
    return true;
}

void RunState::selectionLengthChanged(int length) {
    const Lock lock(mutex_);
    selectionLength_ = length;
}

void RunState::showState() {
    const Lock lock(mutex_);
    view_.catchUp(shown());
}

void RunState::setJournal(RunJournal* journal) {
    const Lock lock(mutex_);
    journal_ = journal;
    buffer_.setObserver(journal);
}

void RunState::refreshActions() {
    const bool hasLines = buffer_.count() > 0;
    actions_ = {.write = hasLines,
                .erase = hasLines,
                .deleteLine = selectionLength_ >= 1 && clickedLine_ >= 0};
}

const std::string& RunState::statusText() const {
    if (statusCounts_) {
        status_ =
            lineStatus(statusCounts_->lines, statusCounts_->accepted, statusCounts_->received);
        statusCounts_.reset();
    }
    return status_;
}

ShownState RunState::shown() const {
    return {.text = buffer_.text(),
            .writtenBytes = writtenBytes_,
            .status = statusText(),
            .writtenCount = writtenCount_,
            .actions = actions_};
}

void RunState::changed() {
    view_.changed();
}

// --- State --------------------------------------------------------------------------------

std::string RunState::text() const {
    const Lock lock(mutex_);
    return buffer_.text();
}

int RunState::lineCount() const {
    const Lock lock(mutex_);
    return buffer_.count();
}

std::string RunState::status() const {
    const Lock lock(mutex_);
    return statusText();
}

std::int32_t RunState::received() const {
    const Lock lock(mutex_);
    return received_;
}

std::int32_t RunState::accepted() const {
    const Lock lock(mutex_);
    return accepted_;
}

std::int32_t RunState::writtenCount() const {
    const Lock lock(mutex_);
    return writtenCount_;
}

std::int32_t RunState::writeRequest() const {
    const Lock lock(mutex_);
    return writeRequest_;
}

std::int32_t RunState::waitIndex() const {
    const Lock lock(mutex_);
    return settings_.waitIndex;
}

std::int32_t RunState::tickCount() const {
    const Lock lock(mutex_);
    return ticker_.count();
}

int RunState::clickedLine() const {
    const Lock lock(mutex_);
    return clickedLine_;
}

int RunState::selectionLength() const {
    const Lock lock(mutex_);
    return selectionLength_;
}

bool RunState::writing() const {
    const Lock lock(mutex_);
    return flight_.has_value();
}

bool RunState::linesWaiting() const {
    const Lock lock(mutex_);
    return !waiting_.empty();
}

}  // namespace vennick
