#include "RS232CFunc/state/line_buffer.h"

#include <algorithm>

namespace vennick {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Appends `text` to `out` with every line end (CR LF, LF or a lone CR) written as CR LF.
void appendWithCrLf(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const std::size_t stop = text.find_first_of("\r\n");
        if (stop == std::string_view::npos) {
            out += text;
            return;
        }
        out += text.substr(0, stop);
        out += kLineEnd;
        const bool crLf = text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n';
        text.remove_prefix(stop + (crLf ? 2 : 1));
    }
}

bool isUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::size_t eraseWrittenPrefix(std::string& text, std::size_t bytes) {
    bytes = std::min(bytes, text.size());
    if (bytes == 0) return 0;
    const bool endedTyped = text[bytes - 1] != '\n';
    if (endedTyped && text.compare(bytes, kLineEnd.size(), kLineEnd) == 0) {
        bytes += kLineEnd.size();
    }
    text.erase(0, bytes);
    return bytes;
}

int LineBuffer::count() const {
    return static_cast<int>(lineStarts_.size());
}

std::string LineBuffer::line(int index) const {
    return std::string(lineView(index));
}

void LineBuffer::append(std::string_view line) {
    const std::size_t oldSize = text_.size();
    const bool typedLastLine = !text_.empty() && text_.back() != '\n';
    if (typedLastLine) text_ += kLineEnd;
    const std::size_t start = text_.size();
    appendWithCrLf(text_, line);
    if (!typedLastLine) text_ += kLineEnd;
    indexFrom(start);
    changed(oldSize, 0, std::string_view(text_).substr(oldSize));
}

void LineBuffer::clear() {
    const std::size_t oldSize = text_.size();
    text_.clear();
    lineStarts_.clear();
    if (oldSize > 0) changed(0, oldSize, {});
}

std::size_t LineBuffer::removeWrittenPrefix(std::size_t bytes) {
    const std::size_t removed = eraseWrittenPrefix(text_, bytes);
    if (removed == 0) return 0;
    if (observer_) observer_->writtenPrefixRemoved(bytes);
    const auto firstKept = std::lower_bound(lineStarts_.begin(), lineStarts_.end(), removed);
    lineStarts_.erase(lineStarts_.begin(), firstKept);
    for (std::size_t& start : lineStarts_) start -= removed;
    return removed;
}

void LineBuffer::replace(std::size_t offset, std::size_t removed, std::string_view inserted) {
    offset = std::min(offset, text_.size());
    removed = std::min(removed, text_.size() - offset);
    std::string stored;
    appendWithCrLf(stored, inserted);
    text_.replace(offset, removed, stored);
    lineStarts_.clear();
    indexFrom(0);
    changed(offset, removed, stored);
}

void LineBuffer::changed(std::size_t offset, std::size_t removed, std::string_view inserted) {
    if (observer_ && (removed > 0 || !inserted.empty())) {
        observer_->textChanged(offset, removed, inserted);
    }
}

void LineBuffer::remove(int index) {
    if (index < 0 || index >= count()) return;
    const auto at = static_cast<std::size_t>(index);
    const std::size_t start = lineStarts_[at];
    const std::size_t stop = at + 1 < lineStarts_.size() ? lineStarts_[at + 1] : text_.size();
    const std::size_t removed = stop - start;
    text_.erase(start, removed);
    lineStarts_.erase(lineStarts_.begin() + index);
    for (std::size_t i = at; i < lineStarts_.size(); ++i) lineStarts_[i] -= removed;
    changed(start, removed, {});
}

void LineBuffer::setText(std::string_view viewText) {
    replace(0, text_.size(), viewText);
}

std::optional<LineSelection> LineBuffer::findFirstContaining(std::string_view needle) const {
    if (needle.empty()) return std::nullopt;
    for (int i = 0; i < count(); ++i) {
        const std::size_t column = lineView(i).find(needle);
        if (column != std::string_view::npos) {
            return LineSelection{i, static_cast<int>(column), static_cast<int>(needle.size())};
        }
    }
    return std::nullopt;
}

int LineBuffer::offsetOf(const LineSelection& selection) const {
    std::size_t lineStart = 0;
    if (selection.line >= count()) {
        lineStart = text_.size();
    } else if (selection.line > 0) {
        lineStart = lineStarts_[static_cast<std::size_t>(selection.line)];
    }
    return static_cast<int>(lineStart) + selection.column;
}

// Records the start of every line that begins at or after `offset`, which must itself be the
// start of the text or follow a line end. Only the new part of the text is scanned.
void LineBuffer::indexFrom(std::size_t offset) {
    while (offset < text_.size()) {
        lineStarts_.push_back(offset);
        const std::size_t end = text_.find(kLineEnd, offset);
        if (end == std::string::npos) return;  // a typed last line without line end
        offset = end + kLineEnd.size();
    }
}

std::string_view LineBuffer::lineView(int index) const {
    if (index < 0 || index >= count()) return {};
    const auto at = static_cast<std::size_t>(index);
    const std::size_t start = lineStarts_[at];
    std::size_t end = text_.size();
    if (at + 1 < lineStarts_.size()) {
        end = lineStarts_[at + 1] - kLineEnd.size();
    } else if (text_.back() == '\n') {
        end -= kLineEnd.size();
    }
    std::size_t length = end - start;
    if (length > kMaxLineBytes) {
        // Cut before a character that would not fit whole (at most 3 bytes of it are kept back,
        // so text that is not UTF-8 still yields nearly the full length).
        length = kMaxLineBytes;
        const std::size_t shortest = length - 3;
        while (length > shortest && isUtf8Continuation(text_[start + length])) --length;
    }
    return std::string_view(text_).substr(start, length);
}

}  // namespace vennick
