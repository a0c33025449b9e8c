#include "RS232CFunc/port/port_tables.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vennick {
namespace {

constexpr std::int32_t kDataBitChoices = 4;  // 5 to 8
constexpr int kDefaultDataBits = 8;

bool inTable(std::int32_t index, std::size_t size) {
    return index >= 0 && static_cast<std::size_t>(index) < size;
}

std::string formatted(const char* format, auto value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

// A negative index (a typed combo text) opens the first port; a large one names the port it
// counts to, which simply fails to open when missing.
std::string comPortName(std::int32_t comIndex) {
    const std::int64_t number = comIndex < 0 ? 1 : std::int64_t{comIndex} + 1;
    return formatted("COM%lld", static_cast<long long>(number));
}

std::int32_t bitRateFor(std::int32_t bitRateIndex) {
    const std::int32_t index =
        inTable(bitRateIndex, kBitRates.size()) ? bitRateIndex : kDefaultBitRateIndex;
    return kBitRates[static_cast<std::size_t>(index)];
}

int dataBitsFor(std::int32_t dataBitsIndex) {
    return inTable(dataBitsIndex, kDataBitChoices) ? dataBitsIndex + 5 : kDefaultDataBits;
}

Parity parityFor(std::int32_t parityIndex) {
    switch (parityIndex) {
        case 0:
            return Parity::None;
        case 1:
            return Parity::Even;
        case 2:
            return Parity::Odd;
        default:
            return Parity::AsRead;
    }
}

StopBits stopBitsFor(std::int32_t stopBitsIndex) {
    switch (stopBitsIndex) {
        case 0:
            return StopBits::One;
        case 1:
            return StopBits::OneAndHalf;
        case 2:
            return StopBits::Two;
        default:
            return StopBits::AsRead;
    }
}

std::array<std::string, kComPortChoices> comPortEntries() {
    std::array<std::string, kComPortChoices> entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i] = comPortName(static_cast<std::int32_t>(i));
    }
    return entries;
}

std::array<std::string, kBitRates.size()> bitRateEntries() {
    std::array<std::string, kBitRates.size()> entries;
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = formatted("%d", kBitRates[i]);
    return entries;
}

std::array<std::string, 4> dataBitsEntries() {
    std::array<std::string, 4> entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i] = formatted("%d", dataBitsFor(static_cast<std::int32_t>(i)));
    }
    return entries;
}

std::array<std::string, 3> parityEntries() {
    return {"No", "Even", "Odd"};
}

// 1.5 shows with one decimal ("%2.1f"), the whole numbers without.
std::array<std::string, kStopBitChoices.size()> stopBitsEntries() {
    std::array<std::string, kStopBitChoices.size()> entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const double bits = kStopBitChoices[i];
        entries[i] = i == 1 ? formatted("%2.1f", bits) : formatted("%d", static_cast<int>(bits));
    }
    return entries;
}

}  // namespace vennick
