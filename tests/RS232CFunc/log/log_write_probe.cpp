// Writes one large batch to the file named, for the test that kills a writer halfway.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RS232CFunc/log/log_writer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: log_write_probe FILE MEGABYTES\n");
        return 2;
    }
    const std::string batch(std::strtoul(argv[2], nullptr, 10) << 20, 'A');
    return vennick::appendToFileDurably(argv[1], batch) ? 0 : 1;
}
