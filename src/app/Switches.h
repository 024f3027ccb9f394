// Command-line switches: finding them, taking their values, and applying them to SendSettings.
// Arguments are the list main() received: argument 0 is the program's path, 1..N follow.
#pragma once

#include <string>
#include <vector>

#include "app/SendSettings.h"
#include "app/SwitchValues.h"

namespace larkpost {

using TLpArgs = std::vector<std::string>;

// True when some argument 1..N is "/" or "-" followed by exactly `name`, ignoring case.
bool FindSwitch(const TLpArgs& args, const std::string& name);

// The argument after the first whole match of /name or -name among arguments 1..N-1 (the last
// argument is never examined); empty when none matches.
std::string GetParam(const TLpArgs& args, const std::string& name);

// Expands %NAME% references to defined environment variables (others stay as written), then
// trims characters up to code 32 from both ends.
std::string ExpandEnvVars(const std::string& text);

// Decodes "|hh" escapes; raises ELpConvertError "Invalid hex digit in URL".
std::string DecodeHexEscapes(const std::string& text);

// Appends the pieces of `text` between delimiters to `list`, each escape-decoded.
void SplitList(std::vector<std::string>& list, const std::string& text, char delimiter);

// The /FILES entries, or an empty list when /FILES is absent or last.
std::vector<std::string> CollectFiles(const TLpArgs& args);

// Decrypts passwords from /PASS3 and /PASSX and loads /BODYFILE; raises on a non-integer
// /AUTH, a bad "|" escape and an unreadable body file, leaving what was applied so far.
void ReadCmdLineSettings(const TLpArgs& args, TSwitchValues& switches, TSendSettings& settings);

// Every switch the program knows, as written on a command line ("/HOST", "--HELP").
std::vector<std::string> KnownSwitchNames();

// What a user should hear about the command line, one text per line without the program's
// prefix: arguments that look like switches but are none of ours (switch values and /FILES
// entries excepted), and value switches standing last with nothing after them.
std::vector<std::string> CommandLineWarnings(const TLpArgs& args);

// True when no argument is given, /I, /D, /?, /H or /V is present: a run that wants a window.
bool WantsWindows(const TLpArgs& args);

// The mode a /TLS value names: NONE, IMPLICIT, REQUIRED, AUTO in any case, or 0 to 3; raises
// ELpConvertError naming the value otherwise.
int ParseUseTLS(const std::string& value);

}  // namespace larkpost
