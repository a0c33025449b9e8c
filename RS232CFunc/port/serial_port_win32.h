#pragma once

// The parts of the Win32 serial port that decide without a device, for tests.

#include "settings/windows_api.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "RS232CFunc/port/port_problem.h"
#include "RS232CFunc/port/serial_port.h"

namespace vennick {

// What CreateFile is given for `device`: a COM name ("COM10", any case) as "\\.\COM10", the only
// form that reaches COM10 and above; every other name (a [Ports] mapping) as it is.
std::string win32DeviceName(const std::string& device);

// The driver's `current` state with the line fields of `line`: rate, data bits, parity with its
// checking flag, stop bits. Flow control, control characters and thresholds stay as read.
DCB dcbFor(DCB current, const LineSettings& line);

struct LineOutcome {
    DCB applied;                     // what the driver holds now
    std::vector<LineField> refused;  // in the order they were tried
};

// Sets `line` on the driver through `setState` (SetCommState). A driver refuses the whole DCB
// for one value it cannot do, so then the fields go one at a time, each kept when accepted:
// rate, parity, data bits, stop bits. Data bits go with one stop bit, which every size takes and
// which still receives frames sent with 1.5 or 2; a refused stop-bit setting leaves it there.
LineOutcome applyLineFields(const DCB& current, const LineSettings& line,
                            const std::function<bool(const DCB&)>& setState);

enum class AfterFailedRead { ReadAgain, PauseThenReadAgain, PortLost };

struct FailedRead {
    DWORD readError = 0;          // GetLastError() after ReadFile
    bool statusAnswered = false;  // ClearCommError succeeded just now
    bool statusWorks = false;     // ClearCommError succeeded when the port was opened
    DWORD commErrors = 0;         // the flags it cleared
    bool deviceListed = true;     // the device name is still known to the system
};

// A failed ReadFile is often no loss: a driver with fAbortOnError aborts reads after a parity,
// framing or break error until ClearCommError clears it. The port counts as lost at once when it
// is really gone: the device has left, the read says so (a removed USB adapter answers
// ERROR_BAD_COMMAND or ERROR_ACCESS_DENIED), or a status query that worked fails. Any other
// failure may pass, and is left to FruitlessReads.
AfterFailedRead judgeFailedRead(const FailedRead& failure);

// Reads that bring nothing long before the read time-out could have run out: failures no line
// error explains, and reads that return no byte at once. A port that does only that has gone,
// whatever its status query says (a removed adapter whose driver keeps the handle): after
// kLimit of them in a row it counts as lost. A byte, or a read that waited for its time-out,
// starts the count again.
class FruitlessReads {
public:
    static constexpr int kLimit = 10;
    // The read time-outs let a read that finds nothing wait 510 ms.
    static constexpr std::chrono::milliseconds kAtOnce{100};

    // One ReadFile: bytes read (0 also for a failure), how long it took, and whether it failed
    // without a line error to explain it. True when the port counts as lost.
    bool lost(int bytes, std::chrono::milliseconds took, bool unexplainedFailure = false);
    void reset() { count_ = 0; }

private:
    int count_ = 0;
};

}  // namespace vennick
