// The process-wide state of the application shell: where the program lives, which settings file
// is in use, the run mode and the code the process ends with.
#pragma once

#include <string>

namespace larkpost {

struct TRunState {
    // Directory of the executable, always ending in one "/". Set first thing in Init.
    std::string ExeDir;
    // Where the settings file and the body file live, and where both logs go; both end in "/".
    // ExeDir, unless the program runs installed (then the user's XDG folders).
    std::string ConfigDir;
    std::string LogDir;
    // Full path of the settings file in use; empty after /NOS (nothing sets it then).
    std::string SettingsPath;
    // Body file path as taken from the settings file.
    std::string BodyFilePath;
    // The main window is revealed and the program waits for the user.
    bool Interactive = false;
    // Set by /D at start; toggled later by a double click in the about box.
    bool Debug = false;
    // Exit code ExitProgram hands to the platform: 0 success, 1 failure, 2 settings file not found.
    int ReturnCode = 0;
};

// The one instance every part of the shell reads and writes. Tests reset it with
// `RunState = TRunState{};`.
extern TRunState RunState;

// The folders in use; ExeDir until Init decided.
inline const std::string& ConfigDirOf(const TRunState& s) {
    return s.ConfigDir.empty() ? s.ExeDir : s.ConfigDir;
}
inline const std::string& LogDirOf(const TRunState& s) {
    return s.LogDir.empty() ? s.ExeDir : s.LogDir;
}

}  // namespace larkpost
