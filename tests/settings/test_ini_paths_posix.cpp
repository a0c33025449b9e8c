// Paths that code page 932 cannot hold, through real folders and the real INI file: whatever the
// program took from the file system or read from the INI comes back byte for byte next time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "settings/file_system.h"
#include "settings/ini_file.h"
#include "settings/settings.h"
#include "tests/settings/temp_dir.h"
#include "tests/support/recording_notifier.h"

namespace vennick {
namespace {

using test::readBytes;
using test::utf8;
using test::writeBytes;

class IniPaths : public testing::Test {
protected:
    // Two runs of the program in `exeDir`: the first loads (creating the log folder), the
    // second loads what the first saved. The second's settings.
    Settings secondRun(const std::string& exeDir) {
        IniFile ini(exeDir + "Vennick.INI");
        saveSettings(ini, loadSettings(ini, exeDir, notifier_));
        notifier_.informed.clear();
        return loadSettings(ini, exeDir, notifier_);
    }

    std::string makeDir(const std::string& name) {
        const std::string path = utf8(temp_.path()) + "/" + name;
        EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
        return path;
    }

    test::TempDir temp_;
    test::RecordingNotifier notifier_;
};

// "ﾃｩ" is C3 A9 in code page 932, the same bytes as "é" in UTF-8: both folders survive, the one
// code page 932 holds stored in it as always.
TEST_F(IniPaths, FoldersFromTheFileSystemComeBackWhetherCodePage932HoldsThemOrNot) {
    const struct {
        const char* folder;
        std::string storedWorkPath;  // the INI's bytes after the folder's path
    } cases[] = {
        {"vennick-café", "vennick-caf\xC3\xA9/"},
        {"vennick-cafﾃｩ", "vennick-caf\xC3\xA9/"},
        {"ログ-ﾃｽﾄ", "\x83\x8D\x83\x4F-\xC3\xBD\xC4/"},
    };
    for (const auto& [folder, storedWorkPath] : cases) {
        SCOPED_TRACE(folder);
        const std::string exeDir = makeDir(folder) + "/";
        const Settings settings = secondRun(exeDir);
        EXPECT_EQ(settings.workFilePath, exeDir);
        EXPECT_EQ(settings.logDirectory, exeDir + "/log");
        EXPECT_TRUE(directoryExists(settings.logDirectory));
        EXPECT_TRUE(notifier_.informed.empty()) << notifier_.informed.front();
        const std::string ini = readBytes(exeDir + "Vennick.INI");
        EXPECT_NE(ini.find(storedWorkPath + "\r\n"), std::string::npos) << ini;
    }
}

// A hand-edited INI with bytes that are neither code page 932 nor UTF-8 (a Latin-1 folder name)
// keeps them, in the file and in the folder they name.
TEST_F(IniPaths, BytesThatAreNotCodePage932ComeBackUnchanged) {
    const std::string exeDir = makeDir("exe") + "/";
    const std::string logs = makeDir("logs-\xE9t\xE9");
    const std::string work = "/data/caf\xE9/\xA0";
    const std::string keys =
        "[WorkFiles]\r\nexFilePath=" + work + "\r\nexLogFilePath=" + logs + "\r\n";
    writeBytes(exeDir + "Vennick.INI", keys);

    const Settings settings = secondRun(exeDir);
    EXPECT_EQ(settings.workFilePath, work);
    EXPECT_EQ(settings.logDirectory, logs);
    EXPECT_TRUE(notifier_.informed.empty()) << notifier_.informed.front();
    EXPECT_TRUE(readBytes(exeDir + "Vennick.INI").starts_with(keys));
}

// A file saved as UTF-8 with a mark holds UTF-8 itself: a path goes in as its own bytes, with no
// mark of its own before it, and comes back unchanged.
TEST_F(IniPaths, InAUtf8FileAPathIsStoredAsItsOwnBytes) {
    const std::string exeDir = makeDir("vennick-café") + "/";
    writeBytes(exeDir + "Vennick.INI", "\xEF\xBB\xBF[WorkFiles]\r\n");
    const Settings settings = secondRun(exeDir);
    EXPECT_EQ(settings.workFilePath, exeDir);
    const std::string ini = readBytes(exeDir + "Vennick.INI");
    EXPECT_TRUE(ini.starts_with("\xEF\xBB\xBF[WorkFiles]\r\nexFilePath=" + exeDir + "\r\n")) << ini;
}

}  // namespace
}  // namespace vennick
