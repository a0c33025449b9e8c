#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "RS232CFunc/port/port_tables.h"

namespace vennick {
namespace {

TEST(PortTables, IndicesInsideTheTables) {
    EXPECT_EQ(comPortName(0), "COM1");
    EXPECT_EQ(comPortName(4), "COM5");
    EXPECT_EQ(bitRateFor(0), 110);
    EXPECT_EQ(bitRateFor(8), 9600);
    EXPECT_EQ(bitRateFor(22), 2000000);
    EXPECT_EQ(dataBitsFor(0), 5);
    EXPECT_EQ(dataBitsFor(3), 8);
    // The table order and the platform's numbering of parity differ: 1 is even, 2 is odd.
    EXPECT_EQ(parityFor(0), Parity::None);
    EXPECT_EQ(parityFor(1), Parity::Even);
    EXPECT_EQ(parityFor(2), Parity::Odd);
    EXPECT_EQ(stopBitsFor(0), StopBits::One);
    EXPECT_EQ(stopBitsFor(1), StopBits::OneAndHalf);
    EXPECT_EQ(stopBitsFor(2), StopBits::Two);
}

TEST(PortTables, OutOfRangeIndicesGiveSafeValues) {
    for (const std::int32_t index : {-1, 23, 99, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(bitRateFor(index), 9600) << index;
    }
    for (const std::int32_t index : {-1, 4, 99, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(dataBitsFor(index), 8) << index;
    }
    for (const std::int32_t index : {-1, 3, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(parityFor(index), Parity::AsRead) << index;
        EXPECT_EQ(stopBitsFor(index), StopBits::AsRead) << index;
    }
}

TEST(PortTables, ComPortNameCountsOnPastTheDialogsChoices) {
    EXPECT_EQ(comPortName(11), "COM12");
    EXPECT_EQ(comPortName(-1), "COM1");
    EXPECT_EQ(comPortName(INT32_MIN), "COM1");
    EXPECT_EQ(comPortName(INT32_MAX), "COM2147483648");
}

TEST(PortTables, DialogEntries) {
    EXPECT_EQ(comPortEntries(),
              (std::array<std::string, 5>{"COM1", "COM2", "COM3", "COM4", "COM5"}));
    const auto rates = bitRateEntries();
    EXPECT_EQ(rates.front(), "110");
    EXPECT_EQ(rates[8], "9600");
    EXPECT_EQ(rates[21], "1000000");
    EXPECT_EQ(rates.back(), "2000000");
    EXPECT_EQ(dataBitsEntries(), (std::array<std::string, 4>{"5", "6", "7", "8"}));
    EXPECT_EQ(parityEntries(), (std::array<std::string, 3>{"No", "Even", "Odd"}));
    EXPECT_EQ(stopBitsEntries(), (std::array<std::string, 3>{"1", "1.5", "2"}));
}

}  // namespace
}  // namespace vennick
