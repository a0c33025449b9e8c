// Takes the single-instance lock under the name given, prints the outcome and exits with it
// (0 acquired, 1 already running, 2 failed). With --hold it keeps the lock until its standard
// input closes, so a test decides when the holder ends.
#include <cstdio>
#include <cstring>

#include "app/instance_guard.h"

namespace {

const char* wordFor(vennick::InstanceGuard::Outcome outcome) {
    switch (outcome) {
        case vennick::InstanceGuard::Outcome::Acquired:
            return "Acquired";
        case vennick::InstanceGuard::Outcome::AlreadyRunning:
            return "AlreadyRunning";
        case vennick::InstanceGuard::Outcome::Failed:
            break;
    }
    return "Failed";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: guard_probe NAME [--hold]\n");
        return 3;
    }
    vennick::InstanceGuard guard(argv[1]);
    std::printf("%s\n", wordFor(guard.outcome()));
    std::fflush(stdout);
    if (argc > 2 && std::strcmp(argv[2], "--hold") == 0) {
        while (std::getchar() != EOF) {
        }
    }
    return static_cast<int>(guard.outcome());
}
