#include "app/program_files.h"

#include <algorithm>
#include <string>

#include "RS232CFunc/journal/journal.h"
#include "settings/file_system.h"

namespace vennick {
namespace {

constexpr const char* kFolderName = "Vennick";

std::string joined(const std::string& folder, const std::string& name) {
    return folder + pathSeparator() + name;
}

std::string fileNameOf(const std::string& path) {
    return path.substr(directoryOf(path).size());
}

// One level after the other: createDirectory makes no parents.
bool createFolder(const std::string& folder) {
    for (std::size_t i = 1; i <= folder.size(); ++i) {
        const bool end = i == folder.size();
        if (!end && folder[i] != '/' && folder[i] != pathSeparator()) continue;
        const std::string level = folder.substr(0, i);
        if (!directoryExists(level)) createDirectory(level);
    }
    return directoryExists(folder);
}

}  // namespace

std::string systemBinaryFolder() {
#ifdef VENNICK_SYSTEM_BINDIR
    return VENNICK_SYSTEM_BINDIR;
#else
    return {};
#endif
}

ProgramFiles programFilesFor(const std::string& executable, const UserFolders& user,
                             const WritableTest& writable) {
    const std::string executableDir = directoryOf(executable);
    const bool userKnown = !user.settings.empty() && !user.state.empty() && !user.documents.empty();
    // Installed for everyone is never portable, also for root, who may write anywhere.
    const std::string system = systemBinaryFolder();
    const bool installed = !system.empty() && executableDir == system + pathSeparator();
    if (!userKnown || (!installed && writable(executableDir.empty() ? "." : executableDir))) {
        return {.iniPath = iniPathFor(executable),
                .journalPath = journalPathFor(executable),
                .logBase = executableDir,
                .folders = {}};
    }
    const std::string name = fileNameOf(executable);
    ProgramFiles files{.iniPath = joined(joined(user.settings, kFolderName), iniPathFor(name)),
                       .journalPath = joined(joined(user.state, kFolderName), journalPathFor(name)),
                       .logBase = joined(user.documents, kFolderName),
                       .folders = {}};
    for (const std::string& path : {files.iniPath, files.journalPath}) {
        std::string folder = directoryOf(path);
        folder.pop_back();  // the separator
        if (std::ranges::find(files.folders, folder) == files.folders.end()) {
            files.folders.push_back(folder);
        }
    }
    files.folders.push_back(files.logBase);
    return files;
}

bool createFolders(const std::vector<std::string>& folders) {
    return std::ranges::all_of(folders, createFolder);
}

}  // namespace vennick
