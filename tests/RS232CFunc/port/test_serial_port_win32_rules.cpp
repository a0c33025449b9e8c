// The Win32 serial port's decisions that no driver under Wine can provoke: refused line
// settings, reads aborted by line errors, a pulled USB adapter.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "RS232CFunc/port/serial_port_win32.h"

namespace vennick {
namespace {

TEST(Win32DeviceName, EveryComNameGoesThroughTheDeviceNamespace) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM10", "\\\\.\\COM10"},
        {"com256", "\\\\.\\com256"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"COM", "COM"},
        {"COM1x", "COM1x"},
        {"\\\\.\\pipe\\x", "\\\\.\\pipe\\x"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
    };
    for (const auto& [device, opened] : cases) EXPECT_EQ(win32DeviceName(device), opened) << device;
}

TEST(Win32Dcb, CarriesTheLineFieldsAndKeepsTheRest) {
    DCB driver{};
    driver.DCBlength = sizeof(DCB);
    driver.Parity = MARKPARITY;
    driver.StopBits = TWOSTOPBITS;
    driver.fOutxCtsFlow = TRUE;
    driver.XonChar = 0x11;
    const struct {
        LineSettings line;
        BYTE parity;
        BOOL checking;
        BYTE stopBits;
    } cases[] = {
        {{9600, 8, Parity::None, StopBits::One}, NOPARITY, FALSE, ONESTOPBIT},
        {{19200, 7, Parity::Even, StopBits::OneAndHalf}, EVENPARITY, TRUE, ONE5STOPBITS},
        {{110, 5, Parity::Odd, StopBits::Two}, ODDPARITY, TRUE, TWOSTOPBITS},
        {{2000000, 6, Parity::AsRead, StopBits::AsRead}, MARKPARITY, TRUE, TWOSTOPBITS},
    };
    for (const auto& [line, parity, checking, stopBits] : cases) {
        const DCB dcb = dcbFor(driver, line);
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(line.bitRate));
        EXPECT_EQ(dcb.ByteSize, line.dataBits);
        EXPECT_EQ(dcb.Parity, parity);
        EXPECT_EQ(static_cast<BOOL>(dcb.fParity), checking);
        EXPECT_EQ(dcb.StopBits, stopBits);
        EXPECT_TRUE(dcb.fOutxCtsFlow);
        EXPECT_EQ(dcb.XonChar, 0x11);
    }
}

// A driver as Windows' own: 1.5 stop bits only with 5 data bits, 2 never with 5, and only the
// rates of its table.
class StrictDriver {
public:
    bool set(const DCB& dcb) {
        ++calls;
        const bool rateOk = rates_.count(dcb.BaudRate) > 0;
        const bool stopOk = (dcb.StopBits != ONE5STOPBITS || dcb.ByteSize == 5) &&
                            (dcb.StopBits != TWOSTOPBITS || dcb.ByteSize != 5);
        if (!rateOk || !stopOk) return false;
        state = dcb;
        return true;
    }

    DCB state = [] {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.StopBits = ONESTOPBIT;
        return dcb;
    }();
    int calls = 0;

private:
    std::set<DWORD> rates_{110, 9600, 19200, 115200};
};

TEST(Win32LineFields, WhatTheDriverRefusesIsNamedAndTheRestApplied) {
    using F = LineField;
    // the line, what is refused, then what the driver holds, and the status text
    const struct {
        LineSettings line;
        std::vector<LineField> refused;
        DWORD rate;
        BYTE dataBits;
        BYTE stopBits;
        const char* text;
    } cases[] = {
        {{19200, 7, Parity::Even, StopBits::One}, {}, 19200, 7, ONESTOPBIT, ""},
        {{19200, 8, Parity::Even, StopBits::OneAndHalf},
         {F::StopBits},
         19200,
         8,
         ONESTOPBIT,
         "COM3: ｽﾄｯﾌﾟﾋﾞｯﾄ 1.5 は使えません"},
        {{115200, 5, Parity::None, StopBits::Two},
         {F::StopBits},
         115200,
         5,
         ONESTOPBIT,
         "COM3: ｽﾄｯﾌﾟﾋﾞｯﾄ 2 は使えません"},
        {{5, 5, Parity::Odd, StopBits::OneAndHalf},
         {F::BitRate},
         9600,
         5,
         ONE5STOPBITS,
         "COM3: ﾋﾞｯﾄﾚｰﾄ 5 は使えません"},
        {{128000, 6, Parity::Odd, StopBits::OneAndHalf},
         {F::BitRate, F::StopBits},
         9600,
         6,
         ONESTOPBIT,
         "COM3: ﾋﾞｯﾄﾚｰﾄ 128000、ｽﾄｯﾌﾟﾋﾞｯﾄ 1.5 は使えません"},
    };
    for (const auto& [line, refused, rate, dataBits, stopBits, text] : cases) {
        SCOPED_TRACE(text);
        StrictDriver driver;
        const LineOutcome outcome =
            applyLineFields(driver.state, line, [&](const DCB& dcb) { return driver.set(dcb); });
        EXPECT_EQ(outcome.refused, refused);
        EXPECT_EQ(driver.state.BaudRate, rate);
        EXPECT_EQ(driver.state.ByteSize, dataBits);
        EXPECT_EQ(driver.state.StopBits, stopBits);
        EXPECT_EQ(driver.state.Parity, dcbFor(driver.state, line).Parity);
        EXPECT_EQ(outcome.applied.BaudRate, driver.state.BaudRate);
        EXPECT_EQ(refusedSettingsText("COM3", line, outcome.refused), text);
    }
}

TEST(Win32FailedRead, OnlyAPortThatIsGoneCountsAsLost) {
    using A = AfterFailedRead;
    const struct {
        const char* what;
        FailedRead failure;
        AfterFailedRead expected;
    } cases[] = {
        {"a framing error aborted the read",
         {ERROR_OPERATION_ABORTED, true, true, CE_FRAME, true},
         A::ReadAgain},
        {"parity and break",
         {ERROR_OPERATION_ABORTED, true, true, CE_RXPARITY | CE_BREAK, true},
         A::ReadAgain},
        {"no flag to tell why", {ERROR_GEN_FAILURE, true, true, 0, true}, A::PauseThenReadAgain},
        {"the status query stopped working",
         {ERROR_GEN_FAILURE, false, true, 0, true},
         A::PortLost},
        {"a driver that never had one",
         {ERROR_GEN_FAILURE, false, false, 0, true},
         A::PauseThenReadAgain},
        {"the device name has gone", {ERROR_GEN_FAILURE, true, true, CE_FRAME, false}, A::PortLost},
        {"the read says it is removed", {ERROR_DEVICE_REMOVED, true, true, 0, true}, A::PortLost},
        {"the other end closed", {ERROR_BROKEN_PIPE, false, false, 0, true}, A::PortLost},
        // A pulled USB adapter whose driver keeps the handle.
        {"bad command, status gone too", {ERROR_BAD_COMMAND, false, true, 0, true}, A::PortLost},
        {"bad command, status answering", {ERROR_BAD_COMMAND, true, true, 0, true}, A::PortLost},
        {"access denied, status gone too",
         {ERROR_ACCESS_DENIED, false, true, 0, true},
         A::PortLost},
        {"access denied, status answering",
         {ERROR_ACCESS_DENIED, true, true, 0, true},
         A::PortLost},
        {"aborted, status gone too", {ERROR_OPERATION_ABORTED, false, true, 0, true}, A::PortLost},
        {"aborted without a line error (FruitlessReads counts it)",
         {ERROR_OPERATION_ABORTED, true, true, 0, true},
         A::PauseThenReadAgain},
    };
    for (const auto& [what, failure, expected] : cases) {
        EXPECT_EQ(judgeFailedRead(failure), expected) << what;
    }
}

using namespace std::chrono_literals;

// How many reads it takes until the port counts as lost; 0 when it never does within 100.
int readsUntilLost(int bytes, std::chrono::milliseconds took, bool unexplainedFailure) {
    FruitlessReads reads;
    for (int n = 1; n <= 100; ++n) {
        if (reads.lost(bytes, took, unexplainedFailure)) return n;
    }
    return 0;
}

TEST(Win32FruitlessReads, APortThatOnlyFailsOrReturnsNothingAtOnceIsLost) {
    const struct {
        const char* what;
        int bytes;
        std::chrono::milliseconds took;
        bool unexplainedFailure;
        int readsUntilLost;
    } cases[] = {
        {"nothing, at once", 0, 0ms, false, FruitlessReads::kLimit},
        {"nothing, after 99 ms", 0, 99ms, false, FruitlessReads::kLimit},
        {"a failure no line error explains", 0, 0ms, true, FruitlessReads::kLimit},
        {"a failure after a long wait", 0, 600ms, true, FruitlessReads::kLimit},
        {"nothing after the read time-out: a quiet line", 0, 510ms, false, 0},
        {"a byte at once", 1, 0ms, false, 0},
    };
    for (const auto& [what, bytes, took, unexplained, expected] : cases) {
        EXPECT_EQ(readsUntilLost(bytes, took, unexplained), expected) << what;
    }
}

TEST(Win32FruitlessReads, AByteOrAReadThatWaitedStartsTheCountAgain) {
    for (const int bytes : {1, 0}) {
        SCOPED_TRACE(bytes);
        FruitlessReads reads;
        for (int n = 1; n < FruitlessReads::kLimit; ++n)
            EXPECT_FALSE(reads.lost(0, 1ms, n % 2 == 1));
        EXPECT_FALSE(reads.lost(bytes, bytes > 0 ? 1ms : 510ms));
        for (int n = 1; n < FruitlessReads::kLimit; ++n) EXPECT_FALSE(reads.lost(0, 1ms));
        EXPECT_TRUE(reads.lost(0, 1ms));
        reads.reset();
        EXPECT_FALSE(reads.lost(0, 1ms));
    }
}

TEST(Win32OpenFailure, NamesTheDeviceTheSystemsErrorAndARemedy) {
    const struct {
        DWORD error;
        PortProblem problem;
        const char* ending;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, PortProblem::NotFound, "(ｴﾗｰ 2) (ｹｰﾌﾞﾙと COM 番号を確認して下さい)"},
        {ERROR_PATH_NOT_FOUND, PortProblem::NotFound, "(ｴﾗｰ 3) (ｹｰﾌﾞﾙと COM 番号を確認して下さい)"},
        {ERROR_ACCESS_DENIED, PortProblem::InUse, "(ｴﾗｰ 5) (他のﾌﾟﾛｸﾞﾗﾑが使用中です)"},
        {ERROR_SHARING_VIOLATION, PortProblem::InUse, "(ｴﾗｰ 32) (他のﾌﾟﾛｸﾞﾗﾑが使用中です)"},
        {ERROR_GEN_FAILURE, PortProblem::Other, "(ｴﾗｰ 31)"},
    };
    for (const auto& [error, problem, ending] : cases) {
        EXPECT_EQ(portProblemFor(error), problem) << error;
        const std::string text = openFailureText("COM7", error);
        EXPECT_EQ(text.rfind("COM7: ", 0), 0u) << text;
        EXPECT_TRUE(text.ends_with(ending)) << text;
    }
    EXPECT_EQ(systemErrorText(0xE0001234).find("(ｴﾗｰ 3758101044)"), 0u);
}

}  // namespace
}  // namespace vennick
