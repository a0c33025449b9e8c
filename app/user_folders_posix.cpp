#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/program_files.h"

namespace vennick {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string homeFolder() {
    std::string home = environment("HOME");
    if (home.empty()) {
        const passwd* entry = getpwuid(getuid());
        if (entry && entry->pw_dir) home = entry->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home;
}

// An XDG base directory: the variable when it holds an absolute path, else its default.
std::string baseDirectory(const char* variable, const std::string& fallback) {
    const std::string value = environment(variable);
    return value.starts_with('/') ? value : fallback;
}

}  // namespace

UserFolders userFolders() {
    const std::string home = homeFolder();
    if (home.empty()) return {};
    return {.settings = baseDirectory("XDG_CONFIG_HOME", home + "/.config"),
            .state = baseDirectory("XDG_STATE_HOME", home + "/.local/state"),
            .documents = home};
}

}  // namespace vennick
