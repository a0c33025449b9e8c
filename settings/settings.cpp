#include "settings/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/app_error.h"
#include "settings/file_system.h"
#include "settings/ini_file.h"
#include "settings/notifier.h"

namespace vennick {
namespace {

constexpr std::string_view kWorkFiles = "WorkFiles";
constexpr std::string_view kParams = "Params";

std::optional<int> digitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    if (value < 0 || value >= base) return std::nullopt;
    return value;
}

// Digits only, at least one; the magnitude is kept while it can still fit a signed 32-bit value.
std::optional<std::int64_t> parseMagnitude(std::string_view digits, int base) {
    constexpr std::int64_t kLimit = std::int64_t{INT32_MAX} + 1;
    if (digits.empty()) return std::nullopt;
    std::int64_t magnitude = 0;
    for (const char c : digits) {
        const auto digit = digitValue(c, base);
        if (!digit) return std::nullopt;
        magnitude = magnitude * base + *digit;
        if (magnitude > kLimit) return std::nullopt;
    }
    return magnitude;
}

std::int32_t readInt(const IniFile& ini, std::string_view key, std::int32_t fallback) {
    return parseProfileInt(ini.read(kParams, key, ""), fallback);
}

void resolveLogDirectory(Settings& settings, const std::string& executableDir, Notifier& notifier) {
    if (directoryExists(settings.logDirectory)) return;
    if (!settings.logDirectory.empty()) {
        notifier.inform("ログファイルの出力先\n" + settings.logDirectory +
                        " に接続できませんでした。\nネットワークが切れてないか確認して下さい。");
        return;
    }
    // The directory text already ends with a separator: the doubled one is kept as it is.
    const std::string directory = executableDir + pathSeparator() + "log";
    settings.logDirectory = directory;
    if (!directoryExists(directory)) {
        notifier.inform((createDirectory(directory) ? "Created " : "Cannot create ") + directory);
    }
    notifier.inform("ログファイルの出力先を\n" + directory + "\nに設定しました。");
}

void writeKey(IniFile& ini, std::string_view section, std::string_view key,
              std::string_view value) {
    if (!ini.write(section, key, value)) throw AppError(ini.path() + " に書き込めません");
}

void writeInt(IniFile& ini, std::string_view key, std::int32_t value) {
    writeKey(ini, kParams, key, std::to_string(value));
}

}  // namespace

std::int32_t parseProfileInt(std::string_view text, std::int32_t fallback) {
    if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
        const auto magnitude = parseMagnitude(text.substr(2), 16);
        return magnitude && *magnitude <= INT32_MAX ? static_cast<std::int32_t>(*magnitude)
                                                    : fallback;
    }
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    int base = 10;
    if (text.starts_with('$')) {
        base = 16;
        text.remove_prefix(1);
    }
    const auto magnitude = parseMagnitude(text, base);
    if (!magnitude) return fallback;
    const std::int64_t value = negative ? -*magnitude : *magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return fallback;
    return static_cast<std::int32_t>(value);
}

Settings loadSettings(const IniFile& ini, const std::string& executableDir, Notifier& notifier) {
    Settings settings;
    settings.workFilePath = ini.read(kWorkFiles, "exFilePath", executableDir);
    settings.logDirectory = ini.read(kWorkFiles, "exLogFilePath", "");
    resolveLogDirectory(settings, executableDir, notifier);
    settings.comIndex = readInt(ini, "cComName", settings.comIndex);
    settings.bitRateIndex = readInt(ini, "cBauRate", settings.bitRateIndex);
    settings.dataBitsIndex = readInt(ini, "cBitSize", settings.dataBitsIndex);
    settings.parityIndex = readInt(ini, "cParity", settings.parityIndex);
    settings.stopBitsIndex = readInt(ini, "cStopBits", settings.stopBitsIndex);
    settings.waitIndex = readInt(ini, "RadioWaitTimeIndex", settings.waitIndex);
    return settings;
}

void saveSettings(IniFile& ini, const Settings& settings) {
    writeKey(ini, kWorkFiles, "exFilePath", settings.workFilePath);
    writeKey(ini, kWorkFiles, "exLogFilePath", settings.logDirectory);
    writeInt(ini, "cComName", settings.comIndex);
    writeInt(ini, "cBauRate", settings.bitRateIndex);
    writeInt(ini, "cBitSize", settings.dataBitsIndex);
    writeInt(ini, "cParity", settings.parityIndex);
    writeInt(ini, "cStopBits", settings.stopBitsIndex);
    writeInt(ini, "RadioWaitTimeIndex", settings.waitIndex);
}

}  // namespace vennick
