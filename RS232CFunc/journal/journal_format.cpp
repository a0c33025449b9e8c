#include "RS232CFunc/journal/journal_format.h"

#include <algorithm>
#include <array>

namespace vennick::journal {
namespace {

constexpr std::size_t kHeaderBytes = 1 + 4;
constexpr std::size_t kCrcBytes = 4;
constexpr std::size_t kChangeFixedBytes = 8 + 8;
constexpr std::size_t kIntentFixedBytes = 1 + 8 + 8 + 4;

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

template <typename Unsigned>
void put(std::string& out, Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        out += static_cast<char>(static_cast<unsigned char>(value >> (8 * i)));
    }
}

template <typename Unsigned>
Unsigned get(std::string_view bytes, std::size_t at) {
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        value = static_cast<Unsigned>(
            value | static_cast<Unsigned>(static_cast<unsigned char>(bytes[at + i])) << (8 * i));
    }
    return value;
}

std::string payloadOf(const Record& record) {
    std::string payload;
    switch (record.type) {
        case Record::Type::Change:
            put(payload, record.offset);
            put(payload, record.removed);
            payload += record.text;
            break;
        case Record::Type::Intent:
            put(payload, static_cast<std::uint8_t>(record.intent.scope));
            put(payload, static_cast<std::uint64_t>(record.intent.sizeBefore));
            put(payload, record.intent.length);
            put(payload, record.intent.crc);
            payload += record.intent.path;
            break;
        case Record::Type::LeftOver:
        case Record::Type::Snapshot:
            payload = record.text;
            break;
        case Record::Type::Done:
        case Record::Type::Abandoned:
            break;
    }
    return payload;
}

// The record a checked payload describes; nothing when the payload does not fit its type.
std::optional<Record> parse(char type, std::string_view payload) {
    Record record;
    record.type = static_cast<Record::Type>(type);
    switch (record.type) {
        case Record::Type::Change:
            if (payload.size() < kChangeFixedBytes) return std::nullopt;
            record.offset = get<std::uint64_t>(payload, 0);
            record.removed = get<std::uint64_t>(payload, 8);
            record.text = payload.substr(kChangeFixedBytes);
            return record;
        case Record::Type::Intent: {
            if (payload.size() < kIntentFixedBytes) return std::nullopt;
            const auto scope = get<std::uint8_t>(payload, 0);
            if (scope > 1) return std::nullopt;
            record.intent.scope = static_cast<Scope>(scope);
            record.intent.sizeBefore = static_cast<std::int64_t>(get<std::uint64_t>(payload, 1));
            record.intent.length = get<std::uint64_t>(payload, 9);
            record.intent.crc = get<std::uint32_t>(payload, 17);
            record.intent.path = payload.substr(kIntentFixedBytes);
            return record;
        }
        case Record::Type::LeftOver:
        case Record::Type::Snapshot:
            record.text = payload;
            return record;
        case Record::Type::Done:
        case Record::Type::Abandoned:
            if (!payload.empty()) return std::nullopt;
            return record;
    }
    return std::nullopt;  // an unknown type is damage too
}

std::string& textOf(Texts& texts, Scope scope) {
    return scope == Scope::Live ? texts.live : texts.leftOver;
}

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char byte : bytes)
        c = table[(c ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string encode(const Record& record) {
    const std::string payload = payloadOf(record);
    std::string out;
    out.reserve(kHeaderBytes + payload.size() + kCrcBytes);
    out += static_cast<char>(record.type);
    put(out, static_cast<std::uint32_t>(payload.size()));
    out += payload;
    put(out, crc32(out));
    return out;
}

void appendChange(std::string& out, std::uint64_t offset, std::uint64_t removed,
                  std::string_view inserted) {
    const std::size_t start = out.size();
    out += static_cast<char>(Record::Type::Change);
    put(out, static_cast<std::uint32_t>(kChangeFixedBytes + inserted.size()));
    put(out, offset);
    put(out, removed);
    out += inserted;
    put(out, crc32(std::string_view(out).substr(start)));
}

Record change(std::uint64_t offset, std::uint64_t removed, std::string_view inserted) {
    return {.type = Record::Type::Change,
            .offset = offset,
            .removed = removed,
            .text = std::string(inserted),
            .intent = {}};
}

Record leftOver(std::string_view text) {
    return {.type = Record::Type::LeftOver,
            .offset = 0,
            .removed = 0,
            .text = std::string(text),
            .intent = {}};
}

Record snapshot(std::string_view text) {
    return {.type = Record::Type::Snapshot,
            .offset = 0,
            .removed = 0,
            .text = std::string(text),
            .intent = {}};
}

Record intent(Intent intent) {
    return {.type = Record::Type::Intent,
            .offset = 0,
            .removed = 0,
            .text = {},
            .intent = std::move(intent)};
}

Record done() {
    return {.type = Record::Type::Done, .offset = 0, .removed = 0, .text = {}, .intent = {}};
}

Record abandoned() {
    return {.type = Record::Type::Abandoned, .offset = 0, .removed = 0, .text = {}, .intent = {}};
}

Decoded decode(std::string_view bytes) {
    Decoded decoded;
    std::size_t at = 0;
    while (bytes.size() - at >= kHeaderBytes + kCrcBytes) {
        const auto length = get<std::uint32_t>(bytes, at + 1);
        if (length > bytes.size() - at - kHeaderBytes - kCrcBytes) break;
        const std::size_t checked = kHeaderBytes + length;
        if (crc32(bytes.substr(at, checked)) != get<std::uint32_t>(bytes, at + checked)) break;
        auto record = parse(bytes[at], bytes.substr(at + kHeaderBytes, length));
        if (!record) break;
        decoded.records.push_back(std::move(*record));
        at += checked + kCrcBytes;
    }
    decoded.validBytes = at;
    return decoded;
}

void applyChange(std::string& text, std::uint64_t offset, std::uint64_t removed,
                 std::string_view inserted) {
    const std::size_t at = static_cast<std::size_t>(std::min<std::uint64_t>(offset, text.size()));
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(removed, text.size() - at));
    text.replace(at, count, inserted);
}

Texts replay(const std::vector<Record>& records, const IntentProbe& probe) {
    Texts texts;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& record = records[i];
        switch (record.type) {
            case Record::Type::LeftOver:
                texts.leftOver = record.text;
                break;
            case Record::Type::Snapshot:
                texts.live = record.text;
                break;
            case Record::Type::Change:
                applyChange(texts.live, record.offset, record.removed, record.text);
                break;
            case Record::Type::Intent: {
                // The outcome, when the journal has it, is the very next record.
                std::string& batch = textOf(texts, record.intent.scope);
                const bool settled =
                    i + 1 < records.size() && (records[i + 1].type == Record::Type::Done ||
                                               records[i + 1].type == Record::Type::Abandoned);
                const bool landed = settled ? records[i + 1].type == Record::Type::Done
                                            : probe && probe(record.intent, batch);
                if (landed) batch.clear();
                if (settled) ++i;
                break;
            }
            case Record::Type::Done:
            case Record::Type::Abandoned:
                break;  // an outcome without its intent says nothing
        }
    }
    return texts;
}

std::string joinTexts(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    if (first.back() == '\n') return first + second;
    return first + "\r\n" + second;
}

}  // namespace vennick::journal
