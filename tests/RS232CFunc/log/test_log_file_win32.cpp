// The log writer's Win32 file code (exclusive, durable append) against the real Windows API;
// under Wine the files land on the Linux disk.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "RS232CFunc/log/log_writer.h"
#include "settings/app_error.h"
#include "tests/settings/temp_dir.h"

namespace vennick {
namespace {

using test::namesIn;
using test::readBytes;
using test::TempDir;
using test::utf8;
using test::writeBytes;

constexpr TimeOfDay kNineOhFive{9, 5, 7};

LocalClock fixedClock(TimeOfDay time) {
    return [time] { return time; };
}

// Another program's handle on a file; `share` is what it lets others do meanwhile.
class OtherProgramsHandle {
public:
    OtherProgramsHandle(const std::filesystem::path& path, DWORD access, DWORD share)
        : handle_(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OtherProgramsHandle() {
        if (isOpen()) CloseHandle(handle_);
    }
    OtherProgramsHandle(const OtherProgramsHandle&) = delete;
    OtherProgramsHandle& operator=(const OtherProgramsHandle&) = delete;

    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// log_write_probe, beside this test, writing `megabytes` of one batch to `file`.
class WriterProcess {
public:
    WriterProcess(const std::filesystem::path& file, int megabytes) {
        wchar_t self[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::filesystem::path probe =
            std::filesystem::path(std::wstring(self, length)).parent_path() / "log_write_probe.exe";
        std::wstring commandLine = L"\"" + probe.wstring() + L"\" \"" + file.wstring() + L"\" " +
                                   std::to_wstring(megabytes);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(probe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process_ = info.hProcess;
        }
    }
    ~WriterProcess() {
        if (process_ == nullptr) return;
        kill();
        CloseHandle(process_);
    }
    WriterProcess(const WriterProcess&) = delete;
    WriterProcess& operator=(const WriterProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    bool running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    void kill() {
        TerminateProcess(process_, 137);
        WaitForSingleObject(process_, INFINITE);
    }

private:
    HANDLE process_ = nullptr;
};

// The size of a file in `directory` that has some bytes but not all of `total`.
std::optional<std::uintmax_t> partialFileIn(const std::filesystem::path& directory,
                                            std::uintmax_t total) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::uintmax_t size = entry.file_size(error);
        if (!error && size > 0 && size < total) return size;
    }
    return std::nullopt;
}

class LogFileWin32 : public ::testing::Test {
protected:
    LogFileWin32() {
        std::filesystem::create_directory(temp / "logs");
        std::filesystem::create_directory(temp / "exe");
    }

    TempDir temp;
    const std::string logs = utf8(temp / "logs");
    const std::filesystem::path target = temp / "logs" / "09_05_07.TXT";
    LogWriter writer{utf8(temp / "exe") + "\\", fixedClock(kNineOhFive)};
};

TEST_F(LogFileWin32, WritesTheBatchAsCodePage932BytesWithNothingAdded) {
    const auto written = writer.write(logs, "12.5\r\nｱｲｳ\r\nテスト\r\n");
    ASSERT_EQ(written, logs + "\\09_05_07.TXT");
    EXPECT_EQ(readBytes(target), "12.5\r\n\xB1\xB2\xB3\r\n\x83\x65\x83\x58\x83\x67\r\n");
    EXPECT_EQ(namesIn(temp / "logs"), std::set<std::string>{"09_05_07.TXT"});
}

TEST_F(LogFileWin32, SameNameAgainAppendsBothBatchesInOrder) {
    ASSERT_TRUE(writer.write(logs, "A\r\n"));
    ASSERT_TRUE(writer.write(logs, "B\r\n"));
    EXPECT_EQ(readBytes(target), "A\r\nB\r\n");
}

TEST_F(LogFileWin32, MissingConfiguredDirectoryUsesTheFallbackWithItsDoubledSeparator) {
    const auto written = writer.write(utf8(temp / "gone"), "X\r\n");
    ASSERT_EQ(written, utf8(temp / "exe") + "\\\\log\\09_05_07.TXT");
    EXPECT_EQ(readBytes(temp / "exe" / "log" / "09_05_07.TXT"), "X\r\n");
    EXPECT_FALSE(std::filesystem::exists(temp / "gone"));

    // A setting that names a file leads there too.
    std::ofstream(temp / "plain") << "not a directory";
    ASSERT_EQ(writer.write(utf8(temp / "plain"), "Y\r\n"), written);
    EXPECT_EQ(readBytes(temp / "exe" / "log" / "09_05_07.TXT"), "X\r\nY\r\n");
}

TEST_F(LogFileWin32, FallbackThatCannotBeCreatedRaisesTheDirectoryError) {
    LogWriter blocked(utf8(temp / "missing") + "\\", fixedClock(kNineOhFive));
    try {
        blocked.write(utf8(temp / "gone"), "X\r\n");
        FAIL() << "no error raised";
    } catch (const AppError& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot create " + utf8(temp / "missing") + "\\\\log");
    }
}

TEST_F(LogFileWin32, DirectoryWithAJapaneseNameIsReachedThroughItsWideName) {
    const std::filesystem::path japanese = temp.path() / test::pathOf("ログ出力");
    std::filesystem::create_directory(japanese);
    ASSERT_TRUE(writer.write(utf8(japanese), "1\r\n"));
    EXPECT_EQ(readBytes(japanese / "09_05_07.TXT"), "1\r\n");
}

TEST_F(LogFileWin32, FileOpenInAnotherProgramIsLeftUntouchedUntilItIsClosed) {
    writeBytes(target, "earlier\r\n");
    {
        // Even a reader that lets everybody share is in the way of an exclusive open.
        const OtherProgramsHandle reader(target, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(reader.isOpen());
        EXPECT_FALSE(writer.write(logs, "new\r\n"));
        EXPECT_EQ(readBytes(target), "earlier\r\n");
    }
    ASSERT_TRUE(writer.write(logs, "new\r\n"));
    EXPECT_EQ(readBytes(target), "earlier\r\nnew\r\n");
}

TEST_F(LogFileWin32, ReadOnlyFileIsLeftUntouched) {
    writeBytes(target, "kept\r\n");
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    const bool ignored = OtherProgramsHandle(target, GENERIC_WRITE, 0).isOpen();
    if (ignored) {
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "read-only files are writable here (Wine running as root)";
    }
    EXPECT_FALSE(writer.write(logs, "X\r\n"));
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(readBytes(target), "kept\r\n");
}

TEST_F(LogFileWin32, AWriterKilledHalfwayLeavesNoPartialFileUnderTheName) {
    constexpr int kMegabytes = 256;
    constexpr std::uintmax_t kTotal = std::uintmax_t{kMegabytes} << 20;
    // The kill must come while the bytes are going down; a writer too quick for that is tried
    // again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        WriterProcess child(target, kMegabytes);
        ASSERT_TRUE(child.started());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::optional<std::uintmax_t> partial;
        while (!partial && child.running() && std::chrono::steady_clock::now() < deadline) {
            partial = partialFileIn(temp / "logs", kTotal);
        }
        child.kill();
        if (!partial) {
            std::filesystem::remove(target);
            continue;
        }
        for (const std::string& name : namesIn(temp / "logs")) {
            EXPECT_EQ(name.find(".TXT"), std::string::npos) << name << " after the kill";
        }
        return;
    }
    GTEST_SKIP() << "every write ended before it could be interrupted";
}

TEST_F(LogFileWin32, ANewFileAppearsWholeAndVisibleWithNothingBesideIt) {
    ASSERT_TRUE(writer.write(logs, "1\r\n"));
    EXPECT_EQ(namesIn(temp / "logs"), std::set<std::string>{"09_05_07.TXT"});
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

}  // namespace
}  // namespace vennick
