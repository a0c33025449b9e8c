#include "RS232CFunc/journal/journal_format.h"

#include <algorithm>
#include <array>

#include "RS232CFunc/state/line_buffer.h"

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

std::string payloadOf(const Record& record) {
    std::string payload;
    switch (record.type) {
        case Record::Type::Change:
            putLittleEndian(payload, record.offset);
            putLittleEndian(payload, record.removed);
            payload += record.text;
            break;
        case Record::Type::Taken:
            putLittleEndian(payload, record.offset);
            putLittleEndian(payload, record.waiting);
            payload += record.text;
            break;
        case Record::Type::Moved:
            putLittleEndian(payload, record.waiting);
            payload += record.text;
            break;
        case Record::Type::WholeIntent:
        case Record::Type::PrefixIntent:
            putLittleEndian(payload, static_cast<std::uint8_t>(record.intent.scope));
            putLittleEndian(payload, static_cast<std::uint64_t>(record.intent.sizeBefore));
            putLittleEndian(payload, record.intent.length);
            putLittleEndian(payload, record.intent.crc);
            if (record.type == Record::Type::PrefixIntent) {
                putLittleEndian(payload, record.intent.textBytes.value_or(0));
            }
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

std::optional<Intent> parseIntent(std::string_view payload, bool withTextBytes) {
    const std::size_t fixed = kIntentFixedBytes + (withTextBytes ? 8 : 0);
    if (payload.size() < fixed) return std::nullopt;
    const auto scope = getLittleEndian<std::uint8_t>(payload, 0);
    if (scope > 1) return std::nullopt;
    Intent intent;
    intent.scope = static_cast<Scope>(scope);
    intent.sizeBefore = static_cast<std::int64_t>(getLittleEndian<std::uint64_t>(payload, 1));
    intent.length = getLittleEndian<std::uint64_t>(payload, 9);
    intent.crc = getLittleEndian<std::uint32_t>(payload, 17);
    if (withTextBytes)
        intent.textBytes = getLittleEndian<std::uint64_t>(payload, kIntentFixedBytes);
    intent.path = payload.substr(fixed);
    return intent;
}

// The record a checked payload describes; nothing when the payload does not fit its type.
std::optional<Record> parse(char type, std::string_view payload) {
    Record record;
    record.type = static_cast<Record::Type>(type);
    switch (record.type) {
        case Record::Type::Change:
        case Record::Type::Taken:
            if (payload.size() < kChangeFixedBytes) return std::nullopt;
            record.offset = getLittleEndian<std::uint64_t>(payload, 0);
            (record.type == Record::Type::Change ? record.removed : record.waiting) =
                getLittleEndian<std::uint64_t>(payload, 8);
            record.text = payload.substr(kChangeFixedBytes);
            return record;
        case Record::Type::Moved:
            if (payload.size() < 8) return std::nullopt;
            record.waiting = getLittleEndian<std::uint64_t>(payload, 0);
            record.text = payload.substr(8);
            return record;
        case Record::Type::WholeIntent:
        case Record::Type::PrefixIntent: {
            auto intent = parseIntent(payload, record.type == Record::Type::PrefixIntent);
            if (!intent) return std::nullopt;
            record.intent = std::move(*intent);
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

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char byte : bytes)
        c = table[(c ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string frame(char type, std::string_view payload) {
    std::string out;
    out.reserve(kHeaderBytes + payload.size() + kCrcBytes);
    out += type;
    putLittleEndian(out, static_cast<std::uint32_t>(payload.size()));
    out += payload;
    putLittleEndian(out, crc32(out));
    return out;
}

Frames frames(std::string_view bytes) {
    Frames found;
    std::size_t at = 0;
    while (bytes.size() - at >= kHeaderBytes + kCrcBytes) {
        const auto length = getLittleEndian<std::uint32_t>(bytes, at + 1);
        if (length > bytes.size() - at - kHeaderBytes - kCrcBytes) break;
        const std::size_t checked = kHeaderBytes + length;
        if (crc32(bytes.substr(at, checked)) != getLittleEndian<std::uint32_t>(bytes, at + checked))
            break;
        found.frames.push_back({bytes[at], bytes.substr(at + kHeaderBytes, length)});
        at += checked + kCrcBytes;
    }
    found.validBytes = at;
    return found;
}

std::string encode(const Record& record) {
    return frame(static_cast<char>(record.type), payloadOf(record));
}

void appendChange(std::string& out, std::uint64_t offset, std::uint64_t removed,
                  std::string_view inserted, std::optional<std::uint64_t> waiting) {
    const std::size_t start = out.size();
    out += static_cast<char>(waiting ? Record::Type::Taken : Record::Type::Change);
    putLittleEndian(out, static_cast<std::uint32_t>(kChangeFixedBytes + inserted.size()));
    putLittleEndian(out, offset);
    putLittleEndian(out, waiting ? *waiting : removed);
    out += inserted;
    putLittleEndian(out, crc32(std::string_view(out).substr(start)));
}

Record change(std::uint64_t offset, std::uint64_t removed, std::string_view inserted) {
    Record record;
    record.type = Record::Type::Change;
    record.offset = offset;
    record.removed = removed;
    record.text = inserted;
    return record;
}

Record taken(std::uint64_t offset, std::string_view inserted, std::uint64_t waiting) {
    Record record;
    record.type = Record::Type::Taken;
    record.offset = offset;
    record.text = inserted;
    record.waiting = waiting;
    return record;
}

Record moved(std::string_view text, std::uint64_t waiting) {
    Record record;
    record.type = Record::Type::Moved;
    record.text = text;
    record.waiting = waiting;
    return record;
}

Record leftOver(std::string_view text) {
    Record record;
    record.type = Record::Type::LeftOver;
    record.text = text;
    return record;
}

Record snapshot(std::string_view text) {
    Record record;
    record.type = Record::Type::Snapshot;
    record.text = text;
    return record;
}

Record intent(Intent intent) {
    Record record;
    record.type = intent.textBytes ? Record::Type::PrefixIntent : Record::Type::WholeIntent;
    record.intent = std::move(intent);
    return record;
}

Record done() {
    Record record;
    record.type = Record::Type::Done;
    return record;
}

Record abandoned() {
    Record record;
    record.type = Record::Type::Abandoned;
    return record;
}

Decoded decode(std::string_view bytes) {
    Decoded decoded;
    const Frames found = frames(bytes);
    decoded.validBytes = found.validBytes;
    for (const Frame& each : found.frames) {
        auto record = parse(each.type, each.payload);
        if (!record) {
            decoded.validBytes =
                static_cast<std::size_t>(each.payload.data() - bytes.data()) - kHeaderBytes;
            break;
        }
        decoded.records.push_back(std::move(*record));
    }
    return decoded;
}

void applyChange(std::string& text, std::uint64_t offset, std::uint64_t removed,
                 std::string_view inserted) {
    const std::size_t at = static_cast<std::size_t>(std::min<std::uint64_t>(offset, text.size()));
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(removed, text.size() - at));
    text.replace(at, count, inserted);
}

namespace {

// Replays records one at a time; at most one log write is open at a time.
class Replay {
public:
    explicit Replay(const IntentProbe& probe) : probe_(probe) {}

    void apply(const Record& record) {
        switch (record.type) {
            case Record::Type::LeftOver:
                texts_.leftOver = record.text;
                break;
            case Record::Type::Snapshot:
                texts_.live = record.text;
                break;
            case Record::Type::Change:
                applyChange(texts_.live, record.offset, record.removed, record.text);
                break;
            case Record::Type::Taken:
                applyChange(texts_.live, record.offset, 0, record.text);
                texts_.waitingTaken = std::max(texts_.waitingTaken, record.waiting);
                break;
            case Record::Type::Moved:
                texts_.leftOver = joinTexts(texts_.leftOver, record.text);
                texts_.waitingTaken = std::max(texts_.waitingTaken, record.waiting);
                break;
            case Record::Type::WholeIntent:
            case Record::Type::PrefixIntent:
                settleByProbe();
                open_ = record.intent;
                if (!open_->textBytes) open_->textBytes = textOf(open_->scope).size();
                break;
            case Record::Type::Done:
                settle(true);
                break;
            case Record::Type::Abandoned:
                settle(false);  // an outcome without its intent says nothing
                break;
        }
    }

    Texts finish() {
        settleByProbe();
        return std::move(texts_);
    }

private:
    std::string& textOf(Scope scope) {
        return scope == Scope::Live ? texts_.live : texts_.leftOver;
    }

    void settle(bool landed) {
        if (!open_) return;
        if (landed) eraseWrittenPrefix(textOf(open_->scope), *open_->textBytes);
        open_.reset();
    }

    void settleByProbe() {
        if (!open_) return;
        const std::string& text = textOf(open_->scope);
        const std::string batch =
            text.substr(0, std::min<std::size_t>(*open_->textBytes, text.size()));
        settle(probe_ && probe_(*open_, batch));
    }

    const IntentProbe& probe_;
    Texts texts_;
    std::optional<Intent> open_;
};

}  // namespace

Texts replay(const std::vector<Record>& records, const IntentProbe& probe) {
    Replay replay(probe);
    for (const Record& record : records) replay.apply(record);
    return replay.finish();
}

std::string joinTexts(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    if (first.back() == '\n') return first + second;
    return first + "\r\n" + second;
}

}  // namespace vennick::journal
