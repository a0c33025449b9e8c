#pragma once

#include <cstdint>

namespace vennick {

// Linux's termios2 interface, for bit rates without a B constant (7200, 14400, 76800, ...).
// Kept apart because <asm/termbits.h> cannot share a file with <termios.h>.

// Sets input and output rate to `bitRate` and leaves every other flag as it is.
bool setAnyBitRate(int fd, std::int32_t bitRate);

struct BitRates {
    std::int32_t input = -1;
    std::int32_t output = -1;
    friend bool operator==(const BitRates&, const BitRates&) = default;
};

// The rates the driver holds in each direction; -1 when they cannot be read.
BitRates currentBitRates(int fd);

}  // namespace vennick
