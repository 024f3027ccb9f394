// The settings file (Larkpost.ini or the file named by /S): reading it into SendSettings under
// the run mode's skip rules, migrating the legacy password keys, and "&Save Settings as Default".
#pragma once

#include <string>

namespace larkpost {

class TLpShell;

// The one section of the settings file.
inline constexpr const char* kSettingsSection = "Larkpost";
// The body file's name, always saved beside the executable.
inline constexpr const char* kBodyFileName = "LarkpostBody.rtf";

// Reads RunState.SettingsPath into shell.SendSettings; keys whose switch is present in
// shell.SwitchValues are left alone. Writes to the file when it migrates a legacy password
// (raising ELpIniFileException "Unable to write to <path>" when it cannot).
void ReadINISettings(TLpShell& shell);

// The handler of "&Save Settings as Default": writes shell.SendSettings to
// RunState.SettingsPath and the body to ExeDir + "LarkpostBody.rtf". Raises
// ELpIniFileException or ELpFileError; keys written before a failure stay written.
void WriteINISettings(TLpShell& shell);

}  // namespace larkpost
