#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vennick {

// Where the framer gets its bytes: the port, a buffer pulled from the port, or a test.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // One byte, or nothing when the read timed out or failed.
    virtual std::optional<std::uint8_t> readByte() = 0;

    // Asked after a read that returned nothing: true when the line should be given up
    // (a stop was requested or the port was lost).
    virtual bool abandoned() const = 0;

    // Bytes already read and not yet taken, which the framer may scan in one run before it
    // consumes as many as it used; a source without a buffer has none.
    virtual std::span<const std::uint8_t> buffered() const { return {}; }
    virtual void consume(std::size_t /*count*/) {}
};

// One finished line and what it cost on the wire.
struct FramedLine {
    std::string text;                // trimmed; empty when nothing is to be appended
    std::int32_t bytesReceived = 0;  // every byte obtained during this line (gb)
    std::int32_t charsAccepted = 0;  // every byte stored in the accumulator (nb)
    bool endedByEot = false;
    bool abandoned = false;          // cut off by a stop request or a lost port
};

// Cuts the device's byte stream into lines: CR, LF, SOH, STX, ETX end a line, EOT ends a
// transmission, only digits, letters, "+-.," and space stay, outer spaces are trimmed.
class LineFramer {
public:
    // Reads until a line ends (or the source is abandoned).
    FramedLine readLine(ByteSource& source);

    // Longest line kept in one piece; the next character starts a new line.
    static constexpr int kMaxLineLength = 515;

private:
    // One byte into the line; true when it ends the line.
    bool take(std::uint8_t byte, FramedLine& line, int& position);

    std::array<char, kMaxLineLength + 1> accumulator_{};
};

}  // namespace vennick
