// Frames arbitrary bytes and checks what every returned line may look like, and that read
// time-outs placed anywhere in the stream change nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "RS232CFunc/receive/line_framer.h"

namespace {

using vennick::FramedLine;

// Hands out the input; with `timeouts` set, a read time-out comes before every byte whose value
// is a multiple of 7. The source is given up once the input is used.
class InputSource : public vennick::ByteSource {
public:
    InputSource(const std::uint8_t* data, std::size_t size, bool timeouts)
        : data_(data), size_(size), timeouts_(timeouts) {}

    std::optional<std::uint8_t> readByte() override {
        if (next_ >= size_) return std::nullopt;
        if (timeouts_ && !timedOut_ && data_[next_] % 7 == 0) {
            timedOut_ = true;
            return std::nullopt;
        }
        timedOut_ = false;
        return data_[next_++];
    }
    bool abandoned() const override { return next_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    bool timeouts_;
    bool timedOut_ = false;
    std::size_t next_ = 0;
};

void require(bool condition) {
    if (!condition) std::abort();
}

bool isDataChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           std::string_view("+-., ").find(c) != std::string_view::npos;
}

void checkLine(const FramedLine& line) {
    require(line.text.size() <= static_cast<std::size_t>(vennick::LineFramer::kMaxLineLength));
    require(line.text.empty() || (line.text.front() != ' ' && line.text.back() != ' '));
    for (const char c : line.text) require(isDataChar(c));
    require(static_cast<std::size_t>(line.charsAccepted) >= line.text.size());
    require(line.charsAccepted <= line.bytesReceived);
    require(!(line.abandoned && line.endedByEot));
}

std::vector<FramedLine> frameAll(InputSource& source) {
    vennick::LineFramer framer;
    std::vector<FramedLine> lines;
    do {
        lines.push_back(framer.readLine(source));
        checkLine(lines.back());
    } while (!lines.back().abandoned);
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputSource plain(data, size, false);
    const std::vector<FramedLine> lines = frameAll(plain);

    std::size_t received = 0;
    for (const FramedLine& line : lines) received += static_cast<std::size_t>(line.bytesReceived);
    require(received == size);

    InputSource interrupted(data, size, true);
    const std::vector<FramedLine> again = frameAll(interrupted);
    require(again.size() == lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        require(again[i].text == lines[i].text);
        require(again[i].bytesReceived == lines[i].bytesReceived);
        require(again[i].charsAccepted == lines[i].charsAccepted);
        require(again[i].endedByEot == lines[i].endedByEot);
    }
    return 0;
}
