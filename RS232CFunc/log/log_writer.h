#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vennick {

struct TimeOfDay {
    int hour = 0;  // 0-23
    int minute = 0;
    int second = 0;
};

using LocalClock = std::function<TimeOfDay()>;

// The local time of day from the system clock.
TimeOfDay systemLocalTime();

// "%02d_%02d_%02d.TXT": what the programs that collect the files look for.
std::string logFileName(TimeOfDay time);

// Told the file's size before the batch (-1: a new file) right before its bytes go out.
using BeforeWrite = std::function<void(std::int64_t sizeBefore)>;

enum class AppendOutcome { Landed, Failed, NoSuchFile };

// Appends `bytes` to `path` only when the file is there, as appendToFileDurably() does;
// NoSuchFile (nothing touched) when the file or its directory is missing. A stream appends to
// the same second's file many times: this spares those appends every look at the directory.
AppendOutcome appendToExistingFileDurably(const std::string& path, std::string_view bytes,
                                          const BeforeWrite& beforeWrite = {});

// Appends `bytes` to `path` (creating it when missing) with exclusive access and flushes them to
// the disk. Either all bytes land durably and true comes back, or the file is left exactly as it
// was (a new file removed, an appended tail cut back) and false comes back. The file is let go
// at once: collecting programs may open it right after.
bool appendToFileDurably(const std::string& path, std::string_view bytes,
                         const BeforeWrite& beforeWrite = {});

// Makes `path` with `bytes` as appendToFileDurably() does when the file is not there (it may
// have appeared meanwhile: then the bytes are appended). One per OS.
bool createFileDurably(const std::string& path, std::string_view bytes,
                       const BeforeWrite& beforeWrite = {});

// Told before every append of a batch to a log file, so that a crash after it can be settled.
// The outcome is told by whoever asked for the write, once it has acted on it.
class LogWriteGuard {
public:
    virtual ~LogWriteGuard() = default;
    // The file, its size before the batch (-1: new), the exact bytes it is about to get, and the
    // length of the text they came from.
    virtual void beforeAppend(const std::string& path, std::int64_t sizeBefore,
                              std::string_view bytes, std::size_t textBytes) = 0;
};

// Moves a batch of lines into the time-named file of the log directory.
class LogWriter {
public:
    // `executableDir` ends with its separator; the fallback directory is made from it.
    LogWriter(std::string executableDir, LocalClock clock);

    // The executable's directory followed directly by separator + "log" (two separators at the
    // join, as the settings file has always held it).
    std::string fallbackDirectory() const;

    // Writes `text` (UTF-8, stored as code page 932) into the configured directory, or into the
    // fallback while the configured one does not exist; creates the chosen directory (one level)
    // when missing and throws AppError("Cannot create " + directory) when that fails. Returns the
    // file written, or nothing when the save failed (the caller keeps its lines).
    std::optional<std::string> write(const std::string& logDirectory, std::string_view text);

    // At most one guard; nullptr detaches it.
    void setGuard(LogWriteGuard* guard) { guard_ = guard; }

private:
    std::string usableDirectory(const std::string& logDirectory) const;

    std::string executableDir_;
    LocalClock clock_;
    LogWriteGuard* guard_ = nullptr;
};

}  // namespace vennick
