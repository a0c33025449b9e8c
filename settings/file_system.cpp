#include <string>

#include "settings/file_system.h"

namespace vennick {
namespace {

// Windows takes "/" as well as "\"; elsewhere "\" is an ordinary file name character.
bool isSeparator(char c) {
    return c == '/' || c == pathSeparator();
}

std::string::size_type fileNameStart(const std::string& path) {
    for (auto i = path.size(); i > 0; --i) {
        if (isSeparator(path[i - 1])) return i;
    }
    return 0;
}

}  // namespace

std::string directoryOf(const std::string& path) {
    return path.substr(0, fileNameStart(path));
}

std::string withExtension(const std::string& path, const std::string& extension) {
    const auto nameStart = fileNameStart(path);
    const auto dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot >= nameStart;
    return (hasExtension ? path.substr(0, dot) : path) + extension;
}

std::string iniPathFor(const std::string& executable) {
    return withExtension(executable, ".INI");
}

}  // namespace vennick
