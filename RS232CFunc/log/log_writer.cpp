#include "RS232CFunc/log/log_writer.h"

#include <string>
#include <utility>

#include "settings/app_error.h"
#include "settings/cp932.h"
#include "settings/file_system.h"

namespace vennick {

namespace {

// "%02d": a fast stream writes a file many times a second, printf's cost shows there.
void appendTwoDigits(std::string& text, int value) {
    if (value < 0 || value > 99) {
        text += std::to_string(value);
        return;
    }
    text += static_cast<char>('0' + value / 10);
    text += static_cast<char>('0' + value % 10);
}

}  // namespace

std::string logFileName(TimeOfDay time) {
    std::string name;
    name.reserve(12);
    appendTwoDigits(name, time.hour);
    name += '_';
    appendTwoDigits(name, time.minute);
    name += '_';
    appendTwoDigits(name, time.second);
    name += ".TXT";
    return name;
}

LogWriter::LogWriter(std::string executableDir, LocalClock clock)
    : executableDir_(std::move(executableDir)), clock_(std::move(clock)) {}

std::string LogWriter::fallbackDirectory() const {
    return executableDir_ + pathSeparator() + "log";
}

// The configured directory while it exists, else the fallback, made when missing.
std::string LogWriter::usableDirectory(const std::string& logDirectory) const {
    if (directoryExists(logDirectory)) return logDirectory;
    const std::string fallback = fallbackDirectory();
    // Another process may create it between the test and the attempt: that is no failure.
    if (!directoryExists(fallback) && !createDirectory(fallback) && !directoryExists(fallback)) {
        throw AppError("Cannot create " + fallback);
    }
    return fallback;
}

bool appendToFileDurably(const std::string& path, std::string_view bytes,
                         const BeforeWrite& beforeWrite) {
    const AppendOutcome appended = appendToExistingFileDurably(path, bytes, beforeWrite);
    if (appended != AppendOutcome::NoSuchFile) return appended == AppendOutcome::Landed;
    return createFileDurably(path, bytes, beforeWrite);
}

std::optional<std::string> LogWriter::write(const std::string& logDirectory,
                                            std::string_view text) {
    const std::string name = logFileName(clock_());
    const std::string bytes = utf8ToCp932(text);
    std::string path;
    const auto tellGuard = [&](std::int64_t sizeBefore) {
        if (guard_) guard_->beforeAppend(path, sizeBefore, bytes, text.size());
    };
    if (!logDirectory.empty()) {
        path = logDirectory + pathSeparator() + name;
        const AppendOutcome appended = appendToExistingFileDurably(path, bytes, tellGuard);
        if (appended == AppendOutcome::Landed) return path;
        if (appended == AppendOutcome::Failed) return std::nullopt;
    }
    const std::string directory = usableDirectory(logDirectory);
    path = directory + pathSeparator() + name;
    // In the configured directory the file was just found missing: not looked for again.
    const bool landed = directory == logDirectory ? createFileDurably(path, bytes, tellGuard)
                                                  : appendToFileDurably(path, bytes, tellGuard);
    if (!landed) return std::nullopt;
    return path;
}

}  // namespace vennick
