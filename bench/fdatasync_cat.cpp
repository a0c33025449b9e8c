// The least a reader does that keeps every transmission on disk when its EOT arrives: read the
// device raw and, at each EOT, append what came before it and fdatasync. bench_program.py
// runs it beside Vennick as the floor of that guarantee.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

constexpr char kEot = 0x04;

bool appendDurably(int out, const std::string& bytes) {
    return write(out, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
           fdatasync(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fdatasync_cat DEVICE FILE\n");
        return 2;
    }
    const int in = open(argv[1], O_RDONLY | O_NOCTTY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) return 1;
    termios raw{};
    tcgetattr(in, &raw);
    cfmakeraw(&raw);
    tcsetattr(in, TCSANOW, &raw);
    std::string pending;
    std::array<char, 4096> chunk{};
    for (;;) {
        pollfd ready{in, POLLIN, 0};
        if (poll(&ready, 1, 500) < 0) return 1;
        const ssize_t got = read(in, chunk.data(), chunk.size());
        for (ssize_t i = 0; i < got; ++i) {
            pending += chunk[static_cast<std::size_t>(i)];
            if (chunk[static_cast<std::size_t>(i)] != kEot) continue;
            if (!appendDurably(out, pending)) return 1;
            pending.clear();
        }
    }
}
