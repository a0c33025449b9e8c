#pragma once

#include <cstdint>

namespace vennick {

// Linux's serial ioctls that cannot share a file with <termios.h> (<asm/termbits.h>): termios2,
// for bit rates without a B constant (7200, 14400, 76800, ...), and the driver's error counts.

// Sets input and output rate to `bitRate` and leaves every other flag as it is.
bool setAnyBitRate(int fd, std::int32_t bitRate);

struct BitRates {
    std::int32_t input = -1;
    std::int32_t output = -1;
    friend bool operator==(const BitRates&, const BitRates&) = default;
};

// The rates the driver holds in each direction; -1 when they cannot be read.
BitRates currentBitRates(int fd);

// How often the driver lost received bytes since it started (its buffer or the UART overran);
// -1 where it keeps no count (a pseudo-terminal, a USB adapter without one).
std::int64_t driverOverruns(int fd);

}  // namespace vennick
