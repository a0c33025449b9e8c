#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "settings/app_error.h"
#include "settings/file_system.h"
#include "settings/ini_file.h"
#include "settings/settings.h"
#include "tests/settings/temp_dir.h"
#include "tests/support/recording_notifier.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::utf8;
using test::writeBytes;
using Texts = std::vector<std::string>;

constexpr std::int32_t kFallback = -77;

using IntCase = std::pair<const char*, std::int32_t>;

void expectParsed(std::span<const IntCase> cases) {
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseProfileInt(text, kFallback), expected) << text;
    }
}

TEST(ParseProfileInt, AcceptsDecimalAndBothHexForms) {
    const IntCase cases[] = {{"0", 0},     {"12", 12},    {"-12", -12}, {"+7", 7},
                             {"010", 10},  {"0x0A", 10},  {"0X1f", 31}, {"$A", 10},
                             {"$ff", 255}, {"-$10", -16}, {"+$1", 1}};
    expectParsed(cases);
}

TEST(ParseProfileInt, AcceptsSigned32BitValuesWithAnyNumberOfLeadingZeros) {
    const IntCase cases[] = {{"2147483647", INT32_MAX},       {"-2147483648", INT32_MIN},
                             {"0x7FFFFFFF", INT32_MAX},       {"-$80000000", INT32_MIN},
                             {"00000000000000000000012", 12}, {"0x00000000000010", 16}};
    expectParsed(cases);
}

TEST(ParseProfileInt, AnythingElseGivesTheFallback) {
    const char* const malformed[] = {"",  "abc", "12abc", "1.5",  "0x",  "0X",  "$",   "-",
                                     "+", "0xG", "-0x1",  "0x-1", "$-1", " 12", "12 ", "１２"};
    const char* const outOfRange[] = {"2147483648", "-2147483649",          "0x80000000",
                                      "$80000000",  "99999999999999999999", "0x1FFFFFFFFFFFFFFFF"};
    for (const char* text : malformed) {
        EXPECT_EQ(parseProfileInt(text, kFallback), kFallback) << text;
    }
    for (const char* text : outOfRange) {
        EXPECT_EQ(parseProfileInt(text, kFallback), kFallback) << text;
    }
}

std::vector<std::int32_t> indicesOf(const Settings& settings) {
    return {settings.comIndex,    settings.bitRateIndex,  settings.dataBitsIndex,
            settings.parityIndex, settings.stopBitsIndex, settings.waitIndex};
}

std::string announced(const std::string& directory) {
    return "ログファイルの出力先を\n" + directory + "\nに設定しました。";
}

class SettingsFile : public testing::Test {
protected:
    Settings load() { return loadSettings(ini_, exeDir_, notifier_); }
    std::string defaultLogDir() const { return exeDir_ + pathSeparator() + "log"; }

    test::TempDir dir_;
    std::string exeDir_ = utf8(dir_.path()) + pathSeparator();
    fs::path iniPath_ = dir_ / "Vennick.INI";
    IniFile ini_{utf8(iniPath_)};
    test::RecordingNotifier notifier_;
};

TEST_F(SettingsFile, MissingFileGivesDefaults) {
    const Settings settings = load();
    EXPECT_EQ(settings.workFilePath, exeDir_);
    EXPECT_EQ(settings.logDirectory, defaultLogDir());
    EXPECT_EQ(indicesOf(settings), (std::vector<std::int32_t>{0, 8, 3, 0, 0, 1}));
    EXPECT_FALSE(fs::exists(iniPath_));  // loading never writes
}

TEST_F(SettingsFile, ReadsEveryKey) {
    fs::create_directory(dir_ / "logs");
    const std::string logs = utf8(dir_ / "logs");
    writeBytes(iniPath_, "[WorkFiles]\r\nexFilePath=C:\\work\\\r\nexLogFilePath=" + logs +
                             "\r\n[Params]\r\ncComName=2\r\ncBauRate=14\r\ncBitSize=0\r\n"
                             "cParity=1\r\ncStopBits=2\r\nRadioWaitTimeIndex=4\r\n");
    const Settings settings = load();
    EXPECT_EQ(settings.workFilePath, "C:\\work\\");
    EXPECT_EQ(settings.logDirectory, logs);
    EXPECT_EQ(indicesOf(settings), (std::vector<std::int32_t>{2, 14, 0, 1, 2, 4}));
    EXPECT_TRUE(notifier_.informed.empty());
}

TEST_F(SettingsFile, IntegersThatDoNotConvertGiveTheDefault) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"abc", 8}, {"0x0A", 10}, {"$A", 10}, {"", 8}, {"-1", -1}, {"99", 99}, {"\"12\"", 12}};
    for (const auto& [text, expected] : cases) {
        writeBytes(iniPath_, std::string("[Params]\r\ncBauRate=") + text + "\r\n");
        EXPECT_EQ(load().bitRateIndex, expected) << text;
    }
}

// Messages about the log directory, in the order they are shown.

TEST_F(SettingsFile, FirstRunCreatesAndAnnouncesTheLogDirectory) {
    const Settings settings = load();
    const std::string directory = defaultLogDir();
    EXPECT_EQ(notifier_.informed, (Texts{"Created " + directory, announced(directory)}));
    EXPECT_TRUE(fs::is_directory(dir_ / "log"));
    EXPECT_EQ(settings.logDirectory, directory);
}

TEST_F(SettingsFile, ExistingLogDirectoryBesideTheExecutableIsOnlyAnnounced) {
    fs::create_directory(dir_ / "log");
    load();
    EXPECT_EQ(notifier_.informed, Texts{announced(defaultLogDir())});
}

TEST_F(SettingsFile, LogDirectoryThatCannotBeCreatedIsReportedThenAnnounced) {
    exeDir_ = utf8(dir_ / "missing") + pathSeparator();
    const Settings settings = load();
    const std::string directory = exeDir_ + pathSeparator() + "log";
    EXPECT_EQ(notifier_.informed, (Texts{"Cannot create " + directory, announced(directory)}));
    EXPECT_EQ(settings.logDirectory, directory);
}

TEST_F(SettingsFile, UnreachableConfiguredDirectoryIsReportedAndKept) {
    const std::string unreachable = utf8(dir_ / "share" / "logs");
    writeBytes(iniPath_, "[WorkFiles]\r\nexLogFilePath=" + unreachable + "\r\n");
    const Settings settings = load();
    EXPECT_EQ(notifier_.informed,
              Texts{"ログファイルの出力先\n" + unreachable +
                    " に接続できませんでした。\nネットワークが切れてないか確認して下さい。"});
    EXPECT_EQ(settings.logDirectory, unreachable);
    EXPECT_FALSE(fs::exists(dir_ / "share"));
}

TEST_F(SettingsFile, SavedFirstRunLoadsSilentlyWithTheDoubledSeparator) {
    saveSettings(ini_, load());
    notifier_.informed.clear();
    EXPECT_EQ(load().logDirectory, defaultLogDir());
    EXPECT_TRUE(notifier_.informed.empty());
    EXPECT_EQ(ini_.read("WorkFiles", "exLogFilePath", "-"), defaultLogDir());
}

// Notepad's "UTF-8" (with a byte order mark) and "Unicode" (UTF-16 LE): the log directory is
// found, nothing is announced, and the close writes into the sections that are there, in the
// file's own encoding.
TEST_F(SettingsFile, AFileSavedByNotepadIsReadAndWrittenInItsEncoding) {
    fs::create_directory(dir_ / "logs");
    const std::string logs = utf8(dir_ / "logs");
    const std::string text =
        "[WorkFiles]\r\nexLogFilePath=" + logs + "\r\n[Params]\r\ncBauRate=14\r\n";
    const auto utf16 = [](const std::string& ascii) {  // little-endian, for ASCII
        std::string bytes;
        for (const char c : ascii) bytes += {c, '\0'};
        return bytes;
    };
    const std::pair<std::string, std::string> files[] = {
        {"\xEF\xBB\xBF", "\xEF\xBB\xBF" + text},
        {"\xFF\xFE", "\xFF\xFE" + utf16(text)},
    };
    for (const auto& [mark, bytes] : files) {
        writeBytes(iniPath_, bytes);
        const Settings settings = load();
        EXPECT_EQ(settings.logDirectory, logs);
        EXPECT_EQ(settings.bitRateIndex, 14);
        EXPECT_TRUE(notifier_.informed.empty());
        saveSettings(ini_, settings);
        const std::string saved = readBytes(iniPath_);
        EXPECT_TRUE(saved.starts_with(mark));
        const std::string header = mark == "\xFF\xFE" ? utf16("[WorkFiles]") : "[WorkFiles]";
        EXPECT_EQ(saved.find(header, saved.find(header) + 1), std::string::npos)
            << "a second [WorkFiles]";
        EXPECT_EQ(load().logDirectory, logs);
    }
}

// Saving

TEST_F(SettingsFile, SaveWritesAllKeysInOrderAsDecimal) {
    saveSettings(ini_, Settings{.workFilePath = "W",
                                .logDirectory = "L",
                                .comIndex = -1,
                                .bitRateIndex = 10,
                                .dataBitsIndex = 2,
                                .parityIndex = 1,
                                .stopBitsIndex = 2,
                                .waitIndex = 4});
    EXPECT_EQ(readBytes(iniPath_),
              "[WorkFiles]\r\nexFilePath=W\r\nexLogFilePath=L\r\n[Params]\r\ncComName=-1\r\n"
              "cBauRate=10\r\ncBitSize=2\r\ncParity=1\r\ncStopBits=2\r\nRadioWaitTimeIndex=4\r\n");
}

TEST_F(SettingsFile, SaveKeepsThePortsSectionAndUnknownKeys) {
    const std::string ports = "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyS1\r\n";
    writeBytes(iniPath_, "[Params]\r\ncBauRate=8\r\nmine=1\r\n" + ports);
    saveSettings(ini_, Settings{});
    const std::string after = readBytes(iniPath_);
    EXPECT_NE(after.find(ports), std::string::npos) << after;
    EXPECT_EQ(ini_.read("Params", "mine", "-"), "1");
}

TEST_F(SettingsFile, RefusedSaveThrowsWithTheIniPathAndLeavesTheFile) {
    const std::string before = "[Params]\r\ncBauRate=8\r\n";
    writeBytes(iniPath_, before);
    fs::permissions(iniPath_,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    Settings settings;
    settings.bitRateIndex = 10;
    try {
        saveSettings(ini_, settings);
        FAIL() << "saving into a read-only file succeeded";
    } catch (const AppError& error) {
        EXPECT_EQ(std::string(error.what()), ini_.path() + " に書き込めません");
    }
    EXPECT_EQ(readBytes(iniPath_), before);
}

}  // namespace
}  // namespace vennick
