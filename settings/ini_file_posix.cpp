#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/cp932.h"
#include "settings/cp932_posix.h"
#include "settings/ini_file.h"
#include "settings/posix_file.h"

// Reads and writes INI files the way the Windows profile functions do (as Wine implements them),
// on the raw code page 932 bytes. A write that changes a value rewrites the whole file in their
// form: blank lines dropped, white space around names, "=" and values removed, every line ended
// by CR LF; a write that changes nothing leaves the file alone.

namespace vennick {
namespace {

constexpr std::size_t kValueLimit = 2047;  // the profile reader's 2048-byte buffer
constexpr std::string_view kLineEnd = "\r\n";

// Code page 932 ------------------------------------------------------------------------------

bool isLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool isTrailByte(unsigned char c) {
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// Bytes of the character at `i`: a second byte of a double-byte character may be "[", "\" or
// "]", so those are only looked for at character starts.
std::size_t charLength(std::string_view text, std::size_t i) {
    const bool pair = isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
                      isTrailByte(static_cast<unsigned char>(text[i + 1]));
    return pair ? 2 : 1;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive for ASCII letters; double-byte characters compare exactly.
bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size();) {
        const std::size_t length = charLength(a, i);
        if (length == 2) {
            if (a.substr(i, 2) != b.substr(i, 2)) return false;
        } else if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string_view cutToLimit(std::string_view value) {
    std::size_t end = 0;
    while (end < value.size()) {
        const std::size_t length = charLength(value, end);
        if (end + length > kValueLimit) break;
        end += length;
    }
    return value.substr(0, end);
}

// Values -----------------------------------------------------------------------------------

// A path on Linux is bytes, and often UTF-8 that code page 932 cannot hold ("vennick-café").
// Such a value is stored as its own bytes so that it comes back unchanged, and where those bytes
// would also read as code page 932 ("é" is C3 A9, which reads as "ﾃｩ") behind a UTF-8 byte order
// mark, which is never valid code page 932. A value code page 932 holds is stored in it as always.
constexpr std::string_view kOwnBytesMark = "\xEF\xBB\xBF";

std::string storedValue(std::string_view text) {
    if (auto cp932 = utf8ToCp932Exactly(text)) return std::move(*cp932);
    const bool readsAsCp932 = text.starts_with(kOwnBytesMark) || cp932ToUtf8Exactly(text);
    return readsAsCp932 ? std::string(kOwnBytesMark).append(text) : std::string(text);
}

// Bytes that are not code page 932 (a hand-edited file, a Latin-1 path) are kept as they are.
std::string loadedValue(std::string_view bytes) {
    if (bytes.starts_with(kOwnBytesMark)) return std::string(bytes.substr(kOwnBytesMark.size()));
    if (auto utf8 = cp932ToUtf8Exactly(bytes)) return std::move(*utf8);
    return std::string(bytes);
}

// Lines ------------------------------------------------------------------------------------

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view unquote(std::string_view value) {
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return quoted ? value.substr(1, value.size() - 2) : value;
}

enum class LineKind { Blank, Comment, Section, Entry };

struct Line {
    LineKind kind = LineKind::Blank;
    std::string_view name;  // section or key name, trimmed; a comment's text before any "="
    std::string_view value;
    bool hasValue = false;  // an entry (or comment) with "="
};

// Up to the last "]", as the profile functions take it; text after it is dropped.
std::optional<std::string_view> sectionName(std::string_view text) {
    if (text.empty() || text.front() != '[') return std::nullopt;
    std::optional<std::size_t> close;
    for (std::size_t i = 1; i < text.size(); i += charLength(text, i)) {
        if (text[i] == ']') close = i;
    }
    if (!close) return std::nullopt;  // no closing bracket: an ordinary line, as Windows takes it
    return trim(text.substr(1, *close - 1));
}

Line parseLine(std::string_view content) {
    Line line;
    if (content.empty()) return line;
    if (const auto section = sectionName(content)) {
        line.kind = LineKind::Section;
        line.name = *section;
        return line;
    }
    line.kind = content.front() == ';' ? LineKind::Comment : LineKind::Entry;
    const auto equals = content.find('=');  // never the second byte of a character
    line.name = trim(content.substr(0, equals));
    if (equals != std::string_view::npos) {
        line.hasValue = true;
        line.value = trim(content.substr(equals + 1));
    }
    return line;
}

// CR, LF and any run of them end a line.
std::vector<Line> parseLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto end = text.find_first_of("\r\n", begin);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(parseLine(trim(text.substr(begin, end - begin))));
        begin = text.find_first_not_of("\r\n", end);
        if (begin == std::string_view::npos) break;
    }
    return lines;
}

struct Section {
    std::size_t header;  // line index
    std::size_t end;     // index of the next section's header, or the line count
};

// The first section of that name: a second one of the same name is never looked at.
std::optional<Section> findSection(const std::vector<Line>& lines, std::string_view name) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind != LineKind::Section || !sameName(lines[i].name, name)) continue;
        std::size_t end = i + 1;
        while (end < lines.size() && lines[end].kind != LineKind::Section) ++end;
        return Section{i, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> findKey(const std::vector<Line>& lines, const Section& section,
                                   std::string_view key) {
    for (std::size_t i = section.header + 1; i < section.end; ++i) {
        const Line& line = lines[i];
        if (line.kind == LineKind::Entry && line.hasValue && sameName(line.name, key)) return i;
    }
    return std::nullopt;
}

std::string entryLine(std::string_view name, std::string_view value) {
    return std::string(name).append("=").append(value).append(kLineEnd);
}

std::string sectionLine(std::string_view name) {
    return std::string("[").append(name).append("]").append(kLineEnd);
}

// A line as the profile functions write it back.
std::string normalized(const Line& line) {
    if (line.kind == LineKind::Section) return sectionLine(line.name);
    if (line.hasValue) return entryLine(line.name, line.value);
    return std::string(line.name).append(kLineEnd);
}

// The file's text with the key set; names and value are code page 932, the value without
// leading white space. A new key goes to the end of its section (after its comments), a new
// section to the end of the file.
std::string withKey(const std::vector<Line>& lines, std::string_view section, std::string_view key,
                    std::string_view value) {
    const auto found = findSection(lines, section);
    const auto index = found ? findKey(lines, *found, key) : std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (found && !index && i == found->end) out += entryLine(key, value);
        if (lines[i].kind == LineKind::Blank) continue;
        out += index && i == *index ? entryLine(lines[i].name, value) : normalized(lines[i]);
    }
    if (found && !index && found->end == lines.size()) out += entryLine(key, value);
    if (!found) out += sectionLine(section) + entryLine(key, value);
    return out;
}

std::string_view withoutLeadingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

// Files ------------------------------------------------------------------------------------

// Only regular files count: a directory or a device at the path reads as a missing file.
std::optional<std::string> readFile(const std::string& path) {
    // O_NONBLOCK: a FIFO at the path must not hang the program.
    posix::UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count == 0) return text;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

// A link to the INI is followed, so that the link stays a link.
std::string resolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// Root may write any file, so access() alone would never refuse it: a file without any write
// bit is taken as read-only, like a file with the Windows read-only attribute.
bool isWritable(const std::string& path, const struct stat& status) {
    const bool anyWriteBit = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return S_ISREG(status.st_mode) && anyWriteBit && access(path.c_str(), W_OK) == 0;
}

int createTemporary(const std::string& path, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory + "." + name + "." + std::to_string(getpid()) + "." +
                    std::to_string(counter++) + ".tmp";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// For an INI that may be written but whose directory may not: the old content is overwritten.
bool rewriteInPlace(const std::string& path, std::string_view bytes) {
    posix::UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    const bool ok = file.get() >= 0 && posix::writeAllAt(file.get(), bytes, 0) &&
                    ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0 &&
                    posix::syncFile(file.get());
    return file.get() >= 0 && file.close() && ok;
}

// Writes beside the file and renames over it, so a failed write leaves the old INI whole.
bool replaceFile(const std::string& path, std::string_view bytes, const struct stat* old) {
    std::string temporary;
    posix::UniqueFd file(createTemporary(path, temporary));
    if (file.get() < 0) {
        const bool dirLocked = errno == EACCES || errno == EPERM;
        return old != nullptr && dirLocked && rewriteInPlace(path, bytes);
    }
    bool ok = posix::writeAllAt(file.get(), bytes, 0);
    if (old != nullptr) {
        ok = ok && fchmod(file.get(), old->st_mode & 07777) == 0;
        if (fchown(file.get(), old->st_uid, old->st_gid) != 0) {
            // Only root may hand the file back to its owner; the content matters more.
        }
    }
    ok = posix::syncFile(file.get()) && ok;
    ok = file.close() && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

}  // namespace

std::string IniFile::read(std::string_view section, std::string_view key,
                          std::string_view fallback) const {
    const auto text = readFile(path_);
    if (!text) return std::string(fallback);
    const std::vector<Line> lines = parseLines(*text);
    const auto found = findSection(lines, utf8ToCp932(section));
    if (!found) return std::string(fallback);
    const auto index = findKey(lines, *found, utf8ToCp932(key));
    if (!index) return std::string(fallback);
    return loadedValue(cutToLimit(unquote(lines[*index].value)));
}

bool IniFile::write(std::string_view section, std::string_view key, std::string_view value) {
    const std::string path = resolvedPath(path_);
    struct stat status {};
    const bool exists = stat(path.c_str(), &status) == 0;
    if (exists && !isWritable(path, status)) return false;
    std::string text;
    if (exists) {
        auto old = readFile(path);
        if (!old) return false;
        text = std::move(*old);
    }
    const std::vector<Line> lines = parseLines(text);
    const std::string sectionBytes = utf8ToCp932(section);
    const std::string keyBytes = utf8ToCp932(key);
    const std::string valueBytes = storedValue(value);
    const std::string_view stored = withoutLeadingBlanks(valueBytes);
    if (const auto found = findSection(lines, sectionBytes)) {
        const auto index = findKey(lines, *found, keyBytes);
        if (index && lines[*index].value == stored) return true;  // nothing to change
    }
    return replaceFile(path, withKey(lines, sectionBytes, keyBytes, stored),
                       exists ? &status : nullptr);
}

}  // namespace vennick
