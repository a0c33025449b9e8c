// Holds files open without sharing, as another Windows program (an editor, a virus scanner)
// may, for the end-to-end tests:
//   vennick-hold-file MILLISECONDS PATH...
// opens (or creates) every PATH with share mode 0, prints "held" once all are open, keeps them
// for MILLISECONDS and then closes them. Ends with 1 when a file cannot be opened.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) {
        std::fputs("usage: vennick-hold-file MILLISECONDS PATH...\n", stderr);
        return 2;
    }
    const DWORD milliseconds = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    std::vector<HANDLE> held;
    for (int i = 2; i < argc; ++i) {
        const HANDLE file = ::CreateFileW(argv[i], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot open %ls: error %lu\n", argv[i], ::GetLastError());
            return 1;
        }
        held.push_back(file);
    }
    std::puts("held");
    std::fflush(stdout);
    ::Sleep(milliseconds);
    for (const HANDLE file : held) ::CloseHandle(file);
    ::LocalFree(argv);
    return 0;
}
