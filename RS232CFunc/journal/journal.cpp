#include "RS232CFunc/journal/journal.h"

#include <algorithm>
#include <utility>

#include "settings/cp932.h"
#include "settings/file_system.h"

namespace vennick {
namespace {

using journal::Intent;
using journal::Scope;

// A log write the journal lost the outcome of: its batch landed when the file holds exactly
// those bytes from where it ended before. A tail that is only the start of the batch is what a
// power cut left of the append; it is cut back, so the batch can be written again whole.
bool batchLanded(const Intent& intent, const std::string& batchText) {
    const std::string bytes = utf8ToCp932(batchText);
    if (bytes.size() != intent.length || journal::crc32(bytes) != intent.crc) return false;
    const auto before = static_cast<std::uint64_t>(std::max<std::int64_t>(intent.sizeBefore, 0));
    const auto size = fileSizeOf(intent.path);
    if (!size || *size <= before) return false;
    const auto tail = readFileRange(intent.path, before, std::min(*size - before, intent.length));
    if (!tail || bytes.compare(0, tail->size(), *tail) != 0) return false;
    if (tail->size() == bytes.size()) return true;
    truncateFileDurably(intent.path, before);
    return false;
}

}  // namespace

std::string journalPathFor(const std::string& executable) {
    return withExtension(executable, ".JNL");
}

std::unique_ptr<Journal> Journal::open(const std::string& path,
                                       std::chrono::milliseconds flushDelay) {
    auto file = JournalFile::open(path);
    if (!file) return nullptr;
    const auto bytes = file->readAll();
    if (!bytes) return nullptr;  // left for a later start rather than overwritten unread
    const journal::Decoded decoded = journal::decode(*bytes);
    journal::Texts texts = journal::replay(decoded.records, batchLanded);
    texts.leftOver = journal::joinTexts(texts.leftOver, texts.live);
    texts.live.clear();
    std::unique_ptr<Journal> opened(
        new Journal(std::move(file), decoded.validBytes, std::move(texts), flushDelay));
    opened->flush();
    // Started only now, so that its first flush is never one of the opening's racing the
    // caller's first changes; if the opening's failed, it tries again after the delay.
    opened->flusher_ = std::thread([journal = opened.get()] { journal->run(); });
    return opened;
}

// The file is rewritten at once to what it holds, which also drops a damaged tail.
Journal::Journal(std::unique_ptr<JournalFile> file, std::uint64_t goodBytes, journal::Texts texts,
                 std::chrono::milliseconds flushDelay)
    : file_(std::move(file)),
      fileBytes_(goodBytes),
      allocatedBytes_(goodBytes),
      flushDelay_(flushDelay),
      leftOver_(std::move(texts.leftOver)),
      waitingTaken_(texts.waitingTaken),
      durableWaitingTaken_(texts.waitingTaken),
      needsRewrite_(true) {}

Journal::~Journal() {
    {
        const std::lock_guard lock(stateMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    stopped_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    flush();
}

std::string Journal::leftOver() const {
    const std::lock_guard lock(stateMutex_);
    return leftOver_;
}

std::uint64_t Journal::waitingTaken() const {
    const std::lock_guard lock(stateMutex_);
    return waitingTaken_;
}

std::uint64_t Journal::durableWaitingTaken() const {
    const std::lock_guard lock(stateMutex_);
    return durableWaitingTaken_;
}

std::uint64_t Journal::fileBytes() const {
    const std::lock_guard lock(fileMutex_);
    return fileBytes_;
}

void Journal::addToLeftOver(std::string_view text, std::uint64_t waiting) {
    {
        const std::lock_guard lock(stateMutex_);
        leftOver_ = journal::joinTexts(leftOver_, std::string(text));
        waitingTaken_ = std::max(waitingTaken_, waiting);
        queue(journal::moved(text, waiting));
    }
    flush();
}

std::optional<std::string> Journal::writeLeftOver(LogWriter& writer,
                                                  const std::string& logDirectory) {
    struct Bracket {
        Bracket(Journal& journal, LogWriter& writer) : journal_(journal), writer_(writer) {
            const std::lock_guard lock(journal_.stateMutex_);
            journal_.scope_ = Scope::LeftOver;
            writer_.setGuard(&journal_);
        }
        ~Bracket() {
            writer_.setGuard(nullptr);
            const std::lock_guard lock(journal_.stateMutex_);
            journal_.scope_ = Scope::Live;
        }
        Journal& journal_;
        LogWriter& writer_;
    };
    std::optional<std::string> written;
    {
        const Bracket bracket(*this, writer);
        written = writer.write(logDirectory, leftOver());
        const std::lock_guard lock(stateMutex_);
        if (writeOpen_) settleIntent(written.has_value());
    }
    flush();
    return written;
}

void Journal::textChanged(std::size_t offset, std::size_t removed, std::string_view inserted) {
    const std::lock_guard lock(stateMutex_);
    if (live_.empty() && inserted.empty()) return;
    notePending();
    if (removed == 0 && offset == live_.size()) {
        openAppendRun();
        live_ += inserted;
        return;
    }
    closeAppendRun();
    journal::applyChange(live_, offset, removed, inserted);
    journal::appendChange(pending_, offset, removed, inserted);
    markCleanIfEmpty();
}

void Journal::waitingTaken(std::uint64_t waiting) {
    const std::lock_guard lock(stateMutex_);
    notePending();
    openAppendRun();
    appendWaiting_ = waiting;
    waitingTaken_ = std::max(waitingTaken_, waiting);
}

void Journal::writtenPrefixRemoved(std::size_t bytes) {
    const std::lock_guard lock(stateMutex_);
    if (!writeOpen_ || scope_ != Scope::Live) {
        // Not a write the journal bracketed: an ordinary change.
        closeAppendRun();
        const std::size_t erased = eraseWrittenPrefix(live_, bytes);
        if (erased == 0) return;
        notePending();
        journal::appendChange(pending_, 0, erased, {});
        markCleanIfEmpty();
        return;
    }
    settleIntent(true);
}

void Journal::writeAbandoned() {
    const std::lock_guard lock(stateMutex_);
    if (writeOpen_) settleIntent(false);
}

void Journal::beforeAppend(const std::string& path, std::int64_t sizeBefore, std::string_view bytes,
                           std::size_t textBytes) {
    Intent intent{.scope = Scope::Live,
                  .path = path,
                  .sizeBefore = sizeBefore,
                  .length = bytes.size(),
                  .crc = 0,
                  .textBytes = textBytes};
    {
        const std::lock_guard lock(stateMutex_);
        intent.scope = scope_;
        openIntentBytes_ = textBytes;
        if (scope_ == Scope::Live && cleanMark_) {
            // Nothing of the batch is on the disk: the intent only has to come before it.
            intentIsLazy_ = true;
            lazyMark_ = *cleanMark_;
            lazyIntent_ = std::move(intent);
            lazyBytes_.assign(bytes);
            writeOpen_ = true;
            return;
        }
        intentIsLazy_ = false;
        writeOpen_ = true;
        intent.crc = journal::crc32(bytes);
        openIntent_ = journal::encode(journal::intent(intent));
        notePending();
        closeAppendRun();
        pending_ += openIntent_;
    }
    flush();
}

// The outcome of the open intent. A landed batch whose intent never went out takes every change
// since the clean mark with it: what is left of the buffer is then one fresh run of text.
void Journal::settleIntent(bool landed) {
    std::string& text = scopeText();
    if (intentIsLazy_) {
        if (landed) {
            eraseWrittenPrefix(text, openIntentBytes_);
            pending_.resize(lazyMark_);
            cleanMark_ = lazyMark_;
            appendFrom_.reset();
            appendWaiting_.reset();
            if (!live_.empty() || waitingTaken_ > waitingAtCleanMark_) {
                appendFrom_ = 0;
                if (waitingTaken_ > waitingAtCleanMark_) appendWaiting_ = waitingTaken_;
                notePending();
            }
        }
    } else {
        notePending();
        closeAppendRun();
        pending_ += journal::encode(landed ? journal::done() : journal::abandoned());
        if (landed) eraseWrittenPrefix(text, openIntentBytes_);
        markCleanIfEmpty();
    }
    openIntent_.clear();
    intentIsLazy_ = false;
    writeOpen_ = false;
}

std::string& Journal::scopeText() {
    return scope_ == Scope::Live ? live_ : leftOver_;
}

void Journal::markCleanIfEmpty() {
    if (!live_.empty() || writeOpen_ || needsRewrite_ || scope_ != Scope::Live) return;
    if (appendFrom_) return;
    cleanMark_ = pending_.size();
    waitingAtCleanMark_ = waitingTaken_;
}

void Journal::queue(const journal::Record& record) {
    notePending();
    closeAppendRun();
    pending_ += journal::encode(record);
}

void Journal::notePending() {
    if (hasPending()) return;
    pendingSince_ = std::chrono::steady_clock::now();
    wake_.notify_one();
}

bool Journal::hasPending() const {
    return !pending_.empty() || appendFrom_.has_value();
}

void Journal::openAppendRun() {
    if (!appendFrom_) appendFrom_ = live_.size();
}

// The appended text becomes one record, in its place among the others; with the waiting lines
// it took, when it took any.
void Journal::closeAppendRun() {
    if (!appendFrom_) return;
    const std::size_t from = *appendFrom_;
    appendFrom_.reset();
    journal::appendChange(pending_, from, 0, std::string_view(live_).substr(from), appendWaiting_);
    appendWaiting_.reset();
}

// A log write under way whose intent has not gone out yet: it goes out now, behind the changes
// that made its batch.
void Journal::placeLazyIntent() {
    if (!intentIsLazy_) return;
    closeAppendRun();
    lazyIntent_.crc = journal::crc32(lazyBytes_);
    openIntent_ = journal::encode(journal::intent(lazyIntent_));
    pending_ += openIntent_;
    intentIsLazy_ = false;
}

// What the journal describes, as few records: the texts, the waiting lines taken, and a log
// write under way.
std::string Journal::snapshot() const {
    std::string bytes;
    if (!leftOver_.empty()) bytes += journal::encode(journal::leftOver(leftOver_));
    if (!live_.empty()) bytes += journal::encode(journal::snapshot(live_));
    if (waitingTaken_ > 0)
        bytes += journal::encode(journal::taken(live_.size(), {}, waitingTaken_));
    return bytes + openIntent_;
}

void Journal::flush() {
    const std::lock_guard fileLock(fileMutex_);
    flushLocked();
}

void Journal::flushLocked() {
    Flush kind = Flush::Nothing;
    std::string bytes;
    std::uint64_t waiting = 0;
    {
        const std::lock_guard lock(stateMutex_);
        placeLazyIntent();
        closeAppendRun();
        waiting = waitingTaken_;
        const std::uint64_t held = live_.size() + leftOver_.size() + openIntent_.size();
        const std::uint64_t after = fileBytes_ + pending_.size();
        const bool grown = after > 2 * held + kCompactSlackBytes && after > compactionFrom_;
        if (!needsRewrite_ && pending_.empty()) {
            kind = Flush::Nothing;
        } else if (held == 0 && waitingTaken_ == 0) {
            kind = Flush::Truncate;
        } else if (needsRewrite_ || grown) {
            kind = Flush::Rewrite;
            bytes = snapshot();
        } else {
            kind = Flush::Append;
            bytes = std::move(pending_);
        }
        pending_.clear();
        needsRewrite_ = false;
        cleanMark_.reset();
        markCleanIfEmpty();  // holds once the write below succeeds
    }
    bool written = true;
    switch (kind) {
        case Flush::Nothing:
            return;
        case Flush::Append:
            written = append(bytes);
            break;
        case Flush::Truncate:
            written = file_->truncateDurably(0);
            if (written) fileBytes_ = allocatedBytes_ = 0;
            break;
        case Flush::Rewrite:
            written = rewrite(bytes);
            break;
    }
    const std::lock_guard lock(stateMutex_);
    if (written) {
        durableWaitingTaken_ = std::max(durableWaitingTaken_, waiting);
        return;
    }
    // Whatever landed of it is in doubt: the next flush writes the whole state afresh.
    needsRewrite_ = true;
    cleanMark_.reset();
    pendingSince_ = std::chrono::steady_clock::now();
    wake_.notify_one();  // the flusher tries again even if nothing else changes
}

// The file grows a chunk of zeros at a time (where reading stops), so that most flushes write
// within its length and the disk has no size to update.
bool Journal::append(std::string& bytes) {
    const std::uint64_t end = fileBytes_ + bytes.size();
    std::uint64_t allocated = allocatedBytes_;
    if (end > allocated) {
        allocated = (end + kGrowthBytes - 1) / kGrowthBytes * kGrowthBytes;
        bytes.append(static_cast<std::size_t>(allocated - end), '\0');
    }
    if (!file_->writeDurably(fileBytes_, bytes)) return false;
    fileBytes_ = end;
    allocatedBytes_ = allocated;
    return true;
}

// A folder that takes no new file (read-only for a while) still lets the snapshot go at the
// end of what is known good; the file is cut behind it, so nothing stale can follow it.
bool Journal::rewrite(const std::string& bytes) {
    if (file_->replaceDurably(bytes)) {
        fileBytes_ = allocatedBytes_ = bytes.size();
        compactionFrom_ = 0;
        return true;
    }
    const std::uint64_t end = fileBytes_ + bytes.size();
    if (!file_->writeDurably(fileBytes_, bytes) || !file_->truncateDurably(end)) return false;
    fileBytes_ = allocatedBytes_ = end;
    compactionFrom_ = end + kCompactSlackBytes;
    return true;
}

void Journal::run() {
    std::unique_lock lock(stateMutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || hasPending() || needsRewrite_; });
        // Everything that changes within the delay goes out in one flush. The changes do not
        // wake it meanwhile: that is a wake-up per received batch at a fast line rate.
        stopped_.wait_until(lock, pendingSince_ + flushDelay_, [this] { return stopping_; });
        if (stopping_) return;  // the destructor flushes what is left
        lock.unlock();
        flush();
        lock.lock();
    }
}

}  // namespace vennick
