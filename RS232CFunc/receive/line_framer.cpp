#include "RS232CFunc/receive/line_framer.h"

#include <limits>
#include <string_view>

namespace vennick {
namespace {

enum class ByteKind : std::uint8_t { Noise, Data, LineEnd, Eot };

constexpr std::array<ByteKind, 256> makeByteKinds() {
    std::array<ByteKind, 256> kinds{};  // Noise unless listed below
    const auto mark = [&kinds](char from, char to, ByteKind kind) {
        for (int c = from; c <= to; ++c) kinds[static_cast<std::size_t>(c)] = kind;
    };
    mark('0', '9', ByteKind::Data);
    mark('A', 'Z', ByteKind::Data);
    mark('a', 'z', ByteKind::Data);
    for (const char c : std::string_view("+-., ")) mark(c, c, ByteKind::Data);
    for (const char c : std::string_view("\x01\x02\x03\n\r")) mark(c, c, ByteKind::LineEnd);
    mark('\x04', '\x04', ByteKind::Eot);
    return kinds;
}

constexpr std::array<ByteKind, 256> kByteKinds = makeByteKinds();

std::string_view trimmed(std::string_view text) {
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

FramedLine LineFramer::readLine(ByteSource& source) {
    FramedLine line;
    int position = 0;  // write position in the accumulator
    bool ended = false;
    while (!ended) {
        // A fast stream arrives in reads of thousands of bytes: scan them in one run.
        const std::span<const std::uint8_t> run = source.buffered();
        if (!run.empty()) {
            std::size_t used = 0;
            while (!ended && used < run.size()) ended = take(run[used++], line, position);
            source.consume(used);
            continue;
        }
        const std::optional<std::uint8_t> byte = source.readByte();
        if (byte) {
            ended = take(*byte, line, position);
        } else if (source.abandoned()) {
            line.abandoned = true;
            break;
        }  // else the read timed out: wait for the next byte
    }
    accumulator_[static_cast<std::size_t>(position)] = '\0';
    line.text = trimmed(std::string_view(accumulator_.data(), static_cast<std::size_t>(position)));
    return line;
}

bool LineFramer::take(std::uint8_t byte, FramedLine& line, int& position) {
    // Saturate rather than overflow on an endless stream without a line end.
    if (line.bytesReceived < std::numeric_limits<std::int32_t>::max()) ++line.bytesReceived;
    switch (kByteKinds[byte]) {
        case ByteKind::Data:
            accumulator_[static_cast<std::size_t>(position++)] = static_cast<char>(byte);
            ++line.charsAccepted;
            // A full accumulator ends the line; the next character starts a new one.
            return position == kMaxLineLength;
        case ByteKind::LineEnd:
            return position > 0;  // leading line ends and empty lines are skipped
        case ByteKind::Eot:
            line.endedByEot = true;
            return true;
        case ByteKind::Noise:
            break;
    }
    return false;
}

}  // namespace vennick
