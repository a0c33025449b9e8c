#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "RS232CFunc/log/log_writer.h"
#include "app/program_files.h"
#include "settings/file_system.h"
#include "tests/settings/temp_dir.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;

std::string path(std::initializer_list<const char*> parts) {
    std::string text;
    for (const char* part : parts) text += std::string(1, pathSeparator()) + part;
    return text;
}

const UserFolders kUser{.settings = path({"home", "op", ".config"}),
                        .state = path({"home", "op", ".local", "state"}),
                        .documents = path({"home", "op"})};
const std::string kExecutable = path({"opt", "bin", "Vennick"});

TEST(ProgramFiles, StayBesideAWritableExecutable) {
    std::string tested;
    const ProgramFiles files = programFilesFor(kExecutable, kUser, [&](const std::string& dir) {
        tested = dir;
        return true;
    });
    EXPECT_EQ(tested, path({"opt", "bin", ""}));
    EXPECT_EQ(files.iniPath, path({"opt", "bin", "Vennick.INI"}));
    EXPECT_EQ(files.journalPath, path({"opt", "bin", "Vennick.JNL"}));
    EXPECT_TRUE(files.folders.empty());
    // Two separators at the join, as the settings file has always held it.
    EXPECT_EQ(LogWriter(files.logBase, systemLocalTime).fallbackDirectory(),
              path({"opt", "bin", "", "log"}));
}

TEST(ProgramFiles, GoToTheUsersFoldersBesideAReadOnlyExecutable) {
    const ProgramFiles files = programFilesFor(kExecutable, kUser, [](auto&) { return false; });
    EXPECT_EQ(files.iniPath, path({"home", "op", ".config", "Vennick", "Vennick.INI"}));
    EXPECT_EQ(files.journalPath, path({"home", "op", ".local", "state", "Vennick", "Vennick.JNL"}));
    EXPECT_EQ(LogWriter(files.logBase, systemLocalTime).fallbackDirectory(),
              path({"home", "op", "Vennick", "log"}));
    EXPECT_EQ(files.folders,
              (std::vector<std::string>{path({"home", "op", ".config", "Vennick"}),
                                        path({"home", "op", ".local", "state", "Vennick"}),
                                        path({"home", "op", "Vennick"})}));
}

// Root may write into /usr/bin: an installed copy still keeps its files in the user's folders.
TEST(ProgramFiles, AnInstalledCopyIsNeverPortable) {
    const std::string system = systemBinaryFolder();
    if (system.empty()) GTEST_SKIP() << "no system-wide install here";
    const ProgramFiles files = programFilesFor(system + pathSeparator() + "Vennick", kUser,
                                               [](auto&) { return true; });
    EXPECT_EQ(files.iniPath, path({"home", "op", ".config", "Vennick", "Vennick.INI"}));
}

TEST(ProgramFiles, KeepTheExecutablesNameAndOneFolderForSettingsAndState) {
    const UserFolders windows{
        .settings = path({"Local"}), .state = path({"Local"}), .documents = path({"Documents"})};
    const ProgramFiles files = programFilesFor(path({"Program Files", "Vennick", "Vennick.exe"}),
                                               windows, [](auto&) { return false; });
    EXPECT_EQ(files.iniPath, path({"Local", "Vennick", "Vennick.INI"}));
    EXPECT_EQ(files.journalPath, path({"Local", "Vennick", "Vennick.JNL"}));
    EXPECT_EQ(files.folders.size(), 2u);
}

TEST(ProgramFiles, StayBesideTheExecutableWhenTheUserHasNoFolders) {
    const ProgramFiles files = programFilesFor(kExecutable, {}, [](auto&) { return false; });
    EXPECT_EQ(files.iniPath, path({"opt", "bin", "Vennick.INI"}));
}

TEST(ProgramFiles, CreatesTheFoldersWithTheirParents) {
    test::TempDir dir;
    const std::string deep = test::utf8(dir / "a" / "b" / "c");
    EXPECT_TRUE(createFolders({deep, test::utf8(dir.path())}));
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
    test::writeBytes(dir / "file", "x");
    EXPECT_FALSE(createFolders({test::utf8(dir / "file" / "d")}));
}

TEST(DirectoryWritable, CreatesAndRemovesARealFile) {
    test::TempDir dir;
    EXPECT_TRUE(directoryWritable(test::utf8(dir.path())));
    EXPECT_TRUE(test::namesIn(dir.path()).empty());  // nothing left behind
    EXPECT_FALSE(directoryWritable(test::utf8(dir / "missing")));
}

TEST(DirectoryWritable, RefusesAFolderWithoutWriteBitsEvenForRoot) {
    if (pathSeparator() == '\\') {
        GTEST_SKIP() << "Windows folders are locked by access rights, which Wine does not have";
    }
    test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(directoryWritable(test::utf8(dir.path())));
}

#ifdef _WIN32
TEST(UserFolders, AreTheLocalApplicationDataAndTheDocumentsFolders) {
    const UserFolders folders = userFolders();
    EXPECT_TRUE(directoryExists(folders.settings)) << folders.settings;
    EXPECT_EQ(folders.state, folders.settings);
    EXPECT_NE(folders.documents, folders.settings);
    EXPECT_FALSE(folders.documents.empty());
}
#else
// Sets an environment variable for one test and puts the old value back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedVariable() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(UserFolders, FollowTheXdgVariablesAndTheHomeFolder) {
    ScopedVariable home("HOME", "/home/op/");
    ScopedVariable config("XDG_CONFIG_HOME", "/srv/config");
    ScopedVariable state("XDG_STATE_HOME", "relative/is/ignored");
    const UserFolders folders = userFolders();
    EXPECT_EQ(folders.settings, "/srv/config");
    EXPECT_EQ(folders.state, "/home/op/.local/state");
    EXPECT_EQ(folders.documents, "/home/op");
}
#endif

}  // namespace
}  // namespace vennick
