#include "RS232CFunc/port/serial_termios2_linux.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace vennick {

bool setAnyBitRate(int fd, std::int32_t bitRate) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = static_cast<speed_t>(bitRate);
    settings.c_ospeed = static_cast<speed_t>(bitRate);
    return ::ioctl(fd, TCSETS2, &settings) == 0;
}

BitRates currentBitRates(int fd) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return {};
    return {static_cast<std::int32_t>(settings.c_ispeed),
            static_cast<std::int32_t>(settings.c_ospeed)};
}

std::int64_t driverOverruns(int fd) {
    struct serial_icounter_struct counts {};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) return -1;
    return static_cast<std::int64_t>(counts.overrun) + counts.buf_overrun;
}

}  // namespace vennick
