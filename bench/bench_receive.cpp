// Receive path through a pseudo-terminal, beside `cat` of the same device in the same run:
// CPU at a 2,000,000 bit/s line (200,000 bytes/s paced), unpaced capacity, idle CPU with the
// port open and silent, and the latency from a line's terminator to its event.
//
// usage: bench_receive [paced-seconds (default 10)] [idle-seconds (default 5)]

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RS232CFunc/receive/receive_thread.h"
#include "tools/simulated_instrument.h"

extern char** environ;

namespace {

using vennick::LineEvent;
using vennick::sim::SimulatedInstrument;
using Clock = std::chrono::steady_clock;

constexpr double kPacedBytesPerSecond = 200000.0;  // a 2,000,000 bit/s line, 10 bits a byte
constexpr std::size_t kUnpacedBytes = 32u << 20;
const std::string kLine = "12.345,-0.5\r\n";  // 13 bytes
constexpr auto kSlice = std::chrono::milliseconds(1);
constexpr int kEotEvery = 100;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// CPU time used so far by a task (thread or process), from the scheduler's own account.
std::int64_t cpuNs(const std::string& procDir) {
    std::ifstream in(procDir + "/schedstat");
    std::int64_t ns = -1;
    in >> ns;
    return ns;
}

// The instrument's stream: lines, an EOT after every hundred.
std::string streamOf(std::size_t lines) {
    std::string stream;
    stream.reserve(lines * kLine.size() + lines / kEotEvery);
    for (std::size_t n = 1; n <= lines; ++n) {
        stream += kLine;
        if (n % kEotEvery == 0) stream += '\x04';
    }
    return stream;
}

// Sends `stream` at `bytesPerSecond` (0: as fast as possible), noting when each line's
// terminator left. Paced data goes out in slices of about a millisecond, as a USB serial
// adapter delivers it.
void sendPaced(SimulatedInstrument& instrument, const std::string& stream, double bytesPerSecond,
               std::vector<std::int64_t>* sentAt) {
    const auto start = Clock::now();
    std::size_t line = 0;
    std::size_t from = 0;
    while (from < stream.size()) {
        std::size_t to = from;
        if (bytesPerSecond <= 0) {
            to = std::min(stream.size(), from + 65536);
        } else {
            const double due = std::chrono::duration<double>(Clock::now() - start).count();
            to = std::min(stream.size(), static_cast<std::size_t>(due * bytesPerSecond));
            if (to <= from) {
                std::this_thread::sleep_for(kSlice);
                continue;
            }
        }
        const std::int64_t at = nowNs();
        if (sentAt != nullptr) {
            for (std::size_t i = from; i < to; ++i) {
                if (stream[i] == '\r' && line < sentAt->size()) (*sentAt)[line++] = at;
            }
        }
        if (!instrument.send(std::string_view(stream).substr(from, to - from))) {
            throw std::runtime_error("the pseudo-terminal went away");
        }
        from = to;
    }
}

void waitFor(const std::function<bool()>& done, const char* what) {
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (!done()) {
        if (Clock::now() > deadline) throw std::runtime_error(std::string("timed out: ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Figures {
    double pacedCpuPercent = 0;
    double megabytesPerSecond = 0;
    double idleCpuPercent = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

void latencies(const std::vector<std::int64_t>& sent, const std::vector<std::int64_t>& arrived,
               Figures& figures) {
    std::vector<std::int64_t> delays;
    for (std::size_t i = 0; i < sent.size() && i < arrived.size(); ++i) {
        if (sent[i] > 0 && arrived[i] > 0) delays.push_back(arrived[i] - sent[i]);
    }
    if (delays.empty()) return;
    std::sort(delays.begin(), delays.end());
    const auto at = [&](double q) {
        return static_cast<double>(
                   delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))]) /
               1e6;
    };
    figures.p50Ms = at(0.50);
    figures.p99Ms = at(0.99);
}

// Something that receives the stream and whose CPU time can be read.
class Receiver {
public:
    virtual ~Receiver() = default;
    virtual std::string procDir() const = 0;
    virtual std::size_t linesArrived() const = 0;
    // Where arrival times go (one per line); nullptr to stop noting them.
    virtual void noteArrivals(std::vector<std::int64_t>* arrivals) = 0;
};

// Vennick's receive thread; the "window" applies every line at once.
class VennickReceiver final : public Receiver, public vennick::ReceiveSink {
public:
    explicit VennickReceiver(const SimulatedInstrument& instrument) {
        auto port = vennick::createSerialPort();
        if (!port->open(instrument.devicePath())) throw std::runtime_error("cannot open port");
        vennick::LineSettings line;
        line.bitRate = 2000000;
        port->applyLineSettings(line);
        port->applyTimeouts();
        thread_ = std::make_unique<vennick::TMyThread>(
            std::move(port), vennick::TMyThread::Options{instrument.devicePath(), line},
            std::shared_ptr<ReceiveSink>(std::shared_ptr<void>(), this));  // outlives the thread
        thread_->start();
    }

    std::string procDir() const override {
        return "/proc/self/task/" + std::to_string(tid_.load());
    }
    std::size_t linesArrived() const override { return lines_.load(); }
    void noteArrivals(std::vector<std::int64_t>* arrivals) override { arrivals_ = arrivals; }

    void lineReceived(LineEvent event) override {
        if (tid_.load() == 0) tid_.store(static_cast<pid_t>(::syscall(SYS_gettid)));
        if (event.text.empty()) return;
        const std::size_t index = lines_.load(std::memory_order_relaxed);
        if (auto* arrivals = arrivals_.load(); arrivals != nullptr && index < arrivals->size()) {
            (*arrivals)[index] = nowNs();
        }
        lines_.store(index + 1);
    }
    void statusReported(std::string text) override {
        std::fprintf(stderr, "status: %s\n", text.c_str());
    }

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<std::size_t> lines_{0};
    std::atomic<std::vector<std::int64_t>*> arrivals_{nullptr};
    std::unique_ptr<vennick::TMyThread> thread_;
};

// `cat` of the same device into a pipe that this process reads.
class CatReceiver final : public Receiver {
public:
    explicit CatReceiver(const SimulatedInstrument& instrument) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        const std::string device = instrument.devicePath();
        char* argv[] = {const_cast<char*>("cat"), const_cast<char*>(device.c_str()), nullptr};
        if (::posix_spawnp(&pid_, "cat", &actions, nullptr, argv, environ) != 0) {
            throw std::runtime_error("cannot start cat");
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        readFd_ = pipeFds[0];
        reader_ = std::thread([this] { readAll(); });
    }
    ~CatReceiver() override {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        reader_.join();
        ::close(readFd_);
    }

    std::string procDir() const override { return "/proc/" + std::to_string(pid_); }
    std::size_t linesArrived() const override { return lines_.load(); }
    void noteArrivals(std::vector<std::int64_t>* arrivals) override { arrivals_ = arrivals; }

private:
    void readAll() {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(readFd_, buffer, sizeof buffer);
            if (got <= 0) return;
            const std::int64_t at = nowNs();
            std::size_t index = lines_.load(std::memory_order_relaxed);
            auto* arrivals = arrivals_.load();
            for (ssize_t i = 0; i < got; ++i) {
                if (buffer[i] != '\r') continue;
                if (arrivals != nullptr && index < arrivals->size()) (*arrivals)[index] = at;
                ++index;
            }
            lines_.store(index);
        }
    }

    pid_t pid_ = 0;
    int readFd_ = -1;
    std::thread reader_;
    std::atomic<std::size_t> lines_{0};
    std::atomic<std::vector<std::int64_t>*> arrivals_{nullptr};
};

Figures measure(Receiver& receiver, SimulatedInstrument& instrument, double pacedSeconds,
                double idleSeconds) {
    Figures figures;
    // One line first: the receiver is up and its CPU account can be found.
    instrument.send(kLine);
    waitFor([&] { return receiver.linesArrived() >= 1; }, "first line");

    const auto pacedLines = static_cast<std::size_t>(pacedSeconds * kPacedBytesPerSecond /
                                                     static_cast<double>(kLine.size()));
    const std::string paced = streamOf(pacedLines);
    std::vector<std::int64_t> sentAt(pacedLines, 0);
    std::vector<std::int64_t> arrivedAt(pacedLines, 0);
    std::size_t base = receiver.linesArrived();
    std::vector<std::int64_t> arrivals(base + pacedLines, 0);
    receiver.noteArrivals(&arrivals);
    std::int64_t cpuBefore = cpuNs(receiver.procDir());
    auto wallBefore = Clock::now();
    sendPaced(instrument, paced, kPacedBytesPerSecond, &sentAt);
    waitFor([&] { return receiver.linesArrived() >= base + pacedLines; }, "paced lines");
    figures.pacedCpuPercent = 100.0 * static_cast<double>(cpuNs(receiver.procDir()) - cpuBefore) /
                              1e9 /
                              std::chrono::duration<double>(Clock::now() - wallBefore).count();
    receiver.noteArrivals(nullptr);
    std::copy(arrivals.begin() + static_cast<std::ptrdiff_t>(base), arrivals.end(),
              arrivedAt.begin());
    latencies(sentAt, arrivedAt, figures);

    cpuBefore = cpuNs(receiver.procDir());
    wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    figures.idleCpuPercent = 100.0 * static_cast<double>(cpuNs(receiver.procDir()) - cpuBefore) /
                             1e9 / std::chrono::duration<double>(Clock::now() - wallBefore).count();

    const std::size_t unpacedLines = kUnpacedBytes / kLine.size();
    const std::string unpaced = streamOf(unpacedLines);
    base = receiver.linesArrived();
    wallBefore = Clock::now();
    std::thread sender([&] { sendPaced(instrument, unpaced, 0, nullptr); });
    waitFor([&] { return receiver.linesArrived() >= base + unpacedLines; }, "unpaced lines");
    const double seconds = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    sender.join();
    figures.megabytesPerSecond = static_cast<double>(unpaced.size()) / 1e6 / seconds;
    return figures;
}

void print(const char* name, const Figures& figures) {
    std::printf("%-22s %10.2f %% %11.1f MB/s %8.3f %% %9.3f ms %9.3f ms\n", name,
                figures.pacedCpuPercent, figures.megabytesPerSecond, figures.idleCpuPercent,
                figures.p50Ms, figures.p99Ms);
}

}  // namespace

int main(int argc, char** argv) {
    const double pacedSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    try {
        SimulatedInstrument instrument;
        std::printf(
            "stream: 13-byte lines \"12.345,-0.5\\r\\n\", EOT every %d lines; paced at "
            "%.0f bytes/s for %.0f s; unpaced %zu MiB; idle %.0f s\n",
            kEotEvery, kPacedBytesPerSecond, pacedSeconds, kUnpacedBytes >> 20, idleSeconds);
        std::printf("%-22s %12s %16s %10s %12s %12s\n", "receiver", "CPU paced", "unpaced",
                    "CPU idle", "latency p50", "latency p99");
        Figures vennick;
        {
            VennickReceiver receiver(instrument);
            vennick = measure(receiver, instrument, pacedSeconds, idleSeconds);
        }
        print("vennick receive thread", vennick);
        Figures cat;
        {
            CatReceiver receiver(instrument);
            cat = measure(receiver, instrument, pacedSeconds, idleSeconds);
        }
        print("cat (to a pipe)", cat);
        std::fflush(stdout);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_receive: %s\n", error.what());
        return 1;
    }
}
