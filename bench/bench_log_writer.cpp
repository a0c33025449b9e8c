// Log writer cost per batch, flush to the disk included: new file vs append, 1/100/1001 lines.
// Usage: bench_log_writer [directory on the disk to measure]   (default: the temp directory)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "RS232CFunc/log/log_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWrites = 200;

struct Figures {
    double meanUs;
    double medianUs;
    double maxUs;
};

// `prepare` runs before each timed `write`, outside the timing.
Figures measure(
    int writes, const std::function<void(int)>& write,
    const std::function<void(int)>& prepare = [](int) {}) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(writes));
    for (int i = 0; i < writes; ++i) {
        prepare(i);
        const auto start = Clock::now();
        write(i);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    double total = 0;
    for (const double u : us) total += u;
    std::sort(us.begin(), us.end());
    return {total / writes, us[us.size() / 2], us.back()};
}

void print(const char* what, int lines, const Figures& f) {
    std::printf("%-34s %5d %10.0f %10.1f %10.1f %10.1f\n", what, lines, 1e6 / f.meanUs, f.meanUs,
                f.medianUs, f.maxUs);
}

std::string batch(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "12.345,-0.5\r\n";  // 13 bytes a line
    return text;
}

// A distinct time of day, hence a distinct file name, for every write.
vennick::TimeOfDay timeFor(int n) {
    return {n / 3600 % 24, n / 60 % 60, n % 60};
}

void fail(const char* what) {
    std::fprintf(stderr, "bench_log_writer: %s failed\n", what);
    std::exit(1);
}

// The pieces of a new name's durability, measured on their own.
void measureReferences(const std::string& directory, const std::string& text) {
    const std::string plain = directory + "/plain";
    std::filesystem::create_directory(plain);
    print("reference: create+write+fsync", 100, measure(kWrites, [&](int i) {
              const std::string path = plain + "/" + std::to_string(i) + ".TXT";
              const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
              if (fd < 0 || ::write(fd, text.data(), text.size()) < 0 || ::fsync(fd) != 0) {
                  fail("plain create");
              }
              ::close(fd);
          }));
    const int dir = ::open(plain.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto newName = [&](int i) {
        const std::string path = plain + "/d" + std::to_string(i);
        ::close(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    };
    const auto syncDirectory = [&](int) {
        if (::fsync(dir) != 0) fail("directory fsync");
    };
    print("reference: fsync(dir) after new name", 0, measure(kWrites, syncDirectory, newName));
    ::close(dir);
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    std::string pattern = (base / "vennick-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    const std::string root = pattern;

    std::printf("log writer, %d writes per row, each flushed to the disk, in %s\n", kWrites,
                root.c_str());
    std::printf("%-34s %5s %10s %10s %10s %10s\n", "case", "lines", "writes/s", "mean us",
                "median us", "max us");
    for (const int lines : {1, 100, 1001}) {
        const std::string text = batch(lines);
        const std::string newDir = root + "/new" + std::to_string(lines);
        const std::string appendDir = root + "/append" + std::to_string(lines);
        fs::create_directory(newDir);
        fs::create_directory(appendDir);

        int n = 0;
        vennick::LogWriter fresh(root + "/", [&n] { return timeFor(n); });
        print("new file (temp, link, dir fsync)", lines, measure(kWrites, [&](int i) {
                  n = i;
                  if (!fresh.write(newDir, text)) fail("new file");
              }));

        vennick::LogWriter same(root + "/", [] { return vennick::TimeOfDay{9, 5, 7}; });
        if (!same.write(appendDir, text)) fail("first append");
        print("append to existing file", lines, measure(kWrites, [&](int) {
                  if (!same.write(appendDir, text)) fail("append");
              }));
    }
    measureReferences(root, batch(100));
    fs::remove_all(root);
    return 0;
}
