#include <gtest/gtest.h>

#include "RS232CFunc/ui/window_placement.h"

namespace vennick {
namespace {

TEST(WindowPlacement, CentresOnTheWorkAreaSizeAndGoesTopRightWhenMonitoring) {
    const WorkArea screen{0, 0, 1280, 1024};
    EXPECT_EQ(centredPosition(screen, 272, 195), (WindowPosition{504, 415}));
    EXPECT_EQ(topRightPosition(screen, 272, 195), (WindowPosition{1008, 0}));
}

TEST(WindowPlacement, IgnoresTheWorkAreaOffsetWhenCentring) {
    const WorkArea leftTaskBar{60, 0, 1280, 1024};
    EXPECT_EQ(centredPosition(leftTaskBar, 272, 195).left, 474);
    const WorkArea topTaskBar{0, 40, 1280, 1024};
    EXPECT_EQ(topRightPosition(topTaskBar, 272, 195), (WindowPosition{1008, 40}));
}

TEST(WindowPlacement, HalvesRoundTowardZero) {
    EXPECT_EQ(centredPosition({0, 0, 101, 51}, 33, 21), (WindowPosition{50 - 16, 25 - 10}));
    EXPECT_EQ(centredPosition({0, 0, 100, 100}, 301, 301), (WindowPosition{50 - 150, 50 - 150}));
}

}  // namespace
}  // namespace vennick
