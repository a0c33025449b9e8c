#pragma once

#include <termios.h>

#include "RS232CFunc/port/serial_port.h"

namespace vennick {

// The terminal settings for `line`, built on the driver's `current` ones: raw, receiver on,
// modem lines ignored, data bits, parity with input checking, stop bits. The rate is set
// apart (it may need termios2). A pseudo-terminal forces CS8 and no parity whatever it is
// given, so this is where those flags can be seen.
termios lineTermios(termios current, const LineSettings& line);

}  // namespace vennick
