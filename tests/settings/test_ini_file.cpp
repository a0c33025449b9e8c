// INI behaviour through real files, using only IniFile's interface and the bytes on disk, so the
// same tests also check the Windows profile functions.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

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

// False when this user may create files in a read-only directory anyway.
bool lockDirectory(const fs::path& directory) {
    makeReadOnly(directory);
    return !std::ofstream(directory / "probe").is_open();
}

class IniFileTest : public testing::Test {
protected:
    IniFile withContent(const std::string& bytes) {
        writeBytes(path_, bytes);
        return IniFile(utf8(path_));
    }
    std::string bytesOnDisk() const { return readBytes(path_); }

    // Bad input may read as anything but must not crash, and the file must stay writable.
    void expectWriteLands(IniFile& ini, const char* section, const char* key) {
        ASSERT_TRUE(ini.write(section, key, "4"));
        EXPECT_EQ(ini.read(section, key, "-"), "4");
    }

    TempDir dir_;
    fs::path path_ = dir_ / "Vennick.INI";
};

// Reading --------------------------------------------------------------------------------------

using IniFileRead = IniFileTest;

TEST_F(IniFileRead, FindsValuesAsTheProfileFunctionsDo) {
    EXPECT_EQ(IniFile(utf8(dir_ / "nothing.INI")).read("Params", "cBauRate", "-"), "-");
    const char* const cases[][4] = {
        // content, section, key, expected ("-" is the fallback)
        {"[PARAMS]\r\ncbaurate=10\r\nCBITSIZE=2\r\n", "Params", "cBauRate", "10"},
        {"[PARAMS]\r\ncbaurate=10\r\nCBITSIZE=2\r\n", "params", "cBitSize", "2"},
        {"  [Params]  \r\n\t cBauRate \t=  12 \t\r\n", "Params", "cBauRate", "12"},
        {"[P]\r\n  a = b c  \r\n", "P", "a", "b c"},
        {"[Q]\r\nk=\"x y\"\r\n", "Q", "k", "x y"},
        {"[Q]\r\nk='z'\r\n", "Q", "k", "z"},
        {"[Q]\r\nk=\" padded \"\r\n", "Q", "k", " padded "},
        {"[Q]\r\nk=\"abc\r\n", "Q", "k", "\"abc"},
        {"[Q]\r\nk='abc\"\r\n", "Q", "k", "'abc\""},
        {"[Q]\r\nk=\"\r\n", "Q", "k", "\""},
        {"[Params]\r\ncBauRate=3\r\n", "Other", "cBauRate", "-"},
        {"[Params]\r\ncBauRate=3\r\n", "Params", "cParity", "-"},
        {"[WorkFiles]\r\nexLogFilePath=\r\n", "WorkFiles", "exLogFilePath", ""},
        {"[A]\r\nk=1\r\n[B]\r\nk=2\r\n", "A", "k", "1"},
        {"[A]\r\nk=1\r\n[B]\r\nk=2\r\n", "B", "k", "2"},
        {"[P]\r\nk=first\r\nk=second\r\n[P]\r\nk=third\r\n", "P", "k", "first"},
        {"[P]\r\n;k=commented\r\nk=real\r\n", "P", "k", "real"},
        {"cBauRate=3\r\nplain text\r\n", "Params", "cBauRate", "-"},
        {"[ A ] trailing\rk=1\r[B]\rq=2\r", "A", "k", "1"},
        {"[ A ] trailing\rk=1\r[B]\rq=2\r", "B", "q", "2"},
        {"[P]\r\nk=\xb1\xcc\xdf\xd8\xb9\xb0\xbc\xae\xdd\x95\x5c\r\n", "P", "k", "ｱﾌﾟﾘｹｰｼｮﾝ表"},
    };
    for (const auto& [content, section, key, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(content)) + " " + key);
        EXPECT_EQ(withContent(content).read(section, key, "-"), expected);
    }
}

TEST_F(IniFileRead, CutsValueAt2047Bytes) {
    // The last row: "ab", then "あ" (0x82 0xA0) whose 1023rd would end at byte 2048.
    const std::pair<std::string, std::string> cases[] = {
        {std::string(3000, 'a'), std::string(2047, 'a')},
        {std::string(2047, 'b'), std::string(2047, 'b')},
        {"ab" + repeat("\x82\xa0", 1500), "ab" + repeat("あ", 1022)},
    };
    for (const auto& [stored, expected] : cases) {
        const IniFile ini = withContent("[P]\r\nk=" + stored + "\r\n");
        EXPECT_TRUE(sameLongText(ini.read("P", "k", "-"), expected));
    }
}

// Writing --------------------------------------------------------------------------------------

using IniFileWrite = IniFileTest;

TEST_F(IniFileWrite, ValuesReadBackAsWritten) {
    IniFile ini(utf8(path_));  // the first write creates the file
    for (const std::string text : {"ｱﾌﾟﾘｹｰｼｮﾝ", "C:\\Tools\\\\log", "～①~\\", "-1", ""}) {
        ASSERT_TRUE(ini.write("WorkFiles", "exLogFilePath", text));
        EXPECT_EQ(ini.read("WorkFiles", "exLogFilePath", "-"), text);
    }
}

// On Windows neither the folder's name nor the value may pass through the system's code page,
// which need not be 932 (scripts/test-windows-western runs this with code page 1252).
TEST_F(IniFileWrite, JapaneseFolderAndValueRoundTripWhateverTheSystemCodePage) {
    const fs::path folder = dir_.path() / test::pathOf("設定ﾌｫﾙﾀﾞ Müller");
    fs::create_directory(folder);
    IniFile ini(utf8(folder / "Vennick.INI"));
    ASSERT_TRUE(ini.write("WorkFiles", "exLogFilePath", "C:\\ログ\\出力ｱ"));
    EXPECT_EQ(ini.read("WorkFiles", "exLogFilePath", "-"), "C:\\ログ\\出力ｱ");
    EXPECT_EQ(readBytes(folder / "Vennick.INI"),
              "[WorkFiles]\r\nexLogFilePath=C:\\\x83\x8D\x83O\\\x8Fo\x97\xCD\xB1\r\n");
}

TEST_F(IniFileWrite, ReplacesExistingKeyMatchedInAnyCase) {
    IniFile ini = withContent("[PARAMS]\r\nCBAURATE=1\r\n");
    ASSERT_TRUE(ini.write("Params", "cBauRate", "5"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "5");
    EXPECT_EQ(bytesOnDisk().find("=1"), std::string::npos);
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
    fs::create_directory(dir_ / "locked");
    if (!lockDirectory(dir_ / "locked")) GTEST_SKIP() << "this user may create files anywhere";
    IniFile ini(utf8(dir_ / "locked" / "Vennick.INI"));
    EXPECT_FALSE(ini.write("Params", "cBauRate", "10"));
}

TEST_F(IniFileWrite, WritableFileInReadOnlyDirectoryIsStillWritten) {
    IniFile ini = withContent("[Params]\r\ncBauRate=8\r\n");
    if (!lockDirectory(dir_.path())) GTEST_SKIP() << "this user may create files anywhere";
    ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "10");
}

// Bad input: nothing may crash, and the file stays usable -------------------------------------

using IniFileBadInput = IniFileTest;

TEST_F(IniFileBadInput, JunkBrokenCharactersNoSectionsAndDuplicateKeys) {
    using namespace std::string_literals;
    std::string junk;
    for (unsigned state = 12345; junk.size() < 20000;) {
        state = state * 1103515245u + 12345u;
        junk += static_cast<char>(state >> 16);
    }
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {junk, "Params", "cBauRate"},
        {"[P]\r\na=x\0y\r\nb=\x82\r\n[\x82]\r\nc=\x81\x20z\r\n[P\r\n"s, "P", "d"},
        {"cBauRate=3\r\nplain text\r\n", "Params", "cBauRate"},
        {"[P]\r\nk=1\r\nk=2\r\n", "P", "k"},  // the write goes to the first
    };
    for (const auto& [content, section, key] : cases) {
        SCOPED_TRACE(testing::PrintToString(content.substr(0, 30)));
        IniFile ini = withContent(content);
        for (const char* name : {"a", "b", "c", key}) (void)ini.read(section, name, "-");
        expectWriteLands(ini, section, key);
    }
}

TEST_F(IniFileBadInput, HundredKilobyteLines) {
    IniFile ini = withContent("[Params]\r\n" + std::string(100000, 'q') +
                              "\r\nlong=" + std::string(100000, 'x') + "\r\ncBauRate=3\r\n");
    EXPECT_TRUE(sameLongText(ini.read("Params", "long", "-"), std::string(2047, 'x')));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "3");
    expectWriteLands(ini, "Params", "cBauRate");
}

TEST_F(IniFileBadInput, DuplicateKeysAreWrittenAtTheFirst) {
    IniFile ini = withContent("[P]\r\nk=1\r\nk=2\r\n");
    expectWriteLands(ini, "P", "k");
}

TEST_F(IniFileBadInput, DirectoryAtThePath) {
    fs::create_directory(path_);
    IniFile ini(utf8(path_));
    EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "-");
    EXPECT_FALSE(ini.write("Params", "cBauRate", "10"));
    EXPECT_TRUE(fs::is_directory(path_));
}

// Files an editor saved with a byte order mark ------------------------------------------------

// The bytes of UTF-16 text, with the mark an editor puts first.
std::string utf16File(std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

// One text in each encoding Notepad saves, with its mark.
struct EncodedFile {
    const char* encoding;
    std::string bytes;
};

std::vector<EncodedFile> everyMarkedEncoding(const char* utf8Text, std::u16string_view utf16) {
    return {{"UTF-8", std::string("\xEF\xBB\xBF") + utf8Text},
            {"UTF-16 LE", utf16File(utf16, false)},
            {"UTF-16 BE", utf16File(utf16, true)}};
}

using IniFileEncodings = IniFileTest;

// "café" and "①" side by side: a value code page 932 could not hold comes through whole.
TEST_F(IniFileEncodings, AFileWithAByteOrderMarkIsReadInItsEncoding) {
    const auto files = everyMarkedEncoding(
        "[workfiles]\r\nexLogFilePath = D:\\ログ\\café ①\r\n[Params]\r\ncBauRate=10\r\n",
        u"[workfiles]\r\nexLogFilePath = D:\\ログ\\café ①\r\n[Params]\r\ncBauRate=10\r\n");
    for (const auto& [encoding, bytes] : files) {
        SCOPED_TRACE(encoding);
        const IniFile ini = withContent(bytes);
        EXPECT_EQ(ini.read("WorkFiles", "exLogFilePath", "-"), "D:\\ログ\\café ①");
        EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "10");
    }
}

TEST_F(IniFileEncodings, AFileWithAByteOrderMarkIsWrittenBackInItsEncoding) {
    const auto before =
        everyMarkedEncoding("; saved by Notepad\r\n[WorkFiles]\r\nexLogFilePath=old\r\n",
                            u"; saved by Notepad\r\n[WorkFiles]\r\nexLogFilePath=old\r\n");
    const auto after = everyMarkedEncoding(
        "; saved by Notepad\r\n[WorkFiles]\r\nexLogFilePath=E:\\ログ\\café\r\n[Params]\r\n"
        "cBauRate=10\r\n",
        u"; saved by Notepad\r\n[WorkFiles]\r\nexLogFilePath=E:\\ログ\\café\r\n[Params]\r\n"
        u"cBauRate=10\r\n");
    for (std::size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE(before[i].encoding);
        IniFile ini = withContent(before[i].bytes);
        ASSERT_TRUE(ini.write("WorkFiles", "exLogFilePath", "E:\\ログ\\café"));
        ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));
        ASSERT_TRUE(ini.write("Params", "cBauRate", "10"));  // unchanged: the file stays
        EXPECT_EQ(bytesOnDisk(), after[i].bytes);
    }
}

// The profile functions' own form has no mark; "a" is not one, so the file is code page 932.
TEST_F(IniFileEncodings, AFileWithoutAMarkStaysCodePage932) {
    IniFile ini = withContent("[WorkFiles]\r\nexLogFilePath=a\r\n");
    ASSERT_TRUE(ini.write("WorkFiles", "exLogFilePath", "ｱﾌﾟﾘ表"));
    EXPECT_EQ(bytesOnDisk(), "[WorkFiles]\r\nexLogFilePath=\xb1\xcc\xdf\xd8\x95\x5c\r\n");
    EXPECT_EQ(ini.read("WorkFiles", "exLogFilePath", "-"), "ｱﾌﾟﾘ表");
}

// Writing drops a line's leading blanks; a first line that then starts with a mark's bytes must
// not turn the file into UTF-8 or UTF-16 when it is read again.
TEST_F(IniFileEncodings, ACodePage932FileNeverGainsAMarkWhenWritten) {
    for (const char* firstLine : {"   \xFF\xFE x", "\t\xFE\xFF", " \xEF\xBB\xBF;"}) {
        SCOPED_TRACE(testing::PrintToString(firstLine));
        IniFile ini = withContent(std::string(firstLine) + "\r\n[Ports]\r\nCOM1=a\r\n");
        ASSERT_TRUE(ini.write("Params", "cBauRate", "12"));
        EXPECT_EQ(ini.read("Params", "cBauRate", "-"), "12");
        EXPECT_EQ(ini.read("Ports", "COM1", "-"), "a");
    }
}

// Characters that code page 932 would take apart stay whole in a UTF-8 file: read as code page
// 932, the last byte of "定" (E5 AE 9A) would swallow the header's "]", and the value would be
// cut within a character.
TEST_F(IniFileEncodings, NamesAndTheValueLimitCountUtf8Characters) {
    const IniFile ini = withContent("\xEF\xBB\xBF[設定]\r\nKey=ab" + repeat("あ", 700) + "\r\n");
    EXPECT_TRUE(sameLongText(ini.read("設定", "key", "-"), "ab" + repeat("あ", 681)));
}

// Exact bytes on disk --------------------------------------------------------------------------

using IniFileBytes = IniFileTest;

TEST_F(IniFileBytes, WriteLeavesTheFileInTheProfileForm) {
    // what, the file before (nothing: no file yet), section, key, value, the file after
    const std::tuple<const char*, std::optional<std::string>, const char*, const char*, const char*,
                     std::string>
        cases[] = {
            {"a new file holds code page 932 and CR LF", std::nullopt, "P", "k", "ｱﾌﾟﾘ～①表\\~",
             "[P]\r\nk=\xb1\xcc\xdf\xd8\x81\x60\x87\x40\x95\x5c\\~\r\n"},
            {"blank lines and white space go, comments and order stay, CR LF everywhere",
             "; Vennick settings\r\n\r\n[WorkFiles]\r\nexFilePath=/opt/vennick/\r\n\r\n"
             "[Params]\r\n; serial line\r\n  extra = kept  \r\ncBauRate = 8\r\nunknown=1\n\r\n"
             "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyS1\r\n; end",
             "Params", "cBauRate", "10",
             "; Vennick settings\r\n[WorkFiles]\r\nexFilePath=/opt/vennick/\r\n"
             "[Params]\r\n; serial line\r\nextra=kept\r\ncBauRate=10\r\nunknown=1\r\n"
             "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyS1\r\n; end\r\n"},
            {"the value already there leaves the file alone",
             "[Params]\r\n\r\n  cBauRate = 8  \r\n", "Params", "cBauRate", "8",
             "[Params]\r\n\r\n  cBauRate = 8  \r\n"},
            {"a missing key goes to the end of its section",
             "[Params]\r\na=1\r\nb=2\r\n\r\n; next\r\n[Ports]\r\nCOM1=x\r\n", "Params", "c", "3",
             "[Params]\r\na=1\r\nb=2\r\n; next\r\nc=3\r\n[Ports]\r\nCOM1=x\r\n"},
            {"a missing key of an empty section goes right after its header",
             "[Params]\r\n\r\n[Ports]\r\nCOM1=x\r\n", "Params", "c", "3",
             "[Params]\r\nc=3\r\n[Ports]\r\nCOM1=x\r\n"},
            {"a written value loses its leading white space only", "[A]\r\nk=1\r\n", "A", "k",
             "  v w  ", "[A]\r\nk=v w  \r\n"},
            {"headers are cut at their last bracket, CR alone ends a line",
             "[ A ] trailing\rk=1\r[B]\rq=2\r", "A", "k", "3", "[A]\r\nk=3\r\n[B]\r\nq=2\r\n"},
            {"a missing section goes to the end", "[Ports]\r\nCOM1=x", "Params", "cBauRate", "8",
             "[Ports]\r\nCOM1=x\r\n[Params]\r\ncBauRate=8\r\n"},
        };
    for (const auto& [what, before, section, key, value, after] : cases) {
        SCOPED_TRACE(what);
        if (before) writeBytes(path_, *before);
        if (!before) fs::remove(path_);
        IniFile ini(utf8(path_));
        ASSERT_TRUE(ini.write(section, key, value));
        EXPECT_EQ(bytesOnDisk(), after);
    }
}

}  // namespace
}  // namespace vennick
