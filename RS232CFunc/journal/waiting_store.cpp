#include "RS232CFunc/journal/waiting_store.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "RS232CFunc/journal/journal_format.h"
#include "settings/file_system.h"

namespace vennick {
namespace {

constexpr char kLineRecord = 'L';
constexpr std::size_t kFixedBytes = 8 + 4 + 4 + 1;
constexpr auto kRetryDelay = std::chrono::seconds(1);             // after a failed write
constexpr auto kDropCheckDelay = std::chrono::milliseconds(250);  // until the journal catches up

// Paths are UTF-8 on every system; std::filesystem wants to be told so.
std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string segmentName(const std::string& base, std::uint64_t id) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(id));
    return base + ".W" + digits;
}

// The segment's number when `name` is one of `stem`'s segments.
std::optional<std::uint64_t> segmentId(const std::string& name, const std::string& stem) {
    const std::string prefix = stem + ".W";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    std::uint64_t id = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        id = id * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    return id;
}

// type | payload length | number, bytes received, characters accepted, EOT, text | CRC-32,
// framed as the journal's records are.
void appendLine(std::string& out, const WaitingLine& line) {
    std::string payload;
    payload.reserve(kFixedBytes + line.event.text.size());
    journal::putLittleEndian(payload, line.number);
    journal::putLittleEndian(payload, static_cast<std::uint32_t>(line.event.bytesReceived));
    journal::putLittleEndian(payload, static_cast<std::uint32_t>(line.event.charsAccepted));
    journal::putLittleEndian(payload, static_cast<std::uint8_t>(line.event.endedByEot ? 1 : 0));
    payload += line.event.text;
    out += journal::frame(kLineRecord, payload);
}

std::vector<WaitingLine> decodeLines(std::string_view bytes) {
    std::vector<WaitingLine> lines;
    for (const journal::Frame& frame : journal::frames(bytes).frames) {
        if (frame.type != kLineRecord || frame.payload.size() < kFixedBytes) break;
        WaitingLine line;
        line.number = journal::getLittleEndian<std::uint64_t>(frame.payload, 0);
        line.event.bytesReceived =
            static_cast<std::int32_t>(journal::getLittleEndian<std::uint32_t>(frame.payload, 8));
        line.event.charsAccepted =
            static_cast<std::int32_t>(journal::getLittleEndian<std::uint32_t>(frame.payload, 12));
        line.event.endedByEot = frame.payload[16] != 0;
        line.event.text = frame.payload.substr(kFixedBytes);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<WaitingLine> readSegment(const std::string& path) {
    const auto size = fileSizeOf(path);
    if (!size) return {};
    const auto bytes = readFileRange(path, 0, *size);
    return bytes ? decodeLines(*bytes) : std::vector<WaitingLine>{};
}

// The segment being appended to is read through the store's own handle: on Windows no other
// may open it meanwhile.
std::vector<WaitingLine> readOpenSegment(JournalFile& file) {
    const auto bytes = file.readAll();
    return bytes ? decodeLines(*bytes) : std::vector<WaitingLine>{};
}

}  // namespace

std::unique_ptr<WaitingStore> WaitingStore::open(const std::string& journalPath,
                                                 std::uint64_t taken,
                                                 std::function<std::uint64_t()> durableTaken) {
    return open(journalPath, taken, std::move(durableTaken), Limits{});
}

std::unique_ptr<WaitingStore> WaitingStore::open(const std::string& journalPath,
                                                 std::uint64_t taken,
                                                 std::function<std::uint64_t()> durableTaken,
                                                 Limits limits) {
    std::string base = withExtension(journalPath, "");
    if (!base.empty() && base.back() == '.') base.pop_back();
    std::unique_ptr<WaitingStore> store(
        new WaitingStore(std::move(base), limits, std::move(durableTaken)));
    store->scan(taken);
    store->thread_ = std::thread([raw = store.get()] { raw->run(); });
    return store;
}

WaitingStore::WaitingStore(std::string base, Limits limits,
                           std::function<std::uint64_t()> durableTaken)
    : base_(std::move(base)), limits_(limits), durableTaken_(std::move(durableTaken)) {}

WaitingStore::~WaitingStore() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

// The segments earlier runs left: their lines after `taken` are left over; numbering goes on
// behind all of them.
void WaitingStore::scan(std::uint64_t taken) {
    const std::filesystem::path basePath = fsPath(base_);
    const std::string stem = utf8Of(basePath.filename());
    std::error_code error;
    const std::filesystem::path folder =
        basePath.has_parent_path() ? basePath.parent_path() : std::filesystem::path(".");
    std::vector<std::pair<std::uint64_t, std::string>> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (const auto id = segmentId(utf8Of(entry.path().filename()), stem)) {
            found.emplace_back(*id, utf8Of(entry.path()));
        }
    }
    std::sort(found.begin(), found.end());
    std::uint64_t highest = taken;
    for (const auto& [id, path] : found) {
        const std::vector<WaitingLine> lines = readSegment(path);
        Segment segment{id, path, 1, 0, fileSizeOf(path).value_or(0)};
        if (!lines.empty()) {
            segment.first = lines.front().number;
            segment.last = lines.back().number;
            highest = std::max(highest, segment.last);
        }
        diskBytes_ += segment.bytes;
        segments_.push_back(std::move(segment));
        nextId_ = id + 1;
    }
    taken_ = taken;
    leftOverLast_ = highest;
    next_ = durableEnd_ = pendingFirst_ = highest + 1;
}

void WaitingStore::forEachLeftOver(
    std::size_t pieceBytes,
    const std::function<bool(std::string_view, std::uint64_t, int)>& piece) const {
    std::deque<Segment> segments;
    {
        const std::lock_guard lock(mutex_);
        segments = segments_;
    }
    std::string text;
    std::uint64_t last = taken_;
    std::uint64_t handed = taken_;
    int lines = 0;
    const auto handOn = [&] {
        const bool more = piece(text, last, lines);
        handed = last;
        text.clear();
        lines = 0;
        return more;
    };
    for (const Segment& segment : segments) {
        if (segment.last <= taken_ || segment.first > leftOverLast_) continue;
        for (const WaitingLine& line : readSegment(segment.path)) {
            if (line.number <= taken_ || line.number > leftOverLast_) continue;
            last = line.number;
            if (line.event.text.empty()) continue;
            text += line.event.text + "\r\n";
            ++lines;
            if (text.size() >= pieceBytes && !handOn()) return;
        }
    }
    // The last piece, also when only lines without text were left: they are taken too.
    if (last > handed) handOn();
}

// --- The queue ----------------------------------------------------------------------------

bool WaitingStore::empty() const {
    const std::lock_guard lock(mutex_);
    return head_.empty() && tail_.empty() && !spilled_;
}

void WaitingStore::push(LineEvent event) {
    const std::lock_guard lock(mutex_);
    WaitingLine line{next_++, std::move(event)};
    if (pending_.empty()) {
        pendingSince_ = std::chrono::steady_clock::now();
        pendingFirst_ = line.number;
        wake_.notify_all();
    }
    appendLine(pending_, line);
    pendingLast_ = line.number;
    const std::size_t cost = memoryCost(line.event);
    memoryBytes_ += cost;
    if (!spilled_) headBytes_ += cost;
    (spilled_ ? tail_ : head_).push_back(std::move(line));
}

std::optional<WaitingLine> WaitingStore::pop() {
    const std::lock_guard lock(mutex_);
    if (head_.empty()) {
        if (spilled_) {
            reloadWanted_ = true;
            reloadFailed_ = false;
            wake_.notify_all();
        }
        return std::nullopt;
    }
    WaitingLine line = std::move(head_.front());
    head_.pop_front();
    const std::size_t cost = memoryCost(line.event);
    memoryBytes_ -= cost;
    headBytes_ -= cost;
    if (readAhead()) wake_.notify_all();
    return line;
}

// Memory beyond twice its limit means the disk takes nothing: reception waits then too.
bool WaitingStore::hasRoom() const {
    const std::lock_guard lock(mutex_);
    return diskBytes_ + pending_.size() < limits_.diskBytes &&
           memoryBytes_ < 2 * limits_.memoryBytes;
}

void WaitingStore::setReadyHandler(std::function<void()> ready) {
    const std::lock_guard lock(readyMutex_);
    ready_ = std::move(ready);
}

void WaitingStore::flush() {
    std::unique_lock lock(mutex_);
    flushWanted_ = true;
    wake_.notify_all();
    wake_.wait(lock, [this] { return (pending_.empty() && !writing_) || stopping_; });
}

std::size_t WaitingStore::memoryBytes() const {
    const std::lock_guard lock(mutex_);
    return memoryBytes_;
}

bool WaitingStore::headLow() const {
    return headBytes_ < limits_.memoryBytes / 4;
}

// --- The thread ---------------------------------------------------------------------------

bool WaitingStore::hasWork() const {
    return stopping_ || reloadWanted_ || flushWanted_ || !pending_.empty() || readAhead();
}

// The head runs low while lines wait on the disk: read them back before the list needs them.
bool WaitingStore::readAhead() const {
    return spilled_ && !reloadFailed_ && headLow();
}

void WaitingStore::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const bool segmentsLeft =
            segments_.size() > (open_ ? 1u : 0u) ||
            (!segments_.empty() && head_.empty() && tail_.empty() && !spilled_ && pending_.empty());
        if (segmentsLeft) {
            wake_.wait_for(lock, kDropCheckDelay, [this] { return hasWork(); });
        } else {
            wake_.wait(lock, [this] { return hasWork(); });
        }
        // Lines that come within the delay go out together.
        if (!pending_.empty() && !stopping_ && !reloadWanted_ && !flushWanted_) {
            const auto due = pendingSince_ + (writeFailing_ ? kRetryDelay : limits_.flushDelay);
            wake_.wait_until(lock, due,
                             [this] { return stopping_ || reloadWanted_ || flushWanted_; });
        }
        flushWanted_ = false;
        writePending(lock);
        wake_.notify_all();  // a flush() may wait for it
        if (stopping_) return;
        if (reloadWanted_ || readAhead()) reload(lock);
        lock.unlock();
        dropTakenSegments();
        lock.lock();
    }
}

// mutex_ held on entry and on return; released while the disk works.
void WaitingStore::writePending(std::unique_lock<std::mutex>& lock) {
    if (pending_.empty()) return;
    std::string bytes = std::move(pending_);
    pending_.clear();
    const std::uint64_t first = pendingFirst_;
    const std::uint64_t last = pendingLast_;
    writing_ = true;
    lock.unlock();
    const bool written = appendToSegment(bytes, first, last);
    lock.lock();
    writing_ = false;
    if (!written) {
        // Kept for the next try, before whatever came meanwhile.
        pending_ = bytes + pending_;
        pendingFirst_ = first;
        if (pendingLast_ < last) pendingLast_ = last;
        pendingSince_ = std::chrono::steady_clock::now();
        writeFailing_ = true;
        return;
    }
    writeFailing_ = false;
    diskBytes_ += bytes.size();
    durableEnd_ = last + 1;
    if (!pending_.empty()) pendingFirst_ = last + 1;
    evict();
}

bool WaitingStore::appendToSegment(const std::string& bytes, std::uint64_t first,
                                   std::uint64_t last) {
    if (open_ && segments_.back().bytes >= limits_.segmentBytes) open_.reset();
    if (!open_) {
        Segment segment{nextId_, segmentName(base_, nextId_), first, first - 1, 0};
        open_ = JournalFile::open(segment.path);
        if (!open_) return false;
        ++nextId_;
        const std::lock_guard lock(mutex_);
        segments_.push_back(std::move(segment));
    }
    Segment& segment = segments_.back();
    if (!open_->writeDurably(segment.bytes, bytes)) return false;
    const std::lock_guard lock(mutex_);
    segment.bytes += bytes.size();
    segment.last = last;
    return true;
}

// Over the memory limit, the newest lines that are on the disk leave memory; the oldest stay,
// as the list takes them next.
void WaitingStore::evict() {
    if (memoryBytes_ <= limits_.memoryBytes) return;
    if (!spilled_) {
        // Those not yet on the disk stay in memory, behind the spilled ones.
        while (!head_.empty() && head_.back().number >= durableEnd_) {
            headBytes_ -= memoryCost(head_.back().event);
            tail_.push_front(std::move(head_.back()));
            head_.pop_back();
        }
        while (!head_.empty() && memoryBytes_ > limits_.memoryBytes / 2) {
            const WaitingLine& line = head_.back();
            const std::size_t cost = memoryCost(line.event);
            memoryBytes_ -= cost;
            headBytes_ -= cost;
            spilled_ = Spilled{line.number, spilled_ ? spilled_->to : line.number};
            head_.pop_back();
        }
        return;
    }
    while (!tail_.empty() && tail_.front().number < durableEnd_ &&
           memoryBytes_ > limits_.memoryBytes / 2) {
        memoryBytes_ -= memoryCost(tail_.front().event);
        spilled_->to = tail_.front().number;
        tail_.pop_front();
    }
}

// mutex_ held on entry and on return; released while the disk works.
void WaitingStore::reload(std::unique_lock<std::mutex>& lock) {
    if (!spilled_) {
        reloadWanted_ = false;
        return;
    }
    const Spilled range = *spilled_;
    lock.unlock();
    std::vector<WaitingLine> lines = readLines(range.from, range.to, limits_.memoryBytes / 4);
    lock.lock();
    for (WaitingLine& line : lines) {
        const std::size_t cost = memoryCost(line.event);
        memoryBytes_ += cost;
        headBytes_ += cost;
        head_.push_back(std::move(line));
    }
    if (!lines.empty()) spilled_->from = head_.back().number + 1;
    if (spilled_->from > spilled_->to) {
        spilled_.reset();
        for (WaitingLine& line : tail_) {
            headBytes_ += memoryCost(line.event);
            head_.push_back(std::move(line));
        }
        tail_.clear();
    }
    reloadFailed_ = lines.empty();
    // Also when the list ran dry while this read was under way.
    const bool someoneWaits = reloadWanted_;
    reloadWanted_ = false;
    if (!someoneWaits || lines.empty()) return;
    lock.unlock();
    {
        const std::lock_guard readyLock(readyMutex_);
        if (ready_) ready_();
    }
    lock.lock();
}

std::vector<WaitingLine> WaitingStore::readLines(std::uint64_t from, std::uint64_t to,
                                                 std::size_t budget) const {
    std::deque<Segment> segments;
    {
        const std::lock_guard lock(mutex_);
        segments = segments_;
    }
    std::vector<WaitingLine> lines;
    std::size_t bytes = 0;
    for (const Segment& segment : segments) {
        if (segment.last < from || segment.first > to) continue;
        const bool isOpen = open_ && segment.path == segments.back().path;
        for (WaitingLine& line : isOpen ? readOpenSegment(*open_) : readSegment(segment.path)) {
            if (line.number < from || line.number > to) continue;
            if (!lines.empty() && line.number != lines.back().number + 1) return lines;
            bytes += memoryCost(line.event);
            lines.push_back(std::move(line));
            if (bytes >= budget) return lines;
        }
    }
    return lines;
}

// A segment goes once the journal's disk has that all its lines entered the list (or were
// written at start); the one being appended to goes too once nothing waits.
void WaitingStore::dropTakenSegments() {
    const std::uint64_t durable = durableTaken_();
    bool freed = false;
    for (;;) {
        Segment front;
        {
            const std::lock_guard lock(mutex_);
            if (segments_.empty() || segments_.front().last > durable) break;
            const bool isOpen = open_ && segments_.size() == 1;
            if (isOpen && (!pending_.empty() || next_ > segments_.front().last + 1)) break;
            front = std::move(segments_.front());
            segments_.pop_front();
            diskBytes_ -= front.bytes;
            if (isOpen) open_.reset();
        }
        std::error_code error;
        std::filesystem::remove(fsPath(front.path), error);
        freed = true;
    }
    if (!freed) return;
    const std::lock_guard readyLock(readyMutex_);
    if (ready_) ready_();  // room for reception, if it waited for it
}

}  // namespace vennick
