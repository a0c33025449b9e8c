// INI behaviour through real files, using only IniFile's interface and the bytes on disk, so the
// same tests also check the Windows profile functions.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "settings/ini_file.h"
#include "tests/settings/temp_dir.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::TempDir;
using test::utf8;
using test::writeBytes;

std::string repeat(const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

// For long values a failure names the lengths and the last bytes instead of printing them all.
testing::AssertionResult sameLongText(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    const auto tail = [](const std::string& text) {
        std::string hex;
        for (auto i = text.size() > 6 ? text.size() - 6 : 0; i < text.size(); ++i) {
            const char* digits = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(text[i]);
            hex += std::string(" ") + digits[byte >> 4] + digits[byte & 15];
        }
        return std::to_string(text.size()) + " bytes ending" + hex;
    };
    return testing::AssertionFailure() << "got " << tail(actual) << ", expected " << tail(expected);
}

void makeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

class IniFileTest : public testing::Test {
protected:
    IniFile withContent(const std::string& bytes) {
        writeBytes(path_, bytes);
        return IniFile(utf8(path_));
    }
    std::string bytesOnDisk() const { return readBytes(path_); }

    TempDir dir_;
    fs::path path_ = dir_ / "Vennick.INI";
};

// Reading --------------------------------------------------------------------------------------

using IniFileRead = IniFileTest;

TEST_F(IniFileRead, MatchesSectionAndKeyNamesInAnyCase) {
    const IniFile ini = withContent("[PARAMS]\r\ncbaurate=10\r\nCBITSIZE=2\r\n");
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "10");
    EXPECT_EQ(ini.read("params", "cBitSize", "-"), "2");
}

TEST_F(IniFileRead, IgnoresWhiteSpaceAroundNamesAndValues) {
    const IniFile ini = withContent("  [Params]  \r\n\t cBauRate \t=  12 \t\r\n  a = b c  \r\n");
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "12");
    EXPECT_EQ(ini.read("Params", "a", "-"), "b c");
}

TEST_F(IniFileRead, TakesValuesOutOfMatchingQuotes) {
    const IniFile ini = withContent(
        "[Q]\r\ndouble=\"x y\"\r\nsingle='z'\r\ninner=\" padded \"\r\n"
        "open=\"abc\r\nmixed='abc\"\r\nlone=\"\r\n");
    EXPECT_EQ(ini.read("Q", "double", "-"), "x y");
    EXPECT_EQ(ini.read("Q", "single", "-"), "z");
    EXPECT_EQ(ini.read("Q", "inner", "-"), " padded ");
    EXPECT_EQ(ini.read("Q", "open", "-"), "\"abc");
    EXPECT_EQ(ini.read("Q", "mixed", "-"), "'abc\"");
    EXPECT_EQ(ini.read("Q", "lone", "-"), "\"");
}

TEST_F(IniFileRead, GivesFallbackForMissingFileSectionOrKey) {
    const IniFile missing(utf8(dir_ / "nothing.INI"));
    EXPECT_EQ(missing.read("Params", "cBauRate", "fallback"), "fallback");
    const IniFile ini = withContent("[Params]\r\ncBauRate=3\r\n");
    EXPECT_EQ(ini.read("Other", "cBauRate", "fallback"), "fallback");
    EXPECT_EQ(ini.read("Params", "cParity", "fallback"), "fallback");
}

TEST_F(IniFileRead, EmptyValueIsNotMissing) {
    const IniFile ini = withContent("[WorkFiles]\r\nexLogFilePath=\r\n");
    EXPECT_EQ(ini.read("WorkFiles", "exLogFilePath", "fallback"), "");
}

TEST_F(IniFileRead, KeysBelongToTheirOwnSection) {
    const IniFile ini = withContent("[A]\r\nk=1\r\n[B]\r\nk=2\r\n");
    EXPECT_EQ(ini.read("A", "k", "-"), "1");
    EXPECT_EQ(ini.read("B", "k", "-"), "2");
}

TEST_F(IniFileRead, FirstOfDuplicateKeysWins) {
    const IniFile ini = withContent("[P]\r\nk=first\r\nk=second\r\n[P]\r\nk=third\r\n");
    EXPECT_EQ(ini.read("P", "k", "-"), "first");
}

TEST_F(IniFileRead, CutsValueAt2047Bytes) {
    const IniFile ini = withContent("[P]\r\nk=" + std::string(3000, 'a') + "\r\n");
    EXPECT_TRUE(sameLongText(ini.read("P", "k", "-"), std::string(2047, 'a')));
}

TEST_F(IniFileRead, ValueOfExactly2047BytesArrivesWhole) {
    const IniFile ini = withContent("[P]\r\nk=" + std::string(2047, 'b') + "\r\n");
    EXPECT_TRUE(sameLongText(ini.read("P", "k", "-"), std::string(2047, 'b')));
}

TEST_F(IniFileRead, CutDoesNotSplitDoubleByteCharacter) {
    // "ab" and 1500 times "あ" (0x82 0xA0): the 1023rd character would end at byte 2048.
    const IniFile ini = withContent("[P]\r\nk=ab" + repeat("\x82\xa0", 1500) + "\r\n");
    EXPECT_TRUE(sameLongText(ini.read("P", "k", "-"), "ab" + repeat("あ", 1022)));
}

TEST_F(IniFileRead, CommentLinesAreNotKeys) {
    const IniFile ini = withContent("[P]\r\n;k=commented\r\nk=real\r\n");
    EXPECT_EQ(ini.read("P", "k", "-"), "real");
}

// Writing --------------------------------------------------------------------------------------

using IniFileWrite = IniFileTest;

TEST_F(IniFileWrite, CreatesMissingFile) {
    IniFile ini(utf8(path_));
    ASSERT_TRUE(ini.write("Params", "cBauRate", "8"));
    EXPECT_TRUE(fs::is_regular_file(path_));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "8");
}

TEST_F(IniFileWrite, ValuesReadBackAsWritten) {
    IniFile ini(utf8(path_));
    const std::string texts[] = {"ｱﾌﾟﾘｹｰｼｮﾝ", "C:\\Tools\\\\log", "～①~\\", "-1", ""};
    for (const auto& text : texts) {
        ASSERT_TRUE(ini.write("WorkFiles", "exLogFilePath", text));
        EXPECT_EQ(ini.read("WorkFiles", "exLogFilePath", "-"), text);
    }
}

TEST_F(IniFileWrite, ReplacesExistingKeyMatchedInAnyCase) {
    IniFile ini = withContent("[PARAMS]\r\nCBAURATE=1\r\n");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "5"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "5");
    EXPECT_EQ(bytesOnDisk().find("=1"), std::string::npos);
}

TEST_F(IniFileWrite, KeepsOtherKeysAndSections) {
    IniFile ini = withContent(
        "[WorkFiles]\r\nexFilePath=/opt/\r\n[Params]\r\ncBauRate=8\r\nunknown=kept\r\n"
        "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyS1\r\n");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));
    ASSERT_TRUE(ini.write("Params", "cParity", "2"));
    ASSERT_TRUE(ini.write("New", "key", "v"));
    EXPECT_EQ(ini.read("WorkFiles", "exFilePath", "-"), "/opt/");
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "10");
    EXPECT_EQ(ini.read("Params", "cParity", "-"), "2");
    EXPECT_EQ(ini.read("Params", "unknown", "-"), "kept");
    EXPECT_EQ(ini.read("Ports", "COM1", "-"), "/dev/ttyUSB0");
    EXPECT_EQ(ini.read("Ports", "COM2", "-"), "/dev/ttyS1");
    EXPECT_EQ(ini.read("New", "key", "-"), "v");
}

TEST_F(IniFileWrite, RefusedForReadOnlyFile) {
    const std::string before = "[Params]\r\ncBauRate=8\r\n";
    IniFile ini = withContent(before);
    makeReadOnly(path_);
    EXPECT_FALSE(ini.write("Params", "cBauRate", "10"));
    EXPECT_FALSE(ini.write("Params", "cParity", "1"));
    EXPECT_EQ(bytesOnDisk(), before);
}

TEST_F(IniFileWrite, RefusedWhenDirectoryIsMissing) {
    IniFile ini(utf8(dir_ / "missing" / "Vennick.INI"));
    EXPECT_FALSE(ini.write("Params", "cBauRate", "10"));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(IniFileWrite, RefusedInReadOnlyDirectory) {
    const fs::path locked = dir_ / "locked";
    fs::create_directory(locked);
    makeReadOnly(locked);
    if (std::ofstream(locked / "probe").is_open()) {
        GTEST_SKIP() << "this user may create files in a read-only directory";
    }
    IniFile ini(utf8(locked / "Vennick.INI"));
    EXPECT_FALSE(ini.write("Params", "cBauRate", "10"));
}

TEST_F(IniFileWrite, WritableFileInReadOnlyDirectoryIsStillWritten) {
    IniFile ini = withContent("[Params]\r\ncBauRate=8\r\n");
    makeReadOnly(dir_.path());
    if (std::ofstream(dir_ / "probe").is_open()) {
        GTEST_SKIP() << "this user may create files in a read-only directory";
    }
    ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "10");
}

// Bad input: nothing may crash, and the file stays usable -------------------------------------

using IniFileBadInput = IniFileTest;

TEST_F(IniFileBadInput, BinaryJunk) {
    std::string junk;
    unsigned state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245u + 12345u;
        junk += static_cast<char>(state >> 16);
    }
    IniFile ini = withContent(junk);
    (void)ini.read("Params", "cBauRate", "-");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "10");
}

TEST_F(IniFileBadInput, ControlBytesAndBrokenCharacters) {
    using namespace std::string_literals;
    IniFile ini = withContent("[P]\r\na=x\0y\r\nb=\x82\r\n[\x82]\r\nc=\x81\x20z\r\n[P\r\n"s);
    (void)ini.read("P", "a", "-");
    (void)ini.read("P", "b", "-");
    (void)ini.read("P", "c", "-");
    ASSERT_TRUE(ini.write("P", "d", "1"));
    EXPECT_EQ(ini.read("P", "d", "-"), "1");
}

TEST_F(IniFileBadInput, NoSections) {
    IniFile ini = withContent("cBauRate=3\r\nplain text\r\n");
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "-");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "4"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "4");
}

TEST_F(IniFileBadInput, HundredKilobyteLines) {
    IniFile ini = withContent("[Params]\r\n" + std::string(100000, 'q') +
                              "\r\nlong=" + std::string(100000, 'x') + "\r\ncBauRate=3\r\n");
    EXPECT_TRUE(sameLongText(ini.read("Params", "long", "-"), std::string(2047, 'x')));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "3");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "4"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "4");
}

TEST_F(IniFileBadInput, DuplicateKeysAreWrittenAtTheFirst) {
    IniFile ini = withContent("[P]\r\nk=1\r\nk=2\r\n");
    ASSERT_TRUE(ini.write("P", "k", "3"));
    EXPECT_EQ(ini.read("P", "k", "-"), "3");
}

TEST_F(IniFileBadInput, DirectoryAtThePath) {
    fs::create_directory(path_);
    IniFile ini(utf8(path_));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "-");
    EXPECT_FALSE(ini.write("Params", "cBauRate", "10"));
    EXPECT_TRUE(fs::is_directory(path_));
}

// Exact bytes on disk --------------------------------------------------------------------------

using IniFileBytes = IniFileTest;

TEST_F(IniFileBytes, NewFileHoldsSectionAndKeyWithCrLf) {
    IniFile ini(utf8(path_));
    ASSERT_TRUE(ini.write("WorkFiles", "exFilePath", "x"));
    EXPECT_EQ(bytesOnDisk(), "[WorkFiles]\r\nexFilePath=x\r\n");
}

TEST_F(IniFileBytes, ChangingAKeyRewritesTheFileInTheProfileForm) {
    // Blank lines go, white space around names, "=" and values goes, every line ends in CR LF;
    // comments, other keys and sections stay in their order.
    IniFile ini = withContent(
        "; Vennick settings\r\n\r\n[WorkFiles]\r\nexFilePath=/opt/vennick/\r\n\r\n"
        "[Params]\r\n; serial line\r\n  extra = kept  \r\ncBauRate = 8\r\nunknown=1\n\r\n"
        "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyS1\r\n; end");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));
    EXPECT_EQ(bytesOnDisk(),
              "; Vennick settings\r\n[WorkFiles]\r\nexFilePath=/opt/vennick/\r\n"
              "[Params]\r\n; serial line\r\nextra=kept\r\ncBauRate=10\r\nunknown=1\r\n"
              "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyS1\r\n; end\r\n");
}

TEST_F(IniFileBytes, WritingTheValueAlreadyThereLeavesTheFileAlone) {
    const std::string before = "[Params]\r\n\r\n  cBauRate = 8  \r\n";
    IniFile ini = withContent(before);
    ASSERT_TRUE(ini.write("Params", "cBauRate", "8"));
    EXPECT_EQ(bytesOnDisk(), before);
}

TEST_F(IniFileBytes, MissingKeyGoesToTheEndOfItsSection) {
    IniFile ini = withContent("[Params]\r\na=1\r\nb=2\r\n\r\n; next\r\n[Ports]\r\nCOM1=x\r\n");
    ASSERT_TRUE(ini.write("Params", "c", "3"));
    EXPECT_EQ(bytesOnDisk(), "[Params]\r\na=1\r\nb=2\r\n; next\r\nc=3\r\n[Ports]\r\nCOM1=x\r\n");
}

TEST_F(IniFileBytes, MissingKeyOfEmptySectionGoesRightAfterItsHeader) {
    IniFile ini = withContent("[Params]\r\n\r\n[Ports]\r\nCOM1=x\r\n");
    ASSERT_TRUE(ini.write("Params", "c", "3"));
    EXPECT_EQ(bytesOnDisk(), "[Params]\r\nc=3\r\n[Ports]\r\nCOM1=x\r\n");
}

TEST_F(IniFileBytes, WrittenValueLosesItsLeadingWhiteSpaceOnly) {
    IniFile ini = withContent("[A]\r\nk=1\r\n");
    ASSERT_TRUE(ini.write("A", "k", "  v w  "));
    EXPECT_EQ(bytesOnDisk(), "[A]\r\nk=v w  \r\n");
    EXPECT_EQ(ini.read("A", "k", "-"), "v w");
}

TEST_F(IniFileBytes, SectionHeadersAreCutAtTheirLastBracketAndCarriageReturnsEndLines) {
    IniFile ini = withContent("[ A ] trailing\rk=1\r[B]\rq=2\r");
    EXPECT_EQ(ini.read("B", "q", "-"), "2");
    ASSERT_TRUE(ini.write("A", "k", "3"));
    EXPECT_EQ(bytesOnDisk(), "[A]\r\nk=3\r\n[B]\r\nq=2\r\n");
}

TEST_F(IniFileBytes, MissingSectionIsAppendedAtTheEnd) {
    IniFile ini = withContent("[Ports]\r\nCOM1=x");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "8"));
    EXPECT_EQ(bytesOnDisk(), "[Ports]\r\nCOM1=x\r\n[Params]\r\ncBauRate=8\r\n");
}

TEST_F(IniFileBytes, TextIsCodePage932OnDisk) {
    IniFile ini(utf8(path_));
    ASSERT_TRUE(ini.write("P", "k", "ｱﾌﾟﾘ～①表\\~"));
    EXPECT_EQ(bytesOnDisk(), "[P]\r\nk=\xb1\xcc\xdf\xd8\x81\x60\x87\x40\x95\x5c\\~\r\n");
}

TEST_F(IniFileBytes, CodePage932ValueIsReadAsText) {
    const IniFile ini = withContent("[P]\r\nk=\xb1\xcc\xdf\xd8\xb9\xb0\xbc\xae\xdd\x95\x5c\r\n");
    EXPECT_EQ(ini.read("P", "k", "-"), "ｱﾌﾟﾘｹｰｼｮﾝ表");
}

}  // namespace
}  // namespace vennick
