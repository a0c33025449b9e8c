#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "app/instance_guard.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;
using Outcome = InstanceGuard::Outcome;

// Sets XDG_RUNTIME_DIR for one test and puts back what was there.
class RuntimeDirScope {
public:
    explicit RuntimeDirScope(const std::optional<std::string>& value) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_ = old;
        if (value) {
            ::setenv("XDG_RUNTIME_DIR", value->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }
    ~RuntimeDirScope() {
        if (old_) {
            ::setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }

private:
    std::optional<std::string> old_;
};

class InstanceLockTest : public ::testing::Test {
protected:
    InstanceLockTest() {
        dir_ = fs::temp_directory_path() /
               ("vennick_lock_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    ~InstanceLockTest() override { fs::remove_all(dir_); }

    fs::path dir_;
    std::string name_ = "vennick_lock_test_" + std::to_string(::getpid());
};

TEST_F(InstanceLockTest, LivesInTheRuntimeDirectoryWhenThereIsOne) {
    RuntimeDirScope scope(dir_.string());
    EXPECT_EQ(instanceLockPath(name_), (dir_ / (name_ + ".lock")).string());

    InstanceGuard guard(name_);
    ASSERT_EQ(guard.outcome(), Outcome::Acquired);
    struct stat info {};
    ASSERT_EQ(::stat(instanceLockPath(name_).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(InstanceLockTest, FallsBackToTmpWithTheUserIdWhenTheRuntimeDirectoryIsMissing) {
    std::string expected = "/tmp/" + name_ + "-" + std::to_string(::geteuid()) + ".lock";
    {
        RuntimeDirScope unset(std::nullopt);
        EXPECT_EQ(instanceLockPath(name_), expected);
    }
    {
        RuntimeDirScope empty(std::string{});
        EXPECT_EQ(instanceLockPath(name_), expected);
    }
    {
        RuntimeDirScope notADirectory((dir_ / "no_such_dir").string());
        EXPECT_EQ(instanceLockPath(name_), expected);
    }
}

TEST_F(InstanceLockTest, RefusesASymlinkPlantedAtTheLockPath) {
    RuntimeDirScope scope(dir_.string());
    fs::path target = dir_ / "target";
    std::ofstream(target).put('x');
    fs::create_symlink(target, instanceLockPath(name_));

    EXPECT_EQ(InstanceGuard(name_).outcome(), Outcome::Failed);
    EXPECT_EQ(fs::file_size(target), 1u);
}

TEST_F(InstanceLockTest, RefusesSomethingOtherThanAPlainFile) {
    RuntimeDirScope scope(dir_.string());
    fs::create_directory(instanceLockPath(name_));
    EXPECT_EQ(InstanceGuard(name_).outcome(), Outcome::Failed);
}

TEST_F(InstanceLockTest, RefusesAFileOwnedBySomebodyElse) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    RuntimeDirScope scope(dir_.string());
    std::ofstream(instanceLockPath(name_)).put('x');
    ASSERT_EQ(::chown(instanceLockPath(name_).c_str(), 65534, 65534), 0);
    EXPECT_EQ(InstanceGuard(name_).outcome(), Outcome::Failed);
}

TEST_F(InstanceLockTest, AStaleLockFileFromAnEarlierRunIsReused) {
    RuntimeDirScope scope(dir_.string());
    { InstanceGuard earlier(name_); }
    ASSERT_TRUE(fs::exists(instanceLockPath(name_)));
    EXPECT_EQ(InstanceGuard(name_).outcome(), Outcome::Acquired);
}

}  // namespace
}  // namespace vennick
