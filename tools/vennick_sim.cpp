// vennick-sim: an instrument on a pseudo-terminal, for trying Vennick without hardware.
// Prints the device path first; Vennick opens it (or the --link path) as its COM port.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/simulated_instrument.h"

namespace {

using vennick::sim::SimulatedInstrument;
using vennick::sim::Terminator;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string link;
    long long lines = -1;  // -1: endless, or the file's lines once
    double linesPerSecond = 1.0;
    double bytesPerSecond = 0.0;  // when set, paces by bytes instead of lines
    std::string text;
    std::string file;
    Terminator terminator = Terminator::CrLf;
    long long eotEvery = 0;
    bool noise = false;
    long long hangupAfter = 0;
    int backAfterMs = 2000;
    bool waitForReader = true;
    int lingerMs = 1000;
};

const char* const kUsage =
    "usage: vennick-sim [options]\n"
    "  --link PATH             also make PATH a symbolic link to the device\n"
    "  --lines N               send N lines, then end (default: endless)\n"
    "  --rate LINES_PER_S      lines per second (default 1; 0 = as fast as possible)\n"
    "  --bytes-per-second B    pace by bytes instead of lines\n"
    "  --text TEXT             send TEXT on every line (default: numbered readings)\n"
    "  --file FILE             send the lines of FILE, in turn\n"
    "  --terminator T          cr, crlf (default), lf or stx-etx\n"
    "  --eot-every N           send EOT after every N lines\n"
    "  --noise                 mix bytes a receiver must drop into every line\n"
    "  --hangup-after N        hang up after every N lines ...\n"
    "  --back-after-ms M       ... and come back M ms later (default 2000)\n"
    "  --no-wait               send even while nobody has the device open\n"
    "  --linger-ms M           after the last line, keep the line up M ms (default 1000)\n"
    "                          or until the reader closes it, so nothing is cut off\n";

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "vennick-sim: " << message << "\n" << kUsage;
    std::exit(2);
}

Terminator terminatorNamed(const std::string& name) {
    if (name == "cr") return Terminator::Cr;
    if (name == "crlf") return Terminator::CrLf;
    if (name == "lf") return Terminator::Lf;
    if (name == "stx-etx") return Terminator::StxEtx;
    usageError("unknown terminator " + name);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (option == "--noise") {
            options.noise = true;
            continue;
        }
        if (option == "--no-wait") {
            options.waitForReader = false;
            continue;
        }
        if (i + 1 >= argc) usageError("missing value for " + option);
        const std::string value = argv[++i];
        try {
            if (option == "--link")
                options.link = value;
            else if (option == "--lines")
                options.lines = std::stoll(value);
            else if (option == "--rate")
                options.linesPerSecond = std::stod(value);
            else if (option == "--bytes-per-second")
                options.bytesPerSecond = std::stod(value);
            else if (option == "--text")
                options.text = value;
            else if (option == "--file")
                options.file = value;
            else if (option == "--terminator")
                options.terminator = terminatorNamed(value);
            else if (option == "--eot-every")
                options.eotEvery = std::stoll(value);
            else if (option == "--hangup-after")
                options.hangupAfter = std::stoll(value);
            else if (option == "--back-after-ms")
                options.backAfterMs = std::stoi(value);
            else if (option == "--linger-ms")
                options.lingerMs = std::stoi(value);
            else
                usageError("unknown option " + option);
        } catch (const std::logic_error&) {
            usageError("bad value for " + option + ": " + value);
        }
    }
    return options;
}

// Where the line texts come from: a fixed text, a file's lines in turn, or numbered readings.
class LineTexts {
public:
    explicit LineTexts(const Options& options) : fixed_(options.text) {
        if (options.file.empty()) return;
        std::ifstream in(options.file, std::ios::binary);
        if (!in) usageError("cannot read " + options.file);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            fileLines_.push_back(line);
        }
        if (fileLines_.empty()) usageError(options.file + " has no lines");
    }

    long long fileLineCount() const { return static_cast<long long>(fileLines_.size()); }

    std::string text(long long index) const {
        if (!fileLines_.empty()) {
            return fileLines_[static_cast<std::size_t>(index) % fileLines_.size()];
        }
        if (!fixed_.empty()) return fixed_;
        char reading[40];
        std::snprintf(reading, sizeof reading, "%06lld,%+.3f", index + 1,
                      20.0 + 5.0 * std::sin(static_cast<double>(index) / 10.0));
        return reading;
    }

private:
    std::string fixed_;
    std::vector<std::string> fileLines_;
};

// Bytes an instrument's line may pick up on the way that a receiver drops: control bytes,
// punctuation outside the accepted set, a double-byte character.
std::string withNoise(const std::string& text, std::mt19937& random) {
    static const std::vector<std::string> kNoise = {std::string(1, '\0'), "\t", "\x7f", ":", "/",
                                                    "\x82\xa0",           "*"};
    std::string noisy = text;
    const int count = std::uniform_int_distribution<int>(1, 3)(random);
    for (int n = 0; n < count; ++n) {
        const auto at = std::uniform_int_distribution<std::size_t>(0, noisy.size())(random);
        const auto which = std::uniform_int_distribution<std::size_t>(0, kNoise.size() - 1)(random);
        noisy.insert(at, kNoise[which]);
    }
    return noisy;
}

void announce(const SimulatedInstrument& instrument) {
    std::cout << instrument.devicePath() << std::endl;
}

class Sender {
public:
    Sender(SimulatedInstrument& instrument, const Options& options)
        : instrument_(instrument), options_(options) {}

    // Sends what is batched once the reader is there; false when the line is gone for good.
    bool flush() {
        if (batch_.empty()) return true;
        if (options_.waitForReader && !instrument_.readerPresent()) {
            std::cerr << "vennick-sim: waiting for a reader on " << instrument_.path() << "\n";
            instrument_.waitForReader(-1);
        }
        const bool sent = instrument_.send(batch_);
        batch_.clear();
        return sent;
    }

    void add(const std::string& bytes) {
        batch_ += bytes;
        sentBytes_ += static_cast<long long>(bytes.size());
    }

    // Sleeps until the next line is due, sending what is batched first.
    bool pace(long long linesSent) {
        const double dueSeconds =
            options_.bytesPerSecond > 0 ? static_cast<double>(sentBytes_) / options_.bytesPerSecond
            : options_.linesPerSecond > 0 ? static_cast<double>(linesSent) / options_.linesPerSecond
                                          : 0.0;
        const auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(dueSeconds));
        // A serial adapter hands its bytes over in frames of about a millisecond, not byte by
        // byte: lines due within the next millisecond go out together.
        if (Clock::now() + std::chrono::milliseconds(1) >= due && batch_.size() < 4096) return true;
        if (!flush()) return false;
        std::this_thread::sleep_until(due);
        return true;
    }

    // Time off the line does not count: no burst of missed lines afterwards.
    void paused(Clock::duration length) { start_ += length; }

private:
    SimulatedInstrument& instrument_;
    const Options& options_;
    std::string batch_;
    long long sentBytes_ = 0;
    Clock::time_point start_ = Clock::now();
};

int run(const Options& options) {
    const LineTexts texts(options);
    const long long lines = options.lines >= 0          ? options.lines
                            : texts.fileLineCount() > 0 ? texts.fileLineCount()
                                                        : -1;
    SimulatedInstrument instrument(options.link);
    announce(instrument);
    instrument.releaseDevice();
    if (options.waitForReader) instrument.waitForReader(-1);

    std::mt19937 random(1);
    Sender sender(instrument, options);
    for (long long sent = 0; lines < 0 || sent < lines;) {
        if (!sender.pace(sent)) return 1;
        const std::string text = texts.text(sent);
        std::string bytes = vennick::sim::framedLine(options.noise ? withNoise(text, random) : text,
                                                     options.terminator);
        ++sent;
        if (options.eotEvery > 0 && sent % options.eotEvery == 0) bytes += '\x04';
        sender.add(bytes);
        if (options.hangupAfter > 0 && sent % options.hangupAfter == 0) {
            if (!sender.flush()) return 1;
            // Like a cable pulled between lines: what was sent has reached the reader.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::cerr << "vennick-sim: hanging up\n";
            const auto downSince = Clock::now();
            instrument.hangUp();
            std::this_thread::sleep_for(std::chrono::milliseconds(options.backAfterMs));
            instrument.comeBack();
            announce(instrument);
            instrument.releaseDevice();
            if (options.waitForReader) instrument.waitForReader(-1);
            sender.paused(Clock::now() - downSince);
        }
    }
    if (!sender.flush()) return 1;
    // Hanging up throws away what the reader has not taken yet.
    const auto until = Clock::now() + std::chrono::milliseconds(options.lingerMs);
    while (instrument.readerPresent() && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << "vennick-sim: " << error.what() << "\n";
        return 1;
    }
}
