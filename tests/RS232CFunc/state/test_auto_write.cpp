#include <gtest/gtest.h>

#include <cstdint>

#include "RS232CFunc/state/auto_write.h"

namespace vennick {
namespace {

using Decision = AutoWriteTicker::Decision;

TEST(AutoWriteSetting, OnlyIndexZeroStopsTheTimerAndMakesTheViewEditable) {
    EXPECT_EQ(autoWriteSettingFor(0), (AutoWriteSetting{false, 0, false}));
    for (const std::int32_t index : {-2, -1, 1, 2, 3, 4, 5, 9}) {
        EXPECT_EQ(autoWriteSettingFor(index), (AutoWriteSetting{true, 1000, true})) << index;
    }
    // An EOT requests a write only for the positive indices, not for hand-edited negatives.
    EXPECT_FALSE(autoWriteOn(-1));
    EXPECT_FALSE(autoWriteOn(0));
    EXPECT_TRUE(autoWriteOn(1));
}

// Ticks with lines in the buffer until the ticker says Write; the number of ticks it took.
int ticksUntilWrite(AutoWriteTicker& ticker, std::int32_t waitIndex) {
    for (int ticks = 1; ticks <= 100; ++ticks) {
        if (ticker.tick(true, waitIndex) == Decision::Write) return ticks;
    }
    return -1;
}

TEST(AutoWriteTicker, WritesOnTheWaitIndexthTickThatFindsLines) {
    // Index 4 is "5秒" and writes on the fourth tick; a negative index on every tick.
    const struct {
        std::int32_t waitIndex;
        int ticks;
    } cases[] = {{-2, 1}, {-1, 1}, {0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {9, 9}};
    for (const auto& c : cases) {
        AutoWriteTicker ticker;
        EXPECT_EQ(ticksUntilWrite(ticker, c.waitIndex), c.ticks) << "index " << c.waitIndex;
        ticker.restart();  // the write went through
        EXPECT_EQ(ticksUntilWrite(ticker, c.waitIndex), c.ticks) << "again, index " << c.waitIndex;
    }
}

TEST(AutoWriteTicker, TickWithAnEmptyBufferStartsTheCountAfresh) {
    AutoWriteTicker ticker;
    EXPECT_EQ(ticker.tick(true, 3), Decision::Wait);
    EXPECT_EQ(ticker.tick(true, 3), Decision::Wait);
    EXPECT_EQ(ticker.tick(false, 3), Decision::Idle);
    EXPECT_EQ(ticker.count(), 0);
    EXPECT_EQ(ticksUntilWrite(ticker, 3), 3);
}

TEST(AutoWriteTicker, DirectoryErrorKeepsTheCountSoEveryNextTickRetries) {
    AutoWriteTicker ticker;
    ASSERT_EQ(ticksUntilWrite(ticker, 2), 2);
    // The write raised its error: no restart.
    EXPECT_EQ(ticker.tick(true, 2), Decision::Write);
    EXPECT_EQ(ticker.tick(true, 2), Decision::Write);
    EXPECT_EQ(ticker.count(), 4);
}

TEST(AutoWriteTicker, WriteFromAnotherSourceRestartsTheCount) {
    AutoWriteTicker ticker;
    EXPECT_EQ(ticker.tick(true, 3), Decision::Wait);
    EXPECT_EQ(ticker.tick(true, 3), Decision::Wait);
    ticker.restart();  // "書込" or an EOT wrote the buffer in between
    EXPECT_EQ(ticksUntilWrite(ticker, 3), 3);
}

TEST(AutoWriteTicker, ChangingTheWaitTimeKeepsTheCount) {
    AutoWriteTicker ticker;
    EXPECT_EQ(ticker.tick(true, 4), Decision::Wait);
    EXPECT_EQ(ticker.tick(true, 4), Decision::Wait);
    EXPECT_EQ(ticker.tick(true, 2), Decision::Write);  // third tick, already past 2
}

}  // namespace
}  // namespace vennick
