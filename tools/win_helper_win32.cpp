// Another Windows program beside Vennick, for the end-to-end tests under Wine:
//   vennick-win-helper hold MILLISECONDS PATH...
//     opens (or creates) every PATH with share mode 0, as an editor or a virus scanner may,
//     prints "held" once all are open, keeps them for MILLISECONDS and closes them.
//   vennick-win-helper profile FILE SECTION KEY VALUE [SECTION KEY VALUE]...
//     writes each key with WritePrivateProfileStringA, in order: the reference for the INI
//     Vennick writes.
// Ends with 1 when a file cannot be opened or written, 2 on a wrong command line.
#include "settings/windows_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int hold(int count, char** paths, DWORD milliseconds) {
    std::vector<HANDLE> held;
    for (int i = 0; i < count; ++i) {
        const HANDLE file = ::CreateFileA(paths[i], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot open %s: error %lu\n", paths[i], ::GetLastError());
            return 1;
        }
        held.push_back(file);
    }
    std::puts("held");
    std::fflush(stdout);
    ::Sleep(milliseconds);
    for (const HANDLE file : held) ::CloseHandle(file);
    return 0;
}

int writeProfile(const char* file, int count, char** triples) {
    for (int i = 0; i + 2 < count; i += 3) {
        if (!::WritePrivateProfileStringA(triples[i], triples[i + 1], triples[i + 2], file)) {
            std::fprintf(stderr, "cannot write %s/%s: error %lu\n", triples[i], triples[i + 1],
                         ::GetLastError());
            return 1;
        }
    }
    return 0;
}

}  // namespace

// The arguments arrive in the ANSI code page, as Vennick's own profile calls take them.
int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "hold") == 0) {
        return hold(argc - 3, argv + 3, static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    }
    if (argc >= 6 && (argc - 3) % 3 == 0 && std::strcmp(argv[1], "profile") == 0) {
        return writeProfile(argv[2], argc - 3, argv + 3);
    }
    std::fputs(
        "usage: vennick-win-helper hold MILLISECONDS PATH...\n"
        "       vennick-win-helper profile FILE SECTION KEY VALUE...\n",
        stderr);
    return 2;
}
