#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "RS232CFunc/receive/line_framer.h"

namespace vennick {
namespace {

using namespace std::string_literals;

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

    // The bytes up to the next time-out are offered as one buffered run, as a port reader does.
    ScriptedSource& inRuns() {
        inRuns_ = true;
        return *this;
    }

    std::optional<std::uint8_t> readByte() override {
        if (next_ >= steps_.size()) return std::nullopt;
        if (steps_[next_]) ++given_;
        return steps_[next_++];
    }
    bool abandoned() const override { return next_ >= steps_.size(); }
    std::span<const std::uint8_t> buffered() const override {
        if (!inRuns_) return {};
        if (flat_.size() != steps_.size()) {
            flat_.clear();
            for (const auto& step : steps_) flat_.push_back(step.value_or(0));
        }
        runEnd_ = std::max(runEnd_, next_);
        while (runEnd_ < steps_.size() && steps_[runEnd_]) ++runEnd_;
        return std::span(flat_).subspan(next_, runEnd_ - next_);
    }
    void consume(std::size_t count) override {
        next_ += count;
        given_ += static_cast<std::int64_t>(count);
    }
    std::int64_t bytesGiven() const { return given_; }

private:
    bool inRuns_ = false;
    mutable std::vector<std::uint8_t> flat_;  // the steps as bytes, a time-out as 0
    mutable std::size_t runEnd_ = 0;          // the time-out that ends the current run
    std::vector<std::optional<std::uint8_t>> steps_;
    std::size_t next_ = 0;
    std::int64_t given_ = 0;
};

ScriptedSource script(std::string_view bytes) {
    return ScriptedSource().bytes(bytes);
}

// Every line until the source is given up, that last one included. Each line must come back as
// soon as it ends, so the source has then handed out exactly the bytes the lines counted.
std::vector<FramedLine> frameAll(ScriptedSource& source) {
    LineFramer framer;
    std::vector<FramedLine> lines;
    std::int64_t counted = 0;
    do {
        lines.push_back(framer.readLine(source));
        counted += lines.back().bytesReceived;
        if (source.bytesGiven() != counted) {
            ADD_FAILURE() << "line " << lines.size() - 1 << ": " << source.bytesGiven()
                          << " bytes read, " << counted << " counted";
            break;
        }
    } while (!lines.back().abandoned);
    return lines;
}

auto fields(const FramedLine& line) {
    return std::tie(line.text, line.bytesReceived, line.charsAccepted, line.endedByEot,
                    line.abandoned);
}

void expectLines(const std::vector<FramedLine>& actual, const std::vector<FramedLine>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_EQ(fields(actual[i]), fields(expected[i])) << "line " << i;
    }
}

const FramedLine kGivenUp{"", 0, 0, false, true};  // nothing pending when the source is given up

std::string cyclingData(std::size_t length) {
    const std::string_view alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJ.,+-";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[i % alphabet.size()];
    return text;
}

TEST(LineFramer, CutsTheStreamIntoLinesWithTheirCounts) {
    const std::string full = cyclingData(1200);
    const std::tuple<const char*, ScriptedSource, std::vector<FramedLine>> cases[] = {
        {"CR LF: the LF is skipped inside the next call, which then meets the EOT",
         script("12.5\r\n\x04"),
         {{"12.5", 5, 4}, {"", 2, 0, true}, kGivenUp}},
        {"STX 1 2 3 ETX",
         script("\x02"
                "123\x03"),
         {{"123", 5, 3}, kGivenUp}},
        {"outer spaces trimmed, inner space kept, all stored bytes counted",
         script("  12.5 -3  \r"),
         {{"12.5 -3", 12, 11}, kGivenUp}},
        {"noise is dropped and counted as received only",
         script("\x82\xA0"
                "A/B\r12:30\n\t\x00\x7F\xFF\x1B"
                "C\r"s),
         {{"AB", 6, 2}, {"1230", 6, 4}, {"C", 7, 1}, kGivenUp}},
        {"EOT ends the line even when empty",
         script("\x04"
                "ABC\x04\r\n\x04"),
         {{"", 1, 0, true}, {"ABC", 4, 3, true}, {"", 3, 0, true}, kGivenUp}},
        {"leading line ends of every kind are skipped",
         script("\r\n\x01\x02\x03X\r"),
         {{"X", 7, 1}, kGivenUp}},
        {"spaces are characters: the line ends, but nothing is left to append",
         script("   \rZ\r"),
         {{"", 4, 3}, {"Z", 2, 1}, kGivenUp}},
        {"a short line after a long one holds only its own characters",
         script("ABCDEF\rXY\r"),
         {{"ABCDEF", 7, 6}, {"XY", 3, 2}, kGivenUp}},
        {"a full accumulator ends the line without losing a character",
         script(full + "\r"),
         {{full.substr(0, 515), 515, 515},
          {full.substr(515, 515), 515, 515},
          {full.substr(1030), 171, 170},
          kGivenUp}},
        {"a line end right after a full line is skipped like the LF of CR LF",
         script(full.substr(0, 515) + "\r\x04"),
         {{full.substr(0, 515), 515, 515}, {"", 2, 0, true}, kGivenUp}},
        {"514 characters still end at their line end",
         script(full.substr(0, 514) + "\r"),
         {{full.substr(0, 514), 515, 514}, kGivenUp}},
        {"time-outs inside a line do not end it",
         ScriptedSource().timeouts(3).bytes("AB").timeouts(5).bytes("C\r"),
         {{"ABC", 4, 3}, kGivenUp}},
        {"given up inside a line: the partial text, trimmed, with its counts",
         script(" AB :").timeouts(2),
         {{"AB", 5, 4, false, true}}},
        {"given up while waiting for the line after a CR LF",
         script("X\r\n"),
         {{"X", 2, 1}, {"", 1, 0, false, true}}},
    };
    for (const auto& [what, steps, lines] : cases) {
        SCOPED_TRACE(what);
        ScriptedSource source = steps;
        expectLines(frameAll(source), lines);
    }
}

// What "A", the byte, "Z", CR frame into, by the kinds the device protocol lists (written out
// independently of the framer's table).
std::vector<FramedLine> expectedAround(char byte) {
    const std::string_view data =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+-., ";
    const std::string_view lineEnds = "\x01\x02\x03\n\r";
    if (byte == '\x04') return {{"A", 2, 1, true}, {"Z", 2, 1}, kGivenUp};
    if (lineEnds.find(byte) != lineEnds.npos) return {{"A", 2, 1}, {"Z", 2, 1}, kGivenUp};
    if (data.find(byte) != data.npos) return {{"A"s + byte + "Z", 4, 3}, kGivenUp};
    return {{"AZ", 4, 2}, kGivenUp};  // noise
}

TEST(LineFramer, EveryByteValueIsClassified) {
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        const char byte = static_cast<char>(value);
        ScriptedSource source = script("A"s + byte + "Z\r");
        expectLines(frameAll(source), expectedAround(byte));
    }
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
        // As a buffered port reader hands them out: chunks, with a time-out before the next.
        ScriptedSource buffered;
        buffered.inRuns();
        std::uniform_int_distribution<std::size_t> chunkSize(1, 4096);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t size = std::min(chunkSize(random), stream.size() - at);
            buffered.bytes(std::string_view(stream).substr(at, size)).timeouts(1);
            at += size;
        }

        expectLines(frameAll(buffered), frameAll(single));
        ASSERT_EQ(single.bytesGiven(), static_cast<std::int64_t>(stream.size()));
    }
}

}  // namespace
}  // namespace vennick
