#pragma once

// The parts of the Win32 serial port that decide without a device, for tests.

#include "settings/windows_api.h"

#include <functional>
#include <string>
#include <vector>

#include "RS232CFunc/port/serial_port.h"

namespace vennick {

// What CreateFile is given for `device`: a COM name ("COM10", any case) as "\\.\COM10", the only
// form that reaches COM10 and above; every other name (a [Ports] mapping) as it is.
std::string win32DeviceName(const std::string& device);

// The driver's `current` state with the line fields of `line`: rate, data bits, parity with its
// checking flag, stop bits. Flow control, control characters and thresholds stay as read.
DCB dcbFor(DCB current, const LineSettings& line);

enum class LineField { BitRate, DataBits, Parity, StopBits };

struct LineOutcome {
    DCB applied;                     // what the driver holds now
    std::vector<LineField> refused;  // in field order
};

// Sets `line` on the driver through `setState` (SetCommState). A driver refuses the whole DCB
// for one value it cannot do, so then the fields go one at a time, each kept when accepted:
// rate, parity, data bits, stop bits. Data bits go with one stop bit, which every size takes and
// which still receives frames sent with 1.5 or 2; a refused stop-bit setting leaves it there.
LineOutcome applyLineFields(const DCB& current, const LineSettings& line,
                            const std::function<bool(const DCB&)>& setState);

// For the status line: "COM3: ｽﾄｯﾌﾟﾋﾞｯﾄ 1.5 は使えません"; empty when nothing was refused.
std::string refusedSettingsText(const std::string& device, const LineSettings& line,
                                const std::vector<LineField>& refused);

// The system's text for a Win32 error code, with the code: "<message> (ｴﾗｰ 5)".
std::string systemErrorText(DWORD error);

// For the status line when CreateFile failed: device, the system's text, a remedy when obvious.
std::string openFailureText(const std::string& device, DWORD error);

enum class AfterFailedRead { ReadAgain, PauseThenReadAgain, PortLost };

struct FailedRead {
    DWORD readError = 0;          // GetLastError() after ReadFile
    bool statusAnswered = false;  // ClearCommError succeeded just now
    bool statusWorks = false;     // ClearCommError succeeded when the port was opened
    DWORD commErrors = 0;         // the flags it cleared
    bool deviceListed = true;     // the device name is still known to the system
};

// A failed ReadFile is often no loss: a driver with fAbortOnError aborts reads after a parity,
// framing or break error until ClearCommError clears it. The port counts as lost only when it is
// really gone: the device has left, the read says so, or a status query that worked fails.
AfterFailedRead judgeFailedRead(const FailedRead& failure);

}  // namespace vennick
