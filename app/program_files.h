#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vennick {

// The user's own folders where the platform keeps a program's files: on Linux the XDG base
// directories and the home folder, on Windows %LOCALAPPDATA% and Documents. Native separators,
// no trailing one; empty when the platform names none.
struct UserFolders {
    std::string settings;   // ~/.config, %LOCALAPPDATA%
    std::string state;      // ~/.local/state, %LOCALAPPDATA%
    std::string documents;  // ~, Documents
};

// This user's folders, as the environment and the platform name them.
UserFolders userFolders();

// Where this run keeps its settings file, its journal and its fallback log folder.
struct ProgramFiles {
    std::string iniPath;
    std::string journalPath;
    // The fallback log folder is this + separator + "log": beside the executable the directory
    // keeps its trailing separator (two at the join, as the settings file has always held it).
    std::string logBase;
    // Folders that must exist before those files are used; none beside the executable.
    std::vector<std::string> folders;
};

using WritableTest = std::function<bool(const std::string& directory)>;

// Where a system-wide install puts the program (the Debian package's /usr/bin); empty where
// there is none (Windows).
std::string systemBinaryFolder();

// Beside the executable whenever its folder is writable (a portable copy, the build tree) and
// is not the system-wide install's; otherwise, with the same file names, in the user's folders
// under "Vennick". Without user folders the files stay beside the executable.
ProgramFiles programFilesFor(const std::string& executable, const UserFolders& user,
                             const WritableTest& writable);

// Creates the folders with their missing parents; true when all of them exist afterwards.
bool createFolders(const std::vector<std::string>& folders);

}  // namespace vennick
