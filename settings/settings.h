#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vennick {

class IniFile;
class Notifier;

// The settings record: what the INI file holds. Indices are taken as stored, without range
// checks; the port tables and the window decide what an out-of-range index means.
struct Settings {
    std::string workFilePath;  // stored and restored only
    std::string logDirectory;
    std::int32_t comIndex = 0;       // COM1
    std::int32_t bitRateIndex = 8;   // 9600
    std::int32_t dataBitsIndex = 3;  // 8 data bits
    std::int32_t parityIndex = 0;    // none
    std::int32_t stopBitsIndex = 0;  // one
    std::int32_t waitIndex = 1;      // "1秒"
};

// An integer as the profile holds it: "0x"/"0X" hex when longer than two characters, "$" hex,
// decimal, signed 32-bit; anything else gives `fallback`.
std::int32_t parseProfileInt(std::string_view text, std::int32_t fallback);

// Reads every key, then tests (and when unset, creates and announces) the log directory.
// `executableDir` ends with its separator.
Settings loadSettings(const IniFile& ini, const std::string& executableDir, Notifier& notifier);

// Writes all eight keys in order; throws AppError("<ini path> に書き込めません") on the first
// key the platform refuses (the keys after it are not written).
void saveSettings(IniFile& ini, const Settings& settings);

}  // namespace vennick
