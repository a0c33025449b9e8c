#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "RS232CFunc/log/log_writer.h"
#include "settings/app_error.h"
#include "tests/support/log_test_support.h"

namespace vennick {
namespace {

using testing::HeldLock;
using testing::inChildProcess;
using testing::namesIn;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr TimeOfDay kNineOhFive{9, 5, 7};

LocalClock fixedClock(TimeOfDay time) {
    return [time] { return time; };
}

class LogWriterFiles : public ::testing::Test {
protected:
    LogWriterFiles() {
        std::filesystem::create_directory(temp / "logs");
        std::filesystem::create_directory(temp / "exe");
    }

    TempDir temp;
    const std::string logs = temp / "logs";
    const std::string target = temp / "logs/09_05_07.TXT";
    LogWriter writer{temp / "exe/", fixedClock(kNineOhFive)};
};

TEST(LogFileName, IsTheTimeOfDayInTwoDigitFields) {
    EXPECT_EQ(logFileName({0, 0, 0}), "00_00_00.TXT");
    EXPECT_EQ(logFileName({23, 59, 9}), "23_59_09.TXT");
    EXPECT_EQ(logFileName({-1, 100, 5}), "-1_100_05.TXT");  // as "%02d" prints what cannot be
}

TEST_F(LogWriterFiles, WritesTheBatchAsCodePage932BytesWithNothingAdded) {
    // "ｱｲｳ" half-width katakana and "テスト" as code page 932, CR LF kept, typed tail kept.
    const auto written = writer.write(logs, "12.5\r\nｱｲｳ\r\nテスト\r\ntyped");
    ASSERT_EQ(written, logs + "/09_05_07.TXT");
    EXPECT_EQ(readFile(target), "12.5\r\n\xB1\xB2\xB3\r\n\x83\x65\x83\x58\x83\x67\r\ntyped");
    EXPECT_EQ(namesIn(logs), std::set<std::string>{"09_05_07.TXT"});  // no temporary left
}

TEST_F(LogWriterFiles, SameNameAgainAppendsBothBatchesInOrder) {
    ASSERT_TRUE(writer.write(logs, "A\r\n"));
    ASSERT_TRUE(writer.write(logs, "B\r\nC\r\n"));
    EXPECT_EQ(readFile(target), "A\r\nB\r\nC\r\n");

    // A file of that name from an earlier day keeps its lines too.
    const TimeOfDay other{14, 3, 27};
    writeFile(logs + "/14_03_27.TXT", "yesterday\r\n");
    LogWriter later(temp / "exe/", fixedClock(other));
    ASSERT_TRUE(later.write(logs, "today\r\n"));
    EXPECT_EQ(readFile(logs + "/14_03_27.TXT"), "yesterday\r\ntoday\r\n");
    EXPECT_EQ(namesIn(logs).size(), 2u);
}

TEST_F(LogWriterFiles, MissingConfiguredDirectoryUsesTheFallbackBesideTheExecutable) {
    const std::string gone = temp / "gone";
    const auto written = writer.write(gone, "X\r\n");

    ASSERT_EQ(written, temp / "exe//log/09_05_07.TXT");
    EXPECT_EQ(readFile(*written), "X\r\n");
    EXPECT_FALSE(std::filesystem::exists(gone)) << "the configured directory is never created";

    // The fallback that now exists is used as it is, also for a setting that names a file.
    ASSERT_TRUE(writer.write(gone, "Y\r\n"));
    writeFile(temp / "plain", "not a directory");
    ASSERT_EQ(writer.write(temp / "plain", "Z\r\n"), written);
    EXPECT_EQ(readFile(*written), "X\r\nY\r\nZ\r\n");
    EXPECT_EQ(readFile(temp / "plain"), "not a directory");
}

TEST_F(LogWriterFiles, FallbackThatCannotBeCreatedRaisesTheDirectoryError) {
    writeFile(temp / "plain", "not a directory");
    LogWriter blocked(temp / "plain/", fixedClock(kNineOhFive));
    try {
        blocked.write(temp / "gone", "X\r\n");
        FAIL() << "no error raised";
    } catch (const AppError& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot create " + temp / "plain//log");
    }
    EXPECT_EQ(readFile(temp / "plain"), "not a directory");
    EXPECT_FALSE(std::filesystem::exists(temp / "gone"));
}

TEST_F(LogWriterFiles, FileHeldByAnotherProgramIsLeftUntouched) {
    writeFile(target, "earlier\r\n");
    {
        const HeldLock held(target);
        EXPECT_FALSE(writer.write(logs, "new\r\n"));
        EXPECT_EQ(readFile(target), "earlier\r\n");
    }
    ASSERT_TRUE(writer.write(logs, "new\r\n"));  // released: the retry lands
    EXPECT_EQ(readFile(target), "earlier\r\nnew\r\n");
}

TEST_F(LogWriterFiles, PipeOfTheSameNameFailsInsteadOfBlocking) {
    ASSERT_EQ(::mkfifo(target.c_str(), 0666), 0);
    EXPECT_FALSE(writer.write(logs, "X\r\n"));
}

TEST_F(LogWriterFiles, DirectoryWithoutWritePermissionFailsAndStaysEmpty) {
    const std::string readOnly = temp / "readonly";
    std::filesystem::create_directory(readOnly);
    ::chmod(readOnly.c_str(), 0555);
    writeFile(temp / "logs/09_05_07.TXT", "kept\r\n");
    ::chmod(target.c_str(), 0444);

    // Root ignores permission bits: the attempt runs as an unprivileged user then.
    const int result = inChildProcess([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 77;
        if (writer.write(readOnly, "X\r\n")) return 1;  // the new file
        if (writer.write(logs, "Y\r\n")) return 2;      // the read-only file
        return 0;
    });
    if (result == 77) GTEST_SKIP() << "running as root and cannot switch to an unprivileged user";
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(namesIn(readOnly).empty());
    EXPECT_EQ(readFile(target), "kept\r\n");
}

// A file size limit stops the write halfway through, as a full disk does.
int writeUnderSizeLimit(LogWriter& writer, const std::string& directory, std::size_t bytes) {
    return inChildProcess([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
        return writer.write(directory, std::string(bytes, 'x')) ? 1 : 0;
    });
}

TEST_F(LogWriterFiles, RunningOutOfSpaceHalfwayLeavesTheFileAsItWas) {
    ASSERT_EQ(writeUnderSizeLimit(writer, logs, 10000), 0);
    EXPECT_TRUE(namesIn(logs).empty()) << "a partial new file";

    writeFile(target, "earlier\r\n");
    ASSERT_EQ(writeUnderSizeLimit(writer, logs, 10000), 0);
    EXPECT_EQ(readFile(target), "earlier\r\n") << "the appended tail was not cut back";
    EXPECT_EQ(namesIn(logs), std::set<std::string>{"09_05_07.TXT"});
}

TEST_F(LogWriterFiles, ProcessKilledWhileWritingNeverLeavesAPartialBatch) {
    const std::string batch(8 << 20, 'x');
    const pid_t child = ::fork();
    if (child == 0) {
        writer.write(logs, batch);
        ::_exit(0);
    }
    // Kill it as soon as its bytes start landing (or when it is done, if it was quicker).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() < deadline) {
        for (const auto& name : namesIn(logs)) writing = writing || !name.empty();
        std::this_thread::yield();
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(writing);

    if (std::filesystem::exists(target)) {
        EXPECT_EQ(std::filesystem::file_size(target), batch.size()) << "a partial batch";
    }
}

}  // namespace
}  // namespace vennick
