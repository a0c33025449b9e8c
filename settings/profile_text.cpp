#include "settings/profile_text.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "settings/utf8.h"

namespace vennick::profile {
namespace {

constexpr std::size_t kValueLimit = 2047;  // the profile reader's 2048-byte buffer
constexpr std::string_view kLineEnd = "\r\n";

// Characters ---------------------------------------------------------------------------------

bool isLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool isTrailByte(unsigned char c) {
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// Bytes of the character at `i`: a second byte of a double-byte character may be "[", "\" or
// "]", so those are only looked for at character starts. (In UTF-8 no byte of a longer
// character is ASCII; its length matters only where a value is cut.)
std::size_t charLength(std::string_view text, std::size_t i, Charset charset) {
    if (charset == Charset::Utf8) {
        return std::max<std::size_t>(1, utf8SequenceLength(text.substr(i)));  // a stray byte: 1
    }
    const bool pair = isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
                      isTrailByte(static_cast<unsigned char>(text[i + 1]));
    return pair ? 2 : 1;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive for ASCII letters; longer characters compare exactly.
bool sameName(std::string_view a, std::string_view b, Charset charset) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size();) {
        const std::size_t length = charLength(a, i, charset);
        if (length > 1) {
            if (a.substr(i, length) != b.substr(i, length)) return false;
        } else if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string_view cutToLimit(std::string_view value, Charset charset) {
    std::size_t end = 0;
    while (end < value.size()) {
        const std::size_t length = charLength(value, end, charset);
        if (end + length > kValueLimit) break;
        end += length;
    }
    return value.substr(0, end);
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
std::optional<std::string_view> sectionName(std::string_view text, Charset charset) {
    if (text.empty() || text.front() != '[') return std::nullopt;
    std::optional<std::size_t> close;
    for (std::size_t i = 1; i < text.size(); i += charLength(text, i, charset)) {
        if (text[i] == ']') close = i;
    }
    if (!close) return std::nullopt;  // no closing bracket: an ordinary line, as Windows takes it
    return trim(text.substr(1, *close - 1));
}

Line parseLine(std::string_view content, Charset charset) {
    Line line;
    if (content.empty()) return line;
    if (const auto section = sectionName(content, charset)) {
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
std::vector<Line> parseLines(std::string_view text, Charset charset) {
    std::vector<Line> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto end = text.find_first_of("\r\n", begin);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(parseLine(trim(text.substr(begin, end - begin)), charset));
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
std::optional<Section> findSection(const std::vector<Line>& lines, std::string_view name,
                                   Charset charset) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind != LineKind::Section || !sameName(lines[i].name, name, charset)) continue;
        std::size_t end = i + 1;
        while (end < lines.size() && lines[end].kind != LineKind::Section) ++end;
        return Section{i, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> findKey(const std::vector<Line>& lines, const Section& section,
                                   std::string_view key, Charset charset) {
    for (std::size_t i = section.header + 1; i < section.end; ++i) {
        const Line& line = lines[i];
        if (line.kind == LineKind::Entry && line.hasValue && sameName(line.name, key, charset)) {
            return i;
        }
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

// The file's text with the key set; the value without leading white space. A new key goes to
// the end of its section (after its comments), a new section to the end of the file.
std::string withKey(const std::vector<Line>& lines, std::string_view section, std::string_view key,
                    std::string_view value, Charset charset) {
    const auto found = findSection(lines, section, charset);
    const auto index = found ? findKey(lines, *found, key, charset) : std::nullopt;
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

}  // namespace

std::optional<std::string> findValue(std::string_view text, std::string_view section,
                                     std::string_view key, Charset charset) {
    const std::vector<Line> lines = parseLines(text, charset);
    const auto found = findSection(lines, section, charset);
    if (!found) return std::nullopt;
    const auto index = findKey(lines, *found, key, charset);
    if (!index) return std::nullopt;
    return std::string(cutToLimit(unquote(lines[*index].value), charset));
}

std::optional<std::string> withValue(std::string_view text, std::string_view section,
                                     std::string_view key, std::string_view value,
                                     Charset charset) {
    const std::vector<Line> lines = parseLines(text, charset);
    const std::string_view stored = withoutLeadingBlanks(value);
    if (const auto found = findSection(lines, section, charset)) {
        const auto index = findKey(lines, *found, key, charset);
        if (index && lines[*index].value == stored) return std::nullopt;
    }
    return withKey(lines, section, key, stored, charset);
}

}  // namespace vennick::profile
