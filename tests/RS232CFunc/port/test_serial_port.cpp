// The termios serial port against real pseudo-terminals: what the device side sees after
// configuring, reads and their time-out, exclusivity, hang-ups, and the [Ports] mapping.

#include <grp.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "RS232CFunc/port/serial_port_posix.h"
#include "RS232CFunc/port/serial_termios2_linux.h"
#include "settings/ini_file.h"
#include "settings/settings.h"
#include "tests/settings/temp_dir.h"
#include "tests/support/log_test_support.h"
#include "tests/support/recording_notifier.h"
#include "tools/simulated_instrument.h"

namespace vennick {
namespace {

using sim::SimulatedInstrument;
using Clock = std::chrono::steady_clock;

constexpr const char* kOpenFailed = "RS232Cﾎﾟｰﾄがｵｰﾌﾟﾝできませんでした。";

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

void PrintTo(const BitRates& rates, std::ostream* out) {
    *out << "input " << rates.input << " / output " << rates.output;
}

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    // Opens and configures the port as monitoring does, then reads back the device's settings.
    termios configure(const Settings& settings) {
        EXPECT_EQ(openPort(*port_, instrument_.devicePath(), settings, notifier_), 0);
        termios seen{};
        EXPECT_EQ(::tcgetattr(instrument_.deviceFd(), &seen), 0);
        return seen;
    }

    SimulatedInstrument instrument_;
    std::unique_ptr<SerialPort> port_ = createSerialPort();
    test::RecordingNotifier notifier_;
};

// Both directions, each rate set after every other one: a rate without a B constant must not
// stay behind in the input speed when a rate with one follows (or the other way round).
TEST_F(SerialPortTest, EveryBitRateOfTheTableReachesTheDeviceInBothDirections) {
    Settings settings;
    for (const std::int32_t earlier : kBitRates) {
        for (std::int32_t index = 0; index < static_cast<std::int32_t>(kBitRates.size()); ++index) {
            const std::int32_t rate = kBitRates[static_cast<std::size_t>(index)];
            SCOPED_TRACE(std::to_string(earlier) + " then " + std::to_string(rate));
            ASSERT_TRUE(setAnyBitRate(instrument_.deviceFd(), earlier));
            settings.bitRateIndex = index;
            configure(settings);
            EXPECT_EQ(currentBitRates(instrument_.deviceFd()), (BitRates{rate, rate}));
        }
    }
    EXPECT_TRUE(notifier_.informed.empty());
}

// A pseudo-terminal forces CS8 and no parity, so the flags themselves are checked on what the
// port hands to the driver, and on the pseudo-terminal as far as it keeps them.
TEST_F(SerialPortTest, DataBitsParityAndStopBitsFollowTheIndices) {
    Settings settings;
    // From a clean start, or from one an earlier odd parity left behind.
    const auto flagsFor = [&settings](bool leftovers) {
        termios current{};
        current.c_cflag = CS8 | CREAD | (leftovers ? PARODD : 0);
        current.c_iflag = leftovers ? INPCK : 0;
        return lineTermios(current, lineSettingsFor(settings));
    };
    constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    for (std::int32_t index = 0; index < 4; ++index) {
        settings.dataBitsIndex = index;
        EXPECT_EQ(flagsFor(false).c_cflag & CSIZE, kSizes[index]);
    }
    constexpr tcflag_t kParities[] = {0, PARENB, PARENB | PARODD};  // none, even, odd
    constexpr tcflag_t kStopBits[] = {0, CSTOPB, CSTOPB};  // 1.5: two is the nearest termios has
    for (std::int32_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        settings.parityIndex = settings.stopBitsIndex = index;
        const tcflag_t checking = index == 0 ? 0 : INPCK;
        for (const bool leftovers : {false, true}) {
            EXPECT_EQ(flagsFor(leftovers).c_cflag & (PARENB | PARODD), kParities[index]);
            EXPECT_EQ(flagsFor(leftovers).c_iflag & INPCK, checking);
        }
        const termios seen = configure(settings);
        EXPECT_EQ(seen.c_iflag & INPCK, checking);
        EXPECT_EQ(seen.c_cflag & PARODD, kParities[index] & PARODD);
        EXPECT_EQ(seen.c_cflag & CSTOPB, kStopBits[index]);
    }
}

TEST_F(SerialPortTest, LineIsRawAndReceives) {
    termios cooked{};
    ::tcgetattr(instrument_.deviceFd(), &cooked);
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | IXON | ISTRIP | INLCR;
    cooked.c_oflag |= OPOST;
    cooked.c_cflag &= ~static_cast<tcflag_t>(CLOCAL | CREAD);
    ::tcsetattr(instrument_.deviceFd(), TCSANOW, &cooked);

    const termios seen = configure(Settings{});
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(seen.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
    EXPECT_EQ(seen.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
}

TEST(SerialLineFlags, IndicesOutsideTheTablesLeaveParityAndStopBitsAsRead) {
    termios current{};
    current.c_cflag = CS8 | PARENB | PARODD | CSTOPB;
    current.c_iflag = INPCK;
    Settings settings;
    settings.parityIndex = 7;
    settings.stopBitsIndex = -1;
    const termios result = lineTermios(current, lineSettingsFor(settings));
    EXPECT_EQ(result.c_cflag & (PARENB | PARODD | CSTOPB),
              static_cast<tcflag_t>(PARENB | PARODD | CSTOPB));
    EXPECT_NE(result.c_iflag & INPCK, 0u);
}

TEST_F(SerialPortTest, OpeningFailsWithTheMessageWhenMissingOrInUse) {
    EXPECT_EQ(openPort(*port_, "/dev/vennick-no-such-port", Settings{}, notifier_), 1);
    EXPECT_FALSE(port_->isOpen());
    ASSERT_EQ(notifier_.informed, std::vector<std::string>{kOpenFailed});

    ASSERT_EQ(openPort(*port_, instrument_.devicePath(), Settings{}, notifier_), 0);
    const auto second = createSerialPort();
    EXPECT_EQ(openPort(*second, instrument_.devicePath(), Settings{}, notifier_), 1);
    EXPECT_EQ(notifier_.informed.size(), 2u);

    // Opening another device first lets go of the one held.
    SimulatedInstrument other;
    ASSERT_EQ(openPort(*port_, other.devicePath(), Settings{}, notifier_), 0);
    EXPECT_EQ(openPort(*second, instrument_.devicePath(), Settings{}, notifier_), 0);
    EXPECT_EQ(notifier_.informed.size(), 2u);
}

// Opening as `openPort` does; the status line's text, or "(none)".
std::string reasonShown(SerialPort& port, const std::string& device, const Settings& settings,
                        Notifier& notifier, int expectedResult) {
    std::string shown = "(none)";
    EXPECT_EQ(openPort(port, device, settings, notifier,
                       [&shown](const std::string& text) { shown = text; }),
              expectedResult);
    return shown;
}

std::string said(int error) {
    return std::generic_category().message(error);
}

// The box stays as it was; the status line says which device, what the system said, and what
// to do about it.
TEST_F(SerialPortTest, FailedOpenPutsTheDeviceTheReasonAndTheRemedyOnTheStatusLine) {
    test::TempDir temp;
    const std::string missing = test::utf8(temp / "ttyUSB7");
    const std::string plainFile = test::utf8(temp / "not-a-port");
    test::writeBytes(plainFile, "");
    const testing::HeldLock heldByAnother(instrument_.devicePath());
    const struct {
        std::string device;
        std::string shown;
    } cases[] = {
        {missing, missing + ": " + said(ENOENT) + " ([Ports] の設定を確認して下さい)"},
        {plainFile, plainFile + ": " + said(ENOTTY) + " ([Ports] の設定を確認して下さい)"},
        {instrument_.devicePath(),
         instrument_.devicePath() + ": " + said(EBUSY) + " (他のﾌﾟﾛｸﾞﾗﾑが使用中です)"},
    };
    for (const auto& failing : cases) {
        EXPECT_EQ(reasonShown(*port_, failing.device, Settings{}, notifier_, 1), failing.shown);
        EXPECT_EQ(notifier_.informed.back(), kOpenFailed);
    }
    EXPECT_EQ(notifier_.informed.size(), std::size(cases));
}

TEST_F(SerialPortTest, PermissionRefusedNamesTheDialoutGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to try the port as the user nobody";
    ASSERT_EQ(::chmod(instrument_.devicePath().c_str(), 0600), 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int result = testing::inChildProcess([&] {
        ::close(pipeFds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) return 77;
        test::RecordingNotifier notifier;
        const auto port = createSerialPort();
        const std::string shown =
            reasonShown(*port, instrument_.devicePath(), Settings{}, notifier, 1);
        return ::write(pipeFds[1], shown.data(), shown.size()) < 0 ? 1 : 0;
    });
    ::close(pipeFds[1]);
    char text[512] = {};
    const ssize_t length = ::read(pipeFds[0], text, sizeof text);
    ::close(pipeFds[0]);
    ASSERT_NE(result, 77) << "could not become nobody";
    ASSERT_EQ(result, 0);
    EXPECT_EQ(
        std::string(text, static_cast<std::size_t>(std::max<ssize_t>(length, 0))),
        instrument_.devicePath() + ": " + said(EACCES) + " (ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに入れて下さい)");
}

// A pseudo-terminal keeps 8 data bits and no parity whatever it is asked: the port opens and the
// status line says what did not take, with the values asked for, as on Windows.
TEST_F(SerialPortTest, RefusedLineSettingsAreNamedAfterASuccessfulOpen) {
    Settings settings;
    EXPECT_EQ(reasonShown(*port_, instrument_.devicePath(), settings, notifier_, 0), "");
    settings.dataBitsIndex = 2;  // 7
    settings.parityIndex = 1;    // even
    EXPECT_EQ(reasonShown(*port_, instrument_.devicePath(), settings, notifier_, 0),
              instrument_.devicePath() + ": ﾃﾞｰﾀﾋﾞｯﾄ 7、ﾊﾟﾘﾃｨ Even は使えません");
    settings.dataBitsIndex = 0;  // 5
    settings.parityIndex = 0;
    EXPECT_EQ(reasonShown(*port_, instrument_.devicePath(), settings, notifier_, 0),
              instrument_.devicePath() + ": ﾃﾞｰﾀﾋﾞｯﾄ 5 は使えません");
    EXPECT_TRUE(notifier_.informed.empty());
}

// What an earlier attempt said goes when the port opens: the status line is given the empty
// text, or the settings the driver refused this time.
TEST_F(SerialPortTest, ASuccessfulOpenReplacesWhatAFailedOneSaid) {
    const std::string missing = "/dev/vennick-no-such-port";
    EXPECT_NE(reasonShown(*port_, missing, Settings{}, notifier_, 1), "(none)");
    EXPECT_EQ(reasonShown(*port_, instrument_.devicePath(), Settings{}, notifier_, 0), "");
    EXPECT_NE(reasonShown(*port_, missing, Settings{}, notifier_, 1), "(none)");
    Settings refused;
    refused.parityIndex = 2;  // odd
    EXPECT_EQ(reasonShown(*port_, instrument_.devicePath(), refused, notifier_, 0),
              instrument_.devicePath() + ": ﾊﾟﾘﾃｨ Odd は使えません");
}

// What the receive thread does after it has reopened a lost port: the line settings and the
// read time-outs again, and what the driver refused for the status line.
TEST_F(SerialPortTest, ConfiguringAReopenedPortAppliesEverythingAndSaysWhatWasRefused) {
    LineSettings line;
    line.bitRate = 19200;
    ASSERT_TRUE(port_->open(instrument_.devicePath()));  // not configured yet
    EXPECT_EQ(configurePort(*port_, line), "");
    EXPECT_EQ(currentBitRates(instrument_.deviceFd()), (BitRates{19200, 19200}));
    std::array<std::uint8_t, 16> buffer{};
    const auto before = Clock::now();
    EXPECT_EQ(port_->read(buffer), 0);  // bounded by the time-outs, not waiting for a byte
    EXPECT_LE(Clock::now() - before, std::chrono::milliseconds(3000));

    line.dataBits = 6;
    const std::string refused = instrument_.devicePath() + ": ﾃﾞｰﾀﾋﾞｯﾄ 6 は使えません";
    EXPECT_EQ(configurePort(*port_, line), refused);
    EXPECT_EQ(port_->problem(), refused);
}

TEST_F(SerialPortTest, ReadTakesWhatIsWaitingOrTimesOut) {
    ASSERT_EQ(openPort(*port_, instrument_.devicePath(), Settings{}, notifier_), 0);
    std::array<std::uint8_t, 4096> buffer{};

    EXPECT_EQ(port_->waitForInput(20), SerialPort::Wait::TimedOut);
    const auto before = Clock::now();
    EXPECT_EQ(port_->read(buffer), 0);
    const auto waited = Clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(400));
    EXPECT_LE(waited, std::chrono::milliseconds(3000));

    const std::string sent(3000, 'x');
    ASSERT_TRUE(instrument_.send(sent));
    ASSERT_TRUE(eventually([&] { return port_->bytesWaiting() == 3000; }));
    EXPECT_EQ(port_->waitForInput(20), SerialPort::Wait::Ready);
    EXPECT_EQ(port_->read(buffer), 3000);
    EXPECT_EQ(port_->bytesWaiting(), 0);
}

TEST_F(SerialPortTest, HangUpShowsAsFailure) {
    ASSERT_EQ(openPort(*port_, instrument_.devicePath(), Settings{}, notifier_), 0);
    instrument_.hangUp();
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(port_->waitForInput(2000), SerialPort::Wait::Failed);
    EXPECT_EQ(port_->read(buffer), -1);
    EXPECT_EQ(port_->bytesWaiting(), -1);
}

TEST(PortDevice, PortsSectionMapsComNamesElseTheFirstSerialDevices) {
    test::TempDir temp;
    const std::string iniPath = test::utf8(temp / "VENNICK.INI");
    test::writeBytes(iniPath,
                     "[Params]\r\ncComName=0\r\n"
                     "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM3=/dev/serial/by-id/usb-FTDI_A1\r\n");
    const IniFile ini(iniPath);
    EXPECT_EQ(portDeviceFor(ini, 0), "/dev/ttyUSB0");
    EXPECT_EQ(portDeviceFor(ini, 2), "/dev/serial/by-id/usb-FTDI_A1");
    EXPECT_EQ(portDeviceFor(ini, 1), "/dev/ttyS1");
    EXPECT_EQ(portDeviceFor(ini, -1), "/dev/ttyUSB0");  // a typed combo text means COM1
    const IniFile missing(test::utf8(temp / "MISSING.INI"));
    EXPECT_EQ(portDeviceFor(missing, 4), "/dev/ttyS4");
    EXPECT_EQ(portDeviceFor(missing, -1), "/dev/ttyS0");
}

}  // namespace
}  // namespace vennick
