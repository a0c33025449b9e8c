#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The journal's file format: a sequence of records, each
//   type (1 byte) | payload length (u32 LE) | payload | CRC-32 of type, length and payload (u32 LE)
// A record that is cut short or fails its check ends the journal: everything before it counts,
// nothing after it (a power cut can only damage the tail of an appended file).
namespace vennick::journal {

// Numbers in the files are little-endian whatever the machine.
template <typename Unsigned>
void putLittleEndian(std::string& out, Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        out += static_cast<char>(static_cast<unsigned char>(value >> (8 * i)));
    }
}

template <typename Unsigned>
Unsigned getLittleEndian(std::string_view bytes, std::size_t at) {
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        value = static_cast<Unsigned>(
            value | static_cast<Unsigned>(static_cast<unsigned char>(bytes[at + i])) << (8 * i));
    }
    return value;
}

std::uint32_t crc32(std::string_view bytes);

// One framed record: its type and its checked payload.
struct Frame {
    char type = 0;
    std::string_view payload;
};

// `payload` framed as a record of `type`.
std::string frame(char type, std::string_view payload);

struct Frames {
    std::vector<Frame> frames;
    std::size_t validBytes = 0;  // where the damage (or the end) begins
};

// Every whole, checked frame before the first damaged one; never throws on any input.
Frames frames(std::string_view bytes);

// Which text a log write took: the buffer of this run, or what an earlier run left unwritten.
enum class Scope : std::uint8_t { Live = 0, LeftOver = 1 };

// Written before a log write, so that a crash between the log file's flush and the journal's
// record of the outcome can be settled by looking at that one file.
struct Intent {
    Scope scope = Scope::Live;
    std::string path;
    std::int64_t sizeBefore = -1;  // -1: the file did not exist
    std::uint64_t length = 0;      // bytes of the batch as written (code page 932)
    std::uint32_t crc = 0;         // of those bytes
    // The batch is this many bytes at the start of its text; other changes may come between the
    // intent and its outcome. Without it (journals of earlier versions) the batch is the whole
    // text, and the outcome is the very next record.
    std::optional<std::uint64_t> textBytes;
    friend bool operator==(const Intent&, const Intent&) = default;
};

struct Record {
    enum class Type : char {
        LeftOver = 'C',      // text: replaces the left-over text
        Snapshot = 'S',      // text: replaces the live text
        Change = 'R',        // offset, removed, text inserted into the live text
        WholeIntent = 'I',   // a log write of the whole text is about to happen
        PrefixIntent = 'J',  // a log write of the first textBytes of the text is about to happen
        Done = 'D',          // the log write of the open intent landed
        Abandoned = 'A',     // the log write of the open intent failed; the file is as it was
        Taken = 'T',         // text inserted into the live text at offset: waiting lines up to
                             // number `waiting` entered the list
        Moved = 'M',         // text added to the left-over text: waiting lines up to number
                             // `waiting` are left over for this start's write
    };
    Type type = Type::Change;
    std::uint64_t offset = 0;
    std::uint64_t removed = 0;
    std::string text;
    Intent intent;
    std::uint64_t waiting = 0;
    friend bool operator==(const Record&, const Record&) = default;
};

std::string encode(const Record& record);
// The same as appending encode(change(...)) or encode(taken(...)), without building the record:
// one per run of received lines. With `waiting`, a Taken record.
void appendChange(std::string& out, std::uint64_t offset, std::uint64_t removed,
                  std::string_view inserted, std::optional<std::uint64_t> waiting = {});
Record change(std::uint64_t offset, std::uint64_t removed, std::string_view inserted);
Record taken(std::uint64_t offset, std::string_view inserted, std::uint64_t waiting);
Record moved(std::string_view text, std::uint64_t waiting);
Record leftOver(std::string_view text);
Record snapshot(std::string_view text);
Record intent(Intent intent);
Record done();
Record abandoned();

struct Decoded {
    std::vector<Record> records;
    std::size_t validBytes = 0;  // where the damage (or the end) begins
};

// Every whole record before the first damaged one; never throws on any input.
Decoded decode(std::string_view bytes);

// What the journal says is not yet in any log file.
struct Texts {
    std::string leftOver;  // from earlier runs
    std::string live;      // the buffer of the run that wrote the journal
    // Waiting lines up to this number are in one of the texts or written; those after it are
    // still only in the waiting store.
    std::uint64_t waitingTaken = 0;
    friend bool operator==(const Texts&, const Texts&) = default;
};

// Applies a change the way the line buffer does: the range is clamped to the text.
void applyChange(std::string& text, std::uint64_t offset, std::uint64_t removed,
                 std::string_view inserted);

// Decides an intent whose outcome the journal lost: true when its batch (the text it took, as
// UTF-8) is in the log file.
using IntentProbe = std::function<bool(const Intent&, const std::string& batchText)>;

// Replays the records. A settled write removes its batch from its text; an intent without an
// outcome is settled by `probe`.
Texts replay(const std::vector<Record>& records, const IntentProbe& probe);

// Two texts as one batch: a last line without a line end gets one before the next text.
std::string joinTexts(const std::string& first, const std::string& second);

}  // namespace vennick::journal
