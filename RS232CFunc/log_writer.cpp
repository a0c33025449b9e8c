#include "RS232CFunc/log_writer.h"

#include <cstdio>
#include <utility>

#include "settings/app_error.h"
#include "settings/cp932.h"
#include "settings/file_system.h"

namespace vennick {

std::string logFileName(TimeOfDay time) {
    char name[32];
    std::snprintf(name, sizeof name, "%02d_%02d_%02d.TXT", time.hour, time.minute, time.second);
    return name;
}

LogWriter::LogWriter(std::string executableDir, LocalClock clock)
    : executableDir_(std::move(executableDir)), clock_(std::move(clock)) {}

std::string LogWriter::fallbackDirectory() const {
    return executableDir_ + pathSeparator() + "log";
}

std::optional<std::string> LogWriter::write(const std::string& logDirectory,
                                            std::string_view text) {
    const bool configuredExists = directoryExists(logDirectory);
    const std::string directory = configuredExists ? logDirectory : fallbackDirectory();
    // Another process may create it between the test and the attempt: that is no failure.
    if (!configuredExists && !directoryExists(directory) && !createDirectory(directory) &&
        !directoryExists(directory)) {
        throw AppError("Cannot create " + directory);
    }
    const std::string path = directory + pathSeparator() + logFileName(clock_());
    const std::string bytes = utf8ToCp932(text);
    if (guard_) guard_->beforeAppend(path, bytes);
    const bool landed = appendToFileDurably(path, bytes);
    if (guard_) guard_->afterAppend(landed);
    if (!landed) return std::nullopt;
    return path;
}

}  // namespace vennick
