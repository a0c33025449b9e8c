#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vennick {

// Turns the five stored port indices into line parameters. The same tables fill the settings
// dialog, so an index means the same everywhere. Every lookup stays inside its table for any
// stored index (-1 from a typed combo text, 99 from a hand-edited file).

inline constexpr int kComPortChoices = 5;  // the dialog offers COM1 to COM5
inline constexpr std::array<std::int32_t, 23> kBitRates = {
    110,   300,   600,    1200,   1800,   2400,   4800,   7200,    9600,    14400,  19200, 38400,
    57600, 76800, 115200, 128000, 153600, 230400, 307200, 460800, 921600, 1000000, 2000000};
inline constexpr std::int32_t kDefaultBitRateIndex = 8;  // 9600
inline constexpr std::array<double, 3> kStopBitChoices = {1.0, 1.5, 2.0};

enum class Parity { None, Even, Odd, AsRead };         // AsRead: leave the driver's setting
enum class StopBits { One, OneAndHalf, Two, AsRead };  // AsRead: leave the driver's setting

// "COM%d" with index + 1.
std::string comPortName(std::int32_t comIndex);

std::int32_t bitRateFor(std::int32_t bitRateIndex);
int dataBitsFor(std::int32_t dataBitsIndex);
Parity parityFor(std::int32_t parityIndex);
StopBits stopBitsFor(std::int32_t stopBitsIndex);

// The texts the settings dialog lists, in table order.
std::array<std::string, kComPortChoices> comPortEntries();          // "COM1" .. "COM5"
std::array<std::string, kBitRates.size()> bitRateEntries();          // "%d"
std::array<std::string, 4> dataBitsEntries();                       // "5" .. "8"
std::array<std::string, 3> parityEntries();                         // "No", "Even", "Odd"
std::array<std::string, kStopBitChoices.size()> stopBitsEntries();  // "1", "1.5", "2"

}  // namespace vennick
