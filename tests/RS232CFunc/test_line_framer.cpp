#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "RS232CFunc/line_framer.h"

namespace vennick {
namespace {

using namespace std::string_view_literals;

// Plays a script of bytes and read time-outs. Once the script is used up every read returns
// nothing and the source reports itself abandoned, so a test can never hang.
class ScriptedSource : public ByteSource {
public:
    ScriptedSource& bytes(std::string_view text) {
        for (const char c : text) steps_.push_back(static_cast<std::uint8_t>(c));
        return *this;
    }
    ScriptedSource& timeouts(int count) {
        steps_.insert(steps_.end(), static_cast<std::size_t>(count), std::nullopt);
        return *this;
    }

    std::optional<std::uint8_t> readByte() override {
        if (next_ >= steps_.size()) return std::nullopt;
        return steps_[next_++];
    }
    bool abandoned() const override { return next_ >= steps_.size(); }

    bool used() const { return next_ >= steps_.size(); }
    std::size_t position() const { return next_; }

private:
    std::vector<std::optional<std::uint8_t>> steps_;
    std::size_t next_ = 0;
};

// Hands out bytes taken from the port in big chunks, one at a time, with a read time-out between
// chunks, the way a buffered port reader does.
class ChunkedSource : public ByteSource {
public:
    explicit ChunkedSource(std::vector<std::string> chunks) : chunks_(std::move(chunks)) {}

    std::optional<std::uint8_t> readByte() override {
        while (chunk_ < chunks_.size()) {
            if (offset_ < chunks_[chunk_].size()) {
                return static_cast<std::uint8_t>(chunks_[chunk_][offset_++]);
            }
            ++chunk_;
            offset_ = 0;
            return std::nullopt;  // the next chunk is not there yet
        }
        return std::nullopt;
    }
    bool abandoned() const override { return chunk_ >= chunks_.size(); }

private:
    std::vector<std::string> chunks_;
    std::size_t chunk_ = 0;
    std::size_t offset_ = 0;
};

// Every line the framer returns until the source is given up (the abandoned line included).
std::vector<FramedLine> frameAll(ByteSource& source) {
    LineFramer framer;
    std::vector<FramedLine> lines;
    do {
        lines.push_back(framer.readLine(source));
    } while (!lines.back().abandoned);
    return lines;
}

FramedLine frameOne(std::string_view bytes) {
    ScriptedSource source;
    source.bytes(bytes);
    LineFramer framer;
    return framer.readLine(source);
}

void expectLine(const FramedLine& line, std::string_view text, int received, int accepted,
                bool eot = false) {
    EXPECT_EQ(line.text, text);
    EXPECT_EQ(line.bytesReceived, received);
    EXPECT_EQ(line.charsAccepted, accepted);
    EXPECT_EQ(line.endedByEot, eot);
    EXPECT_FALSE(line.abandoned);
}

TEST(LineFramer, DeviceLinesFromTheWire) {
    {
        SCOPED_TRACE("CR LF: the LF is skipped inside the next call, which then meets the EOT");
        ScriptedSource source;
        source.bytes("12.5\r\n\x04");
        LineFramer framer;
        expectLine(framer.readLine(source), "12.5", 5, 4);
        EXPECT_EQ(source.position(), 5u);  // the LF is still waiting
        expectLine(framer.readLine(source), "", 2, 0, true);
        EXPECT_TRUE(source.used());
    }
    {
        SCOPED_TRACE("STX 1 2 3 ETX");
        ScriptedSource source;
        source.bytes(
            "\x02"
            "123\x03");
        LineFramer framer;
        expectLine(framer.readLine(source), "123", 5, 3);
    }
    SCOPED_TRACE("outer spaces trimmed, inner space kept, all stored bytes counted");
    expectLine(frameOne("  12.5 -3  \r"), "12.5 -3", 12, 11);
}

TEST(LineFramer, NoiseIsDroppedAndCountedAsReceivedOnly) {
    ScriptedSource source;
    source.bytes(
        "\x82\xA0"
        "A/B\r12:30\n\t\x00\x7F\xFF\x1B"
        "C\r"sv);
    LineFramer framer;
    expectLine(framer.readLine(source), "AB", 6, 2);
    expectLine(framer.readLine(source), "1230", 6, 4);
    expectLine(framer.readLine(source), "C", 7, 1);
}

TEST(LineFramer, EotEndsTheLineEvenWhenEmpty) {
    expectLine(frameOne("\x04"), "", 1, 0, true);
    expectLine(frameOne("ABC\x04"), "ABC", 4, 3, true);
    expectLine(frameOne("\r\n\x04"), "", 3, 0, true);
}

TEST(LineFramer, LineEndsOnlyEndALineThatHoldsCharacters) {
    {
        SCOPED_TRACE("leading line ends of every kind are skipped");
        expectLine(frameOne("\r\n\x01\x02\x03X\r"), "X", 7, 1);
    }
    {
        SCOPED_TRACE("spaces are characters: the line ends, but nothing is left to append");
        ScriptedSource source;
        source.bytes("   \rZ\r");
        LineFramer framer;
        expectLine(framer.readLine(source), "", 4, 3);
        expectLine(framer.readLine(source), "Z", 2, 1);
    }
}

TEST(LineFramer, ShortLineAfterLongLineHoldsOnlyItsOwnCharacters) {
    ScriptedSource source;
    source.bytes("ABCDEF\rXY\r");
    LineFramer framer;
    EXPECT_EQ(framer.readLine(source).text, "ABCDEF");
    EXPECT_EQ(framer.readLine(source).text, "XY");
}

// The kinds as the device protocol lists them, written out independently of the framer's table.
enum class Kind { Data, LineEnd, Eot, Noise };
Kind expectedKind(int byte) {
    const std::string_view data =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+-., ";
    if (byte == 0x04) return Kind::Eot;
    if (byte == 0x01 || byte == 0x02 || byte == 0x03 || byte == 0x0A || byte == 0x0D) {
        return Kind::LineEnd;
    }
    if (byte != 0 && data.find(static_cast<char>(byte)) != std::string_view::npos) {
        return Kind::Data;
    }
    return Kind::Noise;
}

TEST(LineFramer, EveryByteValueIsClassified) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        ScriptedSource source;
        source.bytes("A").bytes(std::string(1, static_cast<char>(byte))).bytes("Z\r");
        const std::vector<FramedLine> lines = frameAll(source);
        switch (expectedKind(byte)) {
            case Kind::Data:
                ASSERT_EQ(lines.size(), 2u);
                expectLine(lines[0], std::string("A") + static_cast<char>(byte) + "Z", 4, 3);
                break;
            case Kind::LineEnd:
                ASSERT_EQ(lines.size(), 3u);
                expectLine(lines[0], "A", 2, 1);
                expectLine(lines[1], "Z", 2, 1);
                break;
            case Kind::Eot:
                ASSERT_EQ(lines.size(), 3u);
                expectLine(lines[0], "A", 2, 1, true);
                expectLine(lines[1], "Z", 2, 1);
                break;
            case Kind::Noise:
                ASSERT_EQ(lines.size(), 2u);
                expectLine(lines[0], "AZ", 4, 2);
                break;
        }
        EXPECT_EQ(lines.back().bytesReceived, 0);
    }
}

std::string cyclingData(std::size_t length) {
    const std::string_view alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJ.,+-";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[i % alphabet.size()];
    return text;
}

TEST(LineFramer, FullAccumulatorEndsTheLineWithoutLosingACharacter) {
    const std::string data = cyclingData(1200);
    ScriptedSource source;
    source.bytes(data).bytes("\r");
    const std::vector<FramedLine> lines = frameAll(source);
    ASSERT_EQ(lines.size(), 4u);
    expectLine(lines[0], data.substr(0, 515), 515, 515);
    expectLine(lines[1], data.substr(515, 515), 515, 515);
    expectLine(lines[2], data.substr(1030), 171, 170);

    {
        SCOPED_TRACE("a line end right after a full line is skipped like the LF of CR LF");
        ScriptedSource exact;
        exact.bytes(data.substr(0, 515)).bytes("\r\x04");
        LineFramer framer;
        expectLine(framer.readLine(exact), data.substr(0, 515), 515, 515);
        expectLine(framer.readLine(exact), "", 2, 0, true);
    }
    SCOPED_TRACE("514 characters still end at their line end");
    expectLine(frameOne(data.substr(0, 514) + "\r"), data.substr(0, 514), 515, 514);
}

TEST(LineFramer, TimeoutsAreWaitedOutUntilTheSourceIsAbandoned) {
    {
        SCOPED_TRACE("time-outs inside a line do not end it");
        ScriptedSource source;
        source.timeouts(3).bytes("AB").timeouts(5).bytes("C\r");
        LineFramer framer;
        expectLine(framer.readLine(source), "ABC", 4, 3);
        EXPECT_TRUE(source.used());
    }
    {
        SCOPED_TRACE("abandoned inside a line: the partial text, trimmed, with its counts");
        ScriptedSource source;
        source.bytes(" AB :").timeouts(2);
        LineFramer framer;
        const FramedLine line = framer.readLine(source);
        EXPECT_TRUE(line.abandoned);
        EXPECT_FALSE(line.endedByEot);
        EXPECT_EQ(line.text, "AB");
        EXPECT_EQ(line.bytesReceived, 5);
        EXPECT_EQ(line.charsAccepted, 4);
    }
    SCOPED_TRACE("abandoned while waiting for the line after a CR LF");
    ScriptedSource source;
    source.bytes("X\r\n");
    LineFramer framer;
    expectLine(framer.readLine(source), "X", 2, 1);
    const FramedLine rest = framer.readLine(source);
    EXPECT_TRUE(rest.abandoned);
    EXPECT_EQ(rest.text, "");
    EXPECT_EQ(rest.bytesReceived, 1);
}

// A stream that hits every kind of byte, long runs without line ends and runs of spaces.
std::string randomStream(std::mt19937& random, std::size_t length) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_int_distribution<int> anyByte(0, 255);
    const std::string_view data = "0123456789AZaz+-., ";
    const std::string_view ends = "\x01\x02\x03\n\r";
    std::string stream;
    bool longRun = false;
    while (stream.size() < length) {
        const int roll = pick(random);
        if (roll == 0) longRun = !longRun;
        if (longRun || roll < 60) {
            stream += data[static_cast<std::size_t>(pick(random)) % data.size()];
        } else if (roll < 75) {
            stream += ends[static_cast<std::size_t>(pick(random)) % ends.size()];
        } else if (roll < 78) {
            stream += '\x04';
        } else {
            stream += static_cast<char>(anyByte(random));
        }
    }
    return stream;
}

TEST(LineFramer, BufferedReadsGiveTheSameLinesAsSingleByteReads) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const std::string stream = randomStream(random, 50000);

        ScriptedSource single;
        std::uniform_int_distribution<int> timeoutChance(0, 49);
        for (const char c : stream) {
            if (timeoutChance(random) == 0) single.timeouts(1);
            single.bytes(std::string_view(&c, 1));
        }

        std::vector<std::string> chunks;
        std::uniform_int_distribution<std::size_t> chunkSize(1, 4096);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t size = std::min(chunkSize(random), stream.size() - at);
            chunks.push_back(stream.substr(at, size));
            at += size;
        }
        ChunkedSource buffered(std::move(chunks));

        const std::vector<FramedLine> expected = frameAll(single);
        const std::vector<FramedLine> actual = frameAll(buffered);
        ASSERT_EQ(actual.size(), expected.size());
        std::int64_t received = 0;
        for (std::size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i].text, expected[i].text) << "line " << i;
            ASSERT_EQ(actual[i].bytesReceived, expected[i].bytesReceived) << "line " << i;
            ASSERT_EQ(actual[i].charsAccepted, expected[i].charsAccepted) << "line " << i;
            ASSERT_EQ(actual[i].endedByEot, expected[i].endedByEot) << "line " << i;
            received += actual[i].bytesReceived;
        }
        EXPECT_EQ(received, static_cast<std::int64_t>(stream.size()));
    }
}

}  // namespace
}  // namespace vennick
