#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vennick {

// A selection inside the view, in the view's own unit: line index, then byte column and
// byte length inside that line (a line end counts once, not twice, so it maps cleanly onto a
// text widget's blocks).
struct LineSelection {
    int line = 0;
    int column = 0;
    int length = 0;
    friend bool operator==(const LineSelection&, const LineSelection&) = default;
};

// Takes the first `bytes` of `text` away after they were written to a log file (whole lines, the
// last of them perhaps a typed line without its line end), and with a typed last line also the
// line end that joined it to the lines behind it. Returns how many bytes went.
std::size_t eraseWrittenPrefix(std::string& text, std::size_t bytes);

// Told of every change to a LineBuffer's text, in order: `removed` bytes at byte `offset` of the
// old text() were replaced by `inserted` (already in the buffer's CR LF form), or the first
// `bytes` went into a log file and left the buffer (by eraseWrittenPrefix()).
class LineBufferObserver {
public:
    virtual ~LineBufferObserver() = default;
    virtual void textChanged(std::size_t offset, std::size_t removed,
                             std::string_view inserted) = 0;
    virtual void writtenPrefixRemoved(std::size_t bytes) = 0;
};

// The received lines as the list view shows them and the log writer saves them: one UTF-8 text
// in which every appended line is followed by CR LF. The empty rest after the last CR LF is not
// a line; text typed into the view may leave a last line without a line end.
class LineBuffer {
public:
    static constexpr int kMaxLineBytes = 4096;

    const std::string& text() const { return text_; }
    bool empty() const { return text_.empty(); }
    int count() const;

    // The line without its line end, at most its first 4096 bytes; "" for an index out of range.
    std::string line(int index) const;

    // Appends a received line (keeping a typed last line whole: CR LF goes before the text then).
    // Line ends inside `line` are stored as CR LF, as in setText().
    void append(std::string_view line);

    // Removes the line with its line end; an index with no line does nothing.
    void remove(int index);

    void clear();

    // The first `bytes` were written: they leave the buffer as eraseWrittenPrefix() says.
    // Returns how many bytes left in all.
    std::size_t removeWrittenPrefix(std::size_t bytes);

    // The view's own edit: `removed` bytes at byte `offset` give way to `inserted` (line ends
    // stored as CR LF, as in setText()). The range is clamped to the text.
    void replace(std::size_t offset, std::size_t removed, std::string_view inserted);

    // Takes the whole text back from an editable view. LF, CR LF and a lone CR all end a line;
    // each is stored as CR LF.
    void setText(std::string_view viewText);

    // The click rule: the first line (from index 0) that contains `needle`, and where.
    // Nothing for an empty needle or no match.
    std::optional<LineSelection> findFirstContaining(std::string_view needle) const;

    // Byte offset of a selection inside text() (each line end counts two). A line before the
    // first counts from 0, a line beyond the last from the end of the text.
    int offsetOf(const LineSelection& selection) const;

    // At most one observer; nullptr detaches it.
    void setObserver(LineBufferObserver* observer) { observer_ = observer; }

private:
    void changed(std::size_t offset, std::size_t removed, std::string_view inserted);
    void indexFrom(std::size_t offset);
    std::string_view lineView(int index) const;  // capped like line()

    std::string text_;                     // line ends are always CR LF
    std::vector<std::size_t> lineStarts_;  // byte offset in text_ where each line starts
    LineBufferObserver* observer_ = nullptr;
};

}  // namespace vennick
