#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "RS232CFunc/state/line_buffer.h"

namespace vennick {
namespace {

using Lines = std::vector<std::string>;

// Lines of a CR LF text computed the slow, obvious way; a lone CR or LF stays inside a line.
Lines splitLines(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The text, and each line as line() gives it; indices with no line give "".
void expectContent(const LineBuffer& buffer, const std::string& text, const Lines& lines) {
    EXPECT_EQ(buffer.text(), text);
    EXPECT_EQ(buffer.empty(), text.empty());
    ASSERT_EQ(buffer.count(), static_cast<int>(lines.size())) << buffer.text();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(buffer.line(static_cast<int>(i)), lines[i]) << "line " << i;
    }
    EXPECT_EQ(buffer.line(-1), "");
    EXPECT_EQ(buffer.line(buffer.count()), "");
}

TEST(LineBuffer, AppendedLinesEndWithCrLf) {
    LineBuffer buffer;
    expectContent(buffer, "", {});
    buffer.append("A");
    buffer.append("12.5 -3");
    expectContent(buffer, "A\r\n12.5 -3\r\n", {"A", "12.5 -3"});
    buffer.clear();
    expectContent(buffer, "", {});
    buffer.append("B");
    expectContent(buffer, "B\r\n", {"B"});
}

TEST(LineBuffer, TypedLastLineStaysWholeWhenLinesArrive) {
    LineBuffer buffer;
    buffer.setText("A\nty");
    expectContent(buffer, "A\r\nty", {"A", "ty"});
    buffer.append("B");
    expectContent(buffer, "A\r\nty\r\nB", {"A", "ty", "B"});
    buffer.append("C");
    expectContent(buffer, "A\r\nty\r\nB\r\nC", {"A", "ty", "B", "C"});

    SCOPED_TRACE("typing into an empty view");
    buffer.setText("x");
    buffer.append("D");
    expectContent(buffer, "x\r\nD", {"x", "D"});
}

TEST(LineBuffer, TextFromTheViewIsStoredWithCrLf) {
    const std::tuple<const char*, const char*, Lines> cases[] = {
        // view, stored, lines
        {"A\r\nB\nC\rD\r\n", "A\r\nB\r\nC\r\nD\r\n", {"A", "B", "C", "D"}},
        {"\n\r\n", "\r\n\r\n", {"", ""}},
        {"A\r", "A\r\n", {"A"}},  // a lone CR at the very end is a line end too
        {"", "", {}},
        {"日本\n語", "日本\r\n語", {"日本", "語"}},
    };
    LineBuffer buffer;
    for (const auto& [view, stored, lines] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(view)));
        buffer.setText(view);
        expectContent(buffer, stored, lines);
    }
}

TEST(LineBuffer, RemoveTakesTheLineWithItsLineEnd) {
    LineBuffer buffer;
    for (const char* line : {"A", "B", "C", "D"}) buffer.append(line);
    buffer.remove(1);
    expectContent(buffer, "A\r\nC\r\nD\r\n", {"A", "C", "D"});
    buffer.remove(0);
    buffer.remove(1);
    expectContent(buffer, "C\r\n", {"C"});

    SCOPED_TRACE("indices with no line change nothing");
    buffer.remove(1);
    buffer.remove(-1);
    expectContent(buffer, "C\r\n", {"C"});

    SCOPED_TRACE("a typed last line without line end loses its text only");
    buffer.setText("A\r\nB");
    buffer.remove(1);
    expectContent(buffer, "A\r\n", {"A"});
    buffer.append("E");
    expectContent(buffer, "A\r\nE\r\n", {"A", "E"});
}

TEST(LineBuffer, LongLinesAreCutAtACharacterBoundary) {
    const std::string hiragana = "\xE3\x81\x82";  // 3 bytes in UTF-8
    const std::pair<std::string, std::string> cases[] = {
        {std::string(5000, 'a'), std::string(4096, 'a')},
        {std::string(4096, 'b'), std::string(4096, 'b')},
        {std::string(4095, 'c') + hiragana, std::string(4095, 'c')},
        {std::string(4093, 'd') + hiragana + "e", std::string(4093, 'd') + hiragana},
        {std::string(4094, 'f') + "\xF0\x9F\x98\x80", std::string(4094, 'f')},  // 4 bytes
    };
    LineBuffer buffer;
    for (const auto& [appended, shown] : cases) buffer.append(appended);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(buffer.line(i), cases[i].second) << "line " << i;

    SCOPED_TRACE("bytes that are not UTF-8 lose at most the 3 bytes of one character");
    buffer.setText(std::string(5000, '\x80'));
    EXPECT_EQ(buffer.line(0).size(), 4093u);
}

TEST(LineBuffer, ClickRuleFindsTheFirstLineHoldingTheText) {
    LineBuffer buffer;
    buffer.append("A12");
    buffer.append("12");
    const auto found = buffer.findFirstContaining(buffer.line(1));
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (LineSelection{0, 1, 2}));
    EXPECT_EQ(buffer.offsetOf(*found), 1);

    buffer.append("XYZ");
    const auto later = buffer.findFirstContaining("YZ");
    ASSERT_TRUE(later);
    EXPECT_EQ(*later, (LineSelection{2, 1, 2}));
    EXPECT_EQ(buffer.offsetOf(*later), 5 + 4 + 1);  // "A12" CR LF "12" CR LF, then 1

    EXPECT_FALSE(buffer.findFirstContaining(""));
    EXPECT_FALSE(buffer.findFirstContaining("Q"));
    EXPECT_FALSE(buffer.findFirstContaining("12\r\n"));  // never across a line end

    SCOPED_TRACE("beyond the last line the offset counts from the end of the text");
    EXPECT_EQ(buffer.offsetOf({3, 0, 0}), static_cast<int>(buffer.text().size()));
}

TEST(LineBuffer, LineIndexAgreesWithTheTextAfterAnyEdits) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, 99);
    const Lines pieces = {"A", "12.5", "", "\r\n", "\n", "\r", "x y", "日本"};
    LineBuffer buffer;
    for (int step = 0; step < 3000; ++step) {
        const int roll = pick(random);
        if (roll < 60) {
            buffer.append(std::to_string(step));
        } else if (roll < 85) {
            buffer.remove(pick(random) % (buffer.count() + 2) - 1);
        } else if (roll < 97) {
            std::string typed = buffer.text();
            for (int i = pick(random) % 4; i >= 0; --i) {
                typed += pieces[static_cast<std::size_t>(pick(random)) % pieces.size()];
            }
            buffer.setText(typed);
        } else {
            buffer.clear();
        }
        SCOPED_TRACE(step);
        const Lines lines = splitLines(buffer.text());
        for (const auto& line : lines) ASSERT_EQ(line.find_first_of("\r\n"), line.npos) << line;
        expectContent(buffer, buffer.text(), lines);
        if (testing::Test::HasFailure()) return;
    }
}

// Replaying every reported change on a copy of the old text gives the new text: an observer
// (the journal) can follow the buffer change by change.
TEST(LineBufferObserver, ChangesReplayToTheSameText) {
    struct Replay : LineBufferObserver {
        std::string text;
        void textChanged(std::size_t offset, std::size_t removed,
                         std::string_view inserted) override {
            text.replace(offset, removed, inserted);
        }
        void writtenPrefixRemoved(std::size_t bytes) override { eraseWrittenPrefix(text, bytes); }
    } replay;
    LineBuffer buffer;
    buffer.setObserver(&replay);
    buffer.append("12.5");
    buffer.append("A\nB");
    buffer.replace(2, 3, "x\ny");
    buffer.remove(1);
    buffer.setText("typed");
    buffer.append("C");
    buffer.replace(100, 5, "end");
    EXPECT_EQ(replay.text, buffer.text());
    expectContent(buffer, "typed\r\nCend", {"typed", "Cend"});
    EXPECT_EQ(buffer.removeWrittenPrefix(5), 7u);  // "typed" and the line end that joined it
    EXPECT_EQ(replay.text, buffer.text());
    expectContent(buffer, "Cend", {"Cend"});
    buffer.clear();
    EXPECT_EQ(replay.text, "");
}

// A written batch leaves whole lines; the lines behind it keep their index and their text. A
// typed last line of the batch takes the line end that joined it to the next with it, an empty
// typed line behind a batch that ended with its line end stays.
TEST(LineBuffer, AWrittenBatchLeavesTheLinesBehindItAsTheyWere) {
    LineBuffer buffer;
    buffer.append("A1");
    buffer.append("A2");
    const std::size_t batch = buffer.text().size();
    buffer.append("B1");
    buffer.setText(buffer.text() + "\r\ntyped");
    EXPECT_EQ(buffer.removeWrittenPrefix(batch), batch);
    expectContent(buffer, "B1\r\n\r\ntyped", {"B1", "", "typed"});
    EXPECT_EQ(buffer.findFirstContaining("typed"), (LineSelection{2, 0, 5}));

    LineBuffer typed;
    typed.setText("x");
    typed.append("B");
    EXPECT_EQ(typed.removeWrittenPrefix(1), 3u);
    expectContent(typed, "B", {"B"});
}

}  // namespace
}  // namespace vennick
