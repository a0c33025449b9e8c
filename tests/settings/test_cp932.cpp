#include <gtest/gtest.h>

#include <string>

#include "settings/cp932.h"

namespace vennick {
namespace {

struct Pair {
    const char* text;
    const char* bytes;
};

// Characters where Shift_JIS tables and Microsoft's code page 932 disagree, and the half-width
// katakana of the program's own texts.
TEST(Cp932, RoundTripsTheCharactersTheProgramNeeds) {
    const Pair pairs[] = {
        {"ｱﾌﾟﾘｹｰｼｮﾝ", "\xb1\xcc\xdf\xd8\xb9\xb0\xbc\xae\xdd"},
        {"～", "\x81\x60"},  // U+FF5E, not the wave dash U+301C
        {"①", "\x87\x40"},   // NEC extension
        {"\\", "\x5c"},      // backslash, not a yen sign
        {"~", "\x7e"},       // tilde, not an overline
        {"表", "\x95\x5c"},  // second byte looks like a backslash
        {"ⅰ", "\xfa\x40"},   // IBM extension
        {"C:\\ログ", "C:\\\x83\x8d\x83\x4f"},
    };
    for (const auto& pair : pairs) {
        EXPECT_EQ(utf8ToCp932(pair.text), pair.bytes) << pair.text;
        EXPECT_EQ(cp932ToUtf8(pair.bytes), pair.text) << pair.text;
    }
}

TEST(Cp932, UnmappableCharacterBecomesQuestionMarkAndTheRestIsKept) {
    EXPECT_EQ(utf8ToCp932("a😀b"), "a?b");
    EXPECT_EQ(utf8ToCp932("😀😀"), "??");
    EXPECT_EQ(utf8ToCp932("x한y"), "x?y");
}

TEST(Cp932, InvalidUtf8BecomesQuestionMark) {
    EXPECT_EQ(utf8ToCp932("a\xff"
                          "b"),
              "a?b");
    EXPECT_EQ(utf8ToCp932("ab\xc3"), "ab?");
}

TEST(Cp932, InvalidBytesBecomeQuestionMark) {
    EXPECT_EQ(cp932ToUtf8("x\x81 y"), "x? y");  // lead byte without a valid second byte
    EXPECT_EQ(cp932ToUtf8("ab\x82"), "ab?");    // cut off at the end
}

TEST(Cp932, EmptyAndLongTexts) {
    EXPECT_EQ(utf8ToCp932(""), "");
    EXPECT_EQ(cp932ToUtf8(""), "");
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "ｱ表a";
    EXPECT_EQ(cp932ToUtf8(utf8ToCp932(text)), text);
}

}  // namespace
}  // namespace vennick
