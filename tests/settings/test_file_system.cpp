#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "settings/file_system.h"
#include "tests/settings/temp_dir.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;

std::string joined(std::initializer_list<const char*> parts) {
    std::string path;
    for (const char* part : parts) path += std::string(1, pathSeparator()) + part;
    return path;
}

TEST(IniPathFor, ReplacesTheFileNamesExtension) {
    EXPECT_EQ(iniPathFor(joined({"Tools", "x.exe"})), joined({"Tools", "x.INI"}));
    EXPECT_EQ(iniPathFor(joined({"Tools", "a.b.exe"})), joined({"Tools", "a.b.INI"}));
}

TEST(IniPathFor, AppendsToANameWithoutExtension) {
    EXPECT_EQ(iniPathFor(joined({"opt", "Vennick"})), joined({"opt", "Vennick.INI"}));
    EXPECT_EQ(iniPathFor(joined({"opt", "v.d", "Vennick"})), joined({"opt", "v.d", "Vennick.INI"}));
    EXPECT_EQ(iniPathFor("Vennick"), "Vennick.INI");
}

TEST(DirectoryOf, KeepsTheTrailingSeparator) {
    EXPECT_EQ(directoryOf(joined({"Tools", "x.exe"})), joined({"Tools", ""}));
    EXPECT_EQ(directoryOf("x.exe"), "");
}

TEST(ExecutablePath, NamesThisTestProgram) {
    const std::string path = executablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(fs::is_regular_file(test::pathOf(path)));
    EXPECT_NE(path.find("test_settings"), std::string::npos);
    EXPECT_TRUE(directoryExists(directoryOf(path)));
}

TEST(Directories, ExistOnlyAsDirectories) {
    test::TempDir dir;
    test::writeBytes(dir / "file", "x");
    EXPECT_TRUE(directoryExists(test::utf8(dir.path())));
    EXPECT_FALSE(directoryExists(test::utf8(dir / "file")));
    EXPECT_FALSE(directoryExists(test::utf8(dir / "missing")));
    EXPECT_FALSE(directoryExists(""));
}

TEST(Directories, CreatesOneLevelOnly) {
    test::TempDir dir;
    const std::string log = test::utf8(dir / "log");
    EXPECT_TRUE(createDirectory(log));
    EXPECT_TRUE(directoryExists(log));
    EXPECT_FALSE(createDirectory(log));  // already there
    EXPECT_FALSE(createDirectory(test::utf8(dir / "a" / "b")));
    EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST(Directories, DoubledSeparatorNamesTheSameDirectory) {
    test::TempDir dir;
    const std::string log = test::utf8(dir.path()) + pathSeparator() + pathSeparator() + "log";
    EXPECT_TRUE(createDirectory(log));
    EXPECT_TRUE(directoryExists(test::utf8(dir / "log")));
}

}  // namespace
}  // namespace vennick
