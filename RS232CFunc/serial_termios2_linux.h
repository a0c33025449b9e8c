#pragma once

#include <cstdint>

namespace vennick {

// Linux's termios2 interface, for bit rates without a B constant (7200, 14400, 76800, ...).
// Kept apart because <asm/termbits.h> cannot share a file with <termios.h>.

// Sets input and output rate to `bitRate` and leaves every other flag as it is.
bool setAnyBitRate(int fd, std::int32_t bitRate);

// The output rate the driver holds, or -1 when it cannot be read.
std::int32_t currentBitRate(int fd);

}  // namespace vennick
