#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vennick {

struct LineSettings;

// What the status line says about a port, worded once for every OS: each OS maps its own error
// codes to a PortProblem, and one table holds the remedies.

// Why a port did not open.
enum class PortProblem { NotFound, InUse, NoPermission, Other };

// A line setting the driver did not take, in the order the status line names them.
enum class LineField { BitRate, DataBits, Parity, StopBits };

// An error as the system reports it: GetLastError() on Windows, errno elsewhere.
using SystemError = std::uint32_t;

enum class PortSystem { Windows, Posix };

// One definition per OS ---------------------------------------------------------------------

extern const PortSystem kThisPortSystem;
PortProblem portProblemFor(SystemError error);
// The system's own words for the error (on Windows with its code: "... (ｴﾗｰ 5)").
std::string systemErrorText(SystemError error);

// Shared ------------------------------------------------------------------------------------

// What the operator can do about it, without parentheses; empty when nothing obvious.
std::string remedyFor(PortProblem problem, PortSystem system = kThisPortSystem);

// "<device>: <system's words> (<remedy>)", for a port that did not open.
std::string openFailureText(const std::string& device, SystemError error);
std::string openFailureText(const std::string& device, PortProblem problem,
                            const std::string& systemText, PortSystem system = kThisPortSystem);

// "<device>: ﾎﾟｰﾄ設定を読めません <system's words>", for an open port whose line settings
// cannot be read (nothing is then configured).
std::string settingsUnreadableText(const std::string& device, SystemError error);

// "COM3: ｽﾄｯﾌﾟﾋﾞｯﾄ 1.5 は使えません": each refused setting with the value asked for, joined
// with "、" in field order; empty when nothing was refused.
std::string refusedSettingsText(const std::string& device, const LineSettings& line,
                                std::vector<LineField> refused);

}  // namespace vennick
