// Reads arbitrary bytes as an INI file, writes a key and checks that it reads back and that
// another section's value is untouched.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "settings/ini_file.h"
#include "settings/settings.h"

namespace {

const std::string& scratchPath() {
    // tmpfs where there is one: every write syncs the file.
    static const std::string path = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string name = std::string(base) + "/vennick-fuzz-" + std::to_string(getpid()) + ".INI";
        std::atexit([] { std::remove(scratchPath().c_str()); });
        return name;
    }();
    return path;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(scratchPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    vennick::IniFile ini(scratchPath());
    const std::string ports = ini.read("Ports", "COM1", "<none>");
    (void)vennick::parseProfileInt(ini.read("Params", "cBauRate", ""), 8);
    check(ini.read("WorkFiles", "exLogFilePath", "").size() <= 3 * 2047);

    check(ini.write("Params", "cBauRate", "12"));
    check(ini.read("Params", "cBauRate", "-") == "12");
    check(ini.read("Ports", "COM1", "<none>") == ports);
    check(ini.write("WorkFiles", "exLogFilePath", "ｱﾌﾟﾘ\\log"));
    check(ini.read("WorkFiles", "exLogFilePath", "-") == "ｱﾌﾟﾘ\\log");
    return 0;
}
