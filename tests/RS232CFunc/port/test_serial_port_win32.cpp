// The Win32 serial code against a real COM port: under Wine, COM1 is a pseudo-terminal on the
// Linux side whose other end is vennick_com_peer, an instrument the tests steer through its
// control pipe (scripts/test-windows sets all of this up and names the pipe's folder in
// VENNICK_COM_PEER). And a port on a named pipe: a device with no status query that ignores the
// read time-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "RS232CFunc/port/serial_port.h"
#include "RS232CFunc/receive/line_framer.h"
#include "RS232CFunc/receive/receive_thread.h"
#include "settings/notifier.h"
#include "settings/settings.h"

namespace vennick {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;
constexpr const char* kTypicalEvent = "12.5\\r\\n\\x04";

// The instrument behind COM1: sends commands down the control pipe, reads each answer back.
class ComPeer {
public:
    explicit ComPeer(const std::string& directory)
        : control_(openPipe(directory + "\\control", GENERIC_WRITE)),
          reply_(openPipe(directory + "\\reply", GENERIC_READ)) {}

    ~ComPeer() {
        CloseHandle(control_);
        CloseHandle(reply_);
    }

    ComPeer(const ComPeer&) = delete;
    ComPeer& operator=(const ComPeer&) = delete;

    // What followed "ok"; a failed command fails the test.
    std::string command(const std::string& text) {
        const std::string id =
            std::to_string(GetCurrentProcessId()) + "." + std::to_string(++sent_);
        const std::string line = id + " " + text + "\n";
        DWORD written = 0;
        if (!WriteFile(control_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
            ADD_FAILURE() << "cannot reach the instrument";
            return {};
        }
        // Answers to commands of a test that went away before reading them are skipped.
        for (std::string answer = readLine(); !answer.empty(); answer = readLine()) {
            if (answer.rfind(id + " ", 0) != 0) continue;
            const std::string result = answer.substr(id.size() + 1);
            if (result.rfind("ok", 0) != 0) ADD_FAILURE() << text << ": " << result;
            return result.size() > 3 ? result.substr(3) : std::string{};
        }
        ADD_FAILURE() << "the instrument went away";
        return {};
    }

    // Waits until the port has taken everything sent; false when it does not in time.
    bool allRead() {
        const auto deadline = Clock::now() + kDeadline;
        while (command("unread") != "0") {
            if (Clock::now() > deadline) return false;
            Sleep(10);
        }
        return true;
    }

private:
    static HANDLE openPipe(const std::string& path, DWORD access) {
        return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::string readLine() {
        std::string line;
        char c;
        DWORD got = 0;
        while (ReadFile(reply_, &c, 1, &got, nullptr) && got == 1 && c != '\n') line += c;
        return line;
    }

    HANDLE control_;
    HANDLE reply_;
    int sent_ = 0;
};

class RecordingNotifier : public Notifier {
public:
    void inform(const std::string& text) override { messages.push_back(text); }
    bool confirm(const std::string& text) override {
        messages.push_back(text);
        return false;
    }
    void showError(const std::string& message) override { messages.push_back(message); }

    std::vector<std::string> messages;
};

// Single-byte reads from the port until the deadline passes or the port fails.
class PortBytes : public ByteSource {
public:
    explicit PortBytes(SerialPort& port) : port_(port) {}

    std::optional<std::uint8_t> readByte() override {
        std::uint8_t byte = 0;
        const int got = port_.read(std::span(&byte, 1));
        if (got < 0) failed_ = true;
        if (got <= 0) return std::nullopt;
        return byte;
    }
    bool abandoned() const override { return failed_ || Clock::now() > deadline_; }

private:
    SerialPort& port_;
    Clock::time_point deadline_ = Clock::now() + kDeadline;
    bool failed_ = false;
};

// Collects what the receive thread hands over and lets the test wait for it.
class WaitingSink : public ReceiveSink {
public:
    void lineReceived(LineEvent event) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(event.text);
        changed_.notify_all();
    }
    void statusReported(std::string text) override {
        std::lock_guard lock(mutex_);
        statuses_.push_back(text);
        changed_.notify_all();
    }

    bool waitForLine(const std::string& text) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return contains(lines_, text); });
    }
    bool waitForStatus(const std::string& text) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return contains(statuses_, text); });
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    static bool contains(const std::vector<std::string>& list, const std::string& text) {
        for (const std::string& entry : list) {
            if (entry == text) return true;
        }
        return false;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<std::string> statuses_;
};

// A pseudo-terminal always reports 8 data bits without parity, whatever was asked, so only
// the speed and the stop bits show what the port configured.
std::string speedAndStopBits(const std::string& line) {
    std::istringstream words(line);
    std::string speed, dataBits, parity, stopBits;
    words >> speed >> dataBits >> parity >> stopBits;
    return speed + " " + stopBits;
}

// An environment variable; empty when it is not set.
std::string environmentValue(const char* name) {
    char value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(value, length) : std::string{};
}

// A COM port name with no device behind it.
std::string missingComPort() {
    for (int n = 2; n <= 9; ++n) {
        const std::string name = "COM" + std::to_string(n);
        char target[MAX_PATH];
        if (QueryDosDeviceA(name.c_str(), target, MAX_PATH) == 0) return name;
    }
    return {};
}

class Com1Test : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string directory = environmentValue("VENNICK_COM_PEER");
        if (directory.empty()) {
            GTEST_SKIP() << "COM1 is not connected to an instrument (scripts/test-windows does it)";
        }
        peer_.emplace(directory);
        // A fresh line for every test: nothing an earlier test left behind.
        peer_->command("back");
    }

    std::unique_ptr<SerialPort> openCom1(const Settings& settings = {}) {
        auto port = createSerialPort();
        EXPECT_EQ(openPort(*port, "COM1", settings, notifier_), 0);
        EXPECT_TRUE(notifier_.messages.empty());
        return port;
    }

    std::optional<ComPeer> peer_;
    RecordingNotifier notifier_;
};

TEST_F(Com1Test, ConfiguresTheLineAndFramesTheTypicalEvent) {
    Settings settings;
    settings.bitRateIndex = 10;  // 19200
    settings.stopBitsIndex = 2;  // two
    auto port = openCom1(settings);
    EXPECT_EQ(speedAndStopBits(peer_->command("line")), "19200 2");

    peer_->command(std::string("send ") + kTypicalEvent);
    PortBytes source(*port);
    LineFramer framer;
    const FramedLine line = framer.readLine(source);
    EXPECT_EQ(line.text, "12.5");
    EXPECT_EQ(line.charsAccepted, 4);
    EXPECT_EQ(line.bytesReceived, 5);
    EXPECT_FALSE(line.endedByEot);

    const FramedLine end = framer.readLine(source);
    EXPECT_EQ(end.text, "");
    EXPECT_TRUE(end.endedByEot);
    EXPECT_EQ(end.bytesReceived, 2);
    EXPECT_EQ(peer_->command("unread"), "0");
}

TEST_F(Com1Test, EveryOpenConfiguresTheLineAfresh) {
    Settings settings;
    settings.bitRateIndex = 14;  // 115200
    settings.stopBitsIndex = 0;  // one
    auto port = openCom1(settings);
    EXPECT_EQ(speedAndStopBits(peer_->command("line")), "115200 1");

    settings.bitRateIndex = 0;   // 110
    settings.stopBitsIndex = 2;  // two
    EXPECT_EQ(openPort(*port, "COM1", settings, notifier_), 0);
    EXPECT_EQ(speedAndStopBits(peer_->command("line")), "110 2");
}

TEST_F(Com1Test, AMissingPortIsReportedWithItsNameAndTheSystemsError) {
    auto port = createSerialPort();
    const std::string missing = missingComPort();
    ASSERT_FALSE(missing.empty());
    EXPECT_EQ(openPort(*port, missing, Settings{}, notifier_), 1);
    EXPECT_EQ(notifier_.messages, std::vector<std::string>{"RS232Cﾎﾟｰﾄがｵｰﾌﾟﾝできませんでした。"});
    EXPECT_FALSE(port->isOpen());
    const std::string problem = port->problem();
    EXPECT_EQ(problem.rfind(missing + ": ", 0), 0u) << problem;
    EXPECT_NE(problem.find("(ｴﾗｰ 2)"), std::string::npos) << problem;
    EXPECT_NE(problem.find("(ｹｰﾌﾞﾙと COM 番号を確認して下さい)"), std::string::npos) << problem;
}

// Wine refuses the whole DCB for a size it cannot set (as Windows drivers do for 1.5 stop bits
// with 8 data bits, or a rate a USB adapter cannot make): the rest must still be applied.
TEST_F(Com1Test, ARefusedSettingLeavesTheOthersAppliedAndIsNamed) {
    auto port = openCom1();
    port->applyLineSettings({19200, 9, Parity::None, StopBits::Two});
    EXPECT_EQ(speedAndStopBits(peer_->command("line")), "19200 2");
    EXPECT_EQ(port->problem(), "COM1: ﾃﾞｰﾀﾋﾞｯﾄ 9 は使えません");

    port->applyLineSettings({9600, 8, Parity::None, StopBits::One});
    EXPECT_EQ(speedAndStopBits(peer_->command("line")), "9600 1");
    EXPECT_EQ(port->problem(), "");
}

// scripts/test-windows maps COM10 to the same line as COM1 (through the registry: a name made
// with DefineDosDevice opens under Wine, but its line settings never reach the line).
TEST_F(Com1Test, PortsAboveNineOpen) {
    char target[MAX_PATH];
    if (QueryDosDeviceA("COM10", target, MAX_PATH) == 0) GTEST_SKIP() << "no COM10 here";
    Settings settings;
    settings.bitRateIndex = 10;  // 19200
    auto port = createSerialPort();
    ASSERT_EQ(openPort(*port, "COM10", settings, notifier_), 0) << port->problem();
    EXPECT_EQ(speedAndStopBits(peer_->command("line")), "19200 1");
}

TEST_F(Com1Test, ASingleByteReadOnASilentLineEndsAfterTheReadTimeOut) {
    auto port = openCom1();
    std::uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port->read(std::span(&byte, 1)), 0);
    const auto waited = Clock::now() - start;
    // 500 ms + 10 ms per byte; generous above for a loaded machine.
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 2500ms);
    EXPECT_EQ(port->bytesWaiting(), 0);
}

TEST_F(Com1Test, HangUpIsDetectedAndTheReceiveThreadReconnects) {
    auto port = openCom1();
    WaitingSink sink;
    TMyThread thread(std::move(port), {"COM1", lineSettingsFor(Settings{}), 100},
                     {std::shared_ptr<void>(), &sink});
    thread.start();

    peer_->command(std::string("send ") + kTypicalEvent);
    EXPECT_TRUE(sink.waitForLine("12.5"));

    peer_->command("hangup");
    EXPECT_TRUE(sink.waitForStatus("RS232Cﾎﾟｰﾄが切断されました。再接続を待っています..."));

    peer_->command("back");
    EXPECT_TRUE(sink.waitForStatus("RS232Cﾎﾟｰﾄに再接続しました。"));
    peer_->command("send 7.25\\r");
    EXPECT_TRUE(sink.waitForLine("7.25"));
}

// A USB adapter pulled out: the line hangs up and the device name goes with it; 2 s later it is
// plugged back and comes up on a new line under the same name. Reception goes on there.
TEST_F(Com1Test, APulledAdapterPluggedBackReceivesAgain) {
    auto port = openCom1();
    WaitingSink sink;
    TMyThread thread(std::move(port), {"COM1", lineSettingsFor(Settings{})},
                     {std::shared_ptr<void>(), &sink});
    thread.start();

    // In one write, so that 45 is in the port's queue once 1 has arrived: a byte still on its
    // way through the pseudo-terminal is not counted as unread yet.
    peer_->command("send 1\\r\\n\\x0445");
    EXPECT_TRUE(sink.waitForLine("1"));
    EXPECT_TRUE(peer_->allRead());
    peer_->command("pull");
    EXPECT_TRUE(sink.waitForStatus("RS232Cﾎﾟｰﾄが切断されました。再接続を待っています..."));
    Sleep(2000);  // the adapter stays away
    peer_->command("back");
    EXPECT_TRUE(sink.waitForStatus("RS232Cﾎﾟｰﾄに再接続しました。"));

    peer_->command("send 2\\r\\n\\x04");
    EXPECT_TRUE(sink.waitForLine("2"));
    peer_->command("send 3\\r\\n");
    EXPECT_TRUE(sink.waitForLine("3"));
    // The 45 the pull cut off is no reading: it only counted.
    const std::vector<std::string> lines = sink.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "45"), 0);
}

// While a pulled adapter is away Windows fails to open its COM name, but Wine opens COM1 onto a
// stand-in that is no serial device: its line settings cannot be read, which configurePort
// says, and its reads fail at once, so that the port soon counts as lost.
TEST_F(Com1Test, APortOpenedWhileTheAdapterIsAwaySaysWhyAndCountsAsLost) {
    peer_->command("pull");
    auto port = createSerialPort();
    if (!port->open("COM1")) {
        EXPECT_TRUE(port->problem().ends_with("(ｹｰﾌﾞﾙと COM 番号を確認して下さい)"))
            << port->problem();
        return;
    }
    const std::string problem = configurePort(*port, LineSettings{});
    EXPECT_EQ(problem.rfind("COM1: ﾎﾟｰﾄ設定を読めません ", 0), 0u) << problem;
    EXPECT_EQ(port->problem(), problem);
    std::uint8_t bytes[16];
    int got = 0;
    for (const auto deadline = Clock::now() + kDeadline; got == 0 && Clock::now() < deadline;) {
        got = port->read(bytes);
    }
    EXPECT_EQ(got, -1);
}

// A named pipe in the place of the serial device: its ReadFile blocks until data comes, whatever
// time-outs were asked for, and it has no comm status at all.
class PipeDevice {
public:
    PipeDevice()
        : name_("\\\\.\\pipe\\vennick-port-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++count_)),
          server_(CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                   4096, 4096, 0, nullptr)) {}
    ~PipeDevice() { CloseHandle(server_); }
    void disconnect() { DisconnectNamedPipe(server_); }
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    const std::string& name() const { return name_; }
    bool send(const std::string& bytes) {
        DWORD written = 0;
        return WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr) &&
               written == bytes.size();
    }

private:
    static inline std::atomic<int> count_{0};
    std::string name_;
    HANDLE server_;
};

std::unique_ptr<SerialPort> openedOn(const PipeDevice& pipe) {
    auto port = createSerialPort();
    EXPECT_TRUE(port->open(pipe.name())) << port->problem();
    port->applyLineSettings(LineSettings{});
    port->applyTimeouts();
    return port;
}

TEST(Win32PortWithoutStatusQuery, StillReceives) {
    PipeDevice pipe;
    auto port = openedOn(pipe);
    EXPECT_EQ(port->problem().rfind(pipe.name() + ": ﾎﾟｰﾄ設定を読めません", 0), 0u)
        << port->problem();
    ASSERT_TRUE(pipe.send("12.5\r\n"));

    std::string received;
    while (received.size() < 6) {
        if (port->waitForInput(500) == SerialPort::Wait::Failed) break;
        std::uint8_t bytes[16];
        const int got = port->read(bytes);
        if (got < 0) break;
        received.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(got));
    }
    EXPECT_EQ(received, "12.5\r\n");
}

TEST(Win32PortWithoutStatusQuery, FeedsTheReceiveThread) {
    PipeDevice pipe;
    auto port = openedOn(pipe);
    WaitingSink sink;
    {
        // The pipe ignores the time-outs: the thread's stop interrupts its wait.
        TMyThread thread(std::move(port), {pipe.name(), LineSettings{}, 100},
                         {std::shared_ptr<void>(), &sink});
        thread.start();
        EXPECT_TRUE(pipe.send("12.5\r\n"));
        EXPECT_TRUE(sink.waitForLine("12.5"));
    }
}

TEST(Win32PortInterrupt, AReadThatIgnoresTheTimeOutsReturnsPromptly) {
    PipeDevice pipe;
    auto port = openedOn(pipe);
    std::future<int> read = std::async(std::launch::async, [&] {
        std::uint8_t byte = 0;
        return port->read(std::span(&byte, 1));
    });
    // The pipe says nothing: the read stays inside ReadFile.
    EXPECT_EQ(read.wait_for(300ms), std::future_status::timeout);

    port->interruptWait();
    if (read.wait_for(1s) != std::future_status::ready) {
        pipe.disconnect();  // ends the read, so that the test can end
        FAIL() << "the read went on after interruptWait";
    }
    EXPECT_EQ(read.get(), 0);
    // Nothing blocks any more: a later wait returns at once, too.
    EXPECT_EQ(port->waitForInput(500), SerialPort::Wait::TimedOut);
}

}  // namespace
}  // namespace vennick
