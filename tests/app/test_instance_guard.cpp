#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "app/instance_guard.h"
#include "tests/app/probe_process.h"

namespace vennick {
namespace {

using Outcome = InstanceGuard::Outcome;
using testing::ProbeProcess;

constexpr int kAcquired = 0;
constexpr int kAlreadyRunning = 1;

// A name of its own for every test, so that neither a running Vennick nor a parallel test run
// takes part.
class InstanceGuardTest : public ::testing::Test {
protected:
    InstanceGuardTest() {
        static std::atomic<int> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        name_ = "vennick_guard_test_" + std::to_string(stamp) + "_" + std::to_string(++counter);
    }

    ~InstanceGuardTest() override {
        std::error_code ignored;
        std::filesystem::remove(instanceLockPath(name_), ignored);
    }

    // A probe that took the lock and keeps it until its input closes.
    std::unique_ptr<ProbeProcess> startHolder() {
        auto holder = ProbeProcess::start({name_, "--hold"});
        EXPECT_EQ(holder->readLine(), "Acquired");
        return holder;
    }

    // A probe that only tries; its exit code.
    int tryOnce(const std::string& expectedWord) {
        auto probe = ProbeProcess::start({name_});
        EXPECT_EQ(probe->readLine(), expectedWord);
        return probe->wait();
    }

    std::string name_;
};

TEST_F(InstanceGuardTest, SecondGuardInTheSameProcessSeesTheFirstUntilReleased) {
    InstanceGuard first(name_);
    ASSERT_EQ(first.outcome(), Outcome::Acquired);
    {
        InstanceGuard second(name_);
        EXPECT_EQ(second.outcome(), Outcome::AlreadyRunning);
    }
    // The refused guard held nothing, so the first still holds the lock.
    EXPECT_EQ(InstanceGuard(name_).outcome(), Outcome::AlreadyRunning);

    first.release();
    EXPECT_EQ(InstanceGuard(name_).outcome(), Outcome::Acquired);
}

TEST_F(InstanceGuardTest, SecondCopyIsRefusedWhileTheFirstRunsAndStartsAfterItEnds) {
    auto holder = startHolder();
    EXPECT_EQ(tryOnce("AlreadyRunning"), kAlreadyRunning);
    EXPECT_EQ(tryOnce("AlreadyRunning"), kAlreadyRunning);

    holder->closeInput();
    EXPECT_EQ(holder->wait(), kAcquired);
    EXPECT_EQ(tryOnce("Acquired"), kAcquired);
}

TEST_F(InstanceGuardTest, KilledHolderLeavesTheLockFree) {
    auto holder = startHolder();
    holder->kill();
    holder->wait();
    EXPECT_EQ(tryOnce("Acquired"), kAcquired);
}

TEST_F(InstanceGuardTest, DifferentNamesDoNotMeet) {
    InstanceGuard first(name_);
    InstanceGuard other(name_ + "_other");
    EXPECT_EQ(first.outcome(), Outcome::Acquired);
    EXPECT_EQ(other.outcome(), Outcome::Acquired);
    other.release();
    std::error_code ignored;
    std::filesystem::remove(instanceLockPath(name_ + "_other"), ignored);
}

}  // namespace
}  // namespace vennick
