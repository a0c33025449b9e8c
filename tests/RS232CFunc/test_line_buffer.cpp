#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "RS232CFunc/line_buffer.h"

namespace vennick {
namespace {

// Lines of a CR LF text computed the slow, obvious way.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
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

bool onlyCrLfLineEnds(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool crWithoutLf = text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n');
        const bool lfWithoutCr = text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
        if (crWithoutLf || lfWithoutCr) return false;
    }
    return true;
}

void expectLines(const LineBuffer& buffer, const std::vector<std::string>& lines) {
    ASSERT_EQ(buffer.count(), static_cast<int>(lines.size())) << buffer.text();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(buffer.line(static_cast<int>(i)), lines[i]) << "line " << i;
    }
}

TEST(LineBuffer, AppendedLinesEndWithCrLf) {
    LineBuffer buffer;
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.count(), 0);
    EXPECT_EQ(buffer.line(0), "");

    buffer.append("A");
    buffer.append("12.5 -3");
    EXPECT_EQ(buffer.text(), "A\r\n12.5 -3\r\n");
    expectLines(buffer, {"A", "12.5 -3"});
    EXPECT_EQ(buffer.line(2), "");
    EXPECT_EQ(buffer.line(-1), "");

    buffer.clear();
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.count(), 0);
    buffer.append("B");
    expectLines(buffer, {"B"});
}

TEST(LineBuffer, TypedLastLineStaysWholeWhenLinesArrive) {
    LineBuffer buffer;
    buffer.setText("A\nty");
    EXPECT_EQ(buffer.text(), "A\r\nty");
    expectLines(buffer, {"A", "ty"});

    buffer.append("B");
    EXPECT_EQ(buffer.text(), "A\r\nty\r\nB");
    buffer.append("C");
    EXPECT_EQ(buffer.text(), "A\r\nty\r\nB\r\nC");
    expectLines(buffer, {"A", "ty", "B", "C"});

    SCOPED_TRACE("typing into an empty view");
    buffer.setText("x");
    buffer.append("D");
    EXPECT_EQ(buffer.text(), "x\r\nD");
}

TEST(LineBuffer, TextFromTheViewIsStoredWithCrLf) {
    LineBuffer buffer;
    buffer.setText("A\r\nB\nC\rD\r\n");
    EXPECT_EQ(buffer.text(), "A\r\nB\r\nC\r\nD\r\n");
    expectLines(buffer, {"A", "B", "C", "D"});

    buffer.setText("\n\r\n");
    EXPECT_EQ(buffer.text(), "\r\n\r\n");
    expectLines(buffer, {"", ""});

    buffer.setText("A\r");  // a lone CR at the very end is a line end too
    EXPECT_EQ(buffer.text(), "A\r\n");
    expectLines(buffer, {"A"});

    buffer.setText("");
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.count(), 0);

    buffer.setText("日本\n語");
    expectLines(buffer, {"日本", "語"});
}

TEST(LineBuffer, RemoveTakesTheLineWithItsLineEnd) {
    LineBuffer buffer;
    for (const char* line : {"A", "B", "C", "D"}) buffer.append(line);
    buffer.remove(1);
    EXPECT_EQ(buffer.text(), "A\r\nC\r\nD\r\n");
    buffer.remove(0);
    buffer.remove(1);
    EXPECT_EQ(buffer.text(), "C\r\n");
    expectLines(buffer, {"C"});

    SCOPED_TRACE("indices with no line change nothing");
    buffer.remove(1);
    buffer.remove(-1);
    EXPECT_EQ(buffer.text(), "C\r\n");

    SCOPED_TRACE("a typed last line without line end loses its text only");
    buffer.setText("A\r\nB");
    buffer.remove(1);
    EXPECT_EQ(buffer.text(), "A\r\n");
    expectLines(buffer, {"A"});
    buffer.append("E");
    expectLines(buffer, {"A", "E"});
}

TEST(LineBuffer, LongLinesAreCutAtACharacterBoundary) {
    LineBuffer buffer;
    const std::string hiragana = "\xE3\x81\x82";  // 3 bytes in UTF-8
    buffer.append(std::string(5000, 'a'));
    buffer.append(std::string(4096, 'b'));
    buffer.append(std::string(4095, 'c') + hiragana);
    buffer.append(std::string(4093, 'd') + hiragana + "e");
    buffer.append(std::string(4094, 'f') + "\xF0\x9F\x98\x80");  // 4 bytes, ends at 4098

    EXPECT_EQ(buffer.line(0), std::string(4096, 'a'));
    EXPECT_EQ(buffer.line(1), std::string(4096, 'b'));
    EXPECT_EQ(buffer.line(2), std::string(4095, 'c'));
    EXPECT_EQ(buffer.line(3), std::string(4093, 'd') + hiragana);
    EXPECT_EQ(buffer.line(4), std::string(4094, 'f'));

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
    const std::vector<std::string> pieces = {"A", "12.5", "", "\r\n", "\n", "\r", "x y", "日本"};
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
        ASSERT_TRUE(onlyCrLfLineEnds(buffer.text())) << buffer.text();
        expectLines(buffer, splitLines(buffer.text()));
        if (testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace vennick
