#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "app/program_files.h"
#include "settings/wide_text_win32.h"

namespace vennick {
namespace {

std::string knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path))) {
        folder = wideToUtf8(path);
    }
    CoTaskMemFree(path);
    return folder;
}

}  // namespace

UserFolders userFolders() {
    const std::string local = knownFolder(FOLDERID_LocalAppData);
    return {.settings = local, .state = local, .documents = knownFolder(FOLDERID_Documents)};
}

}  // namespace vennick
