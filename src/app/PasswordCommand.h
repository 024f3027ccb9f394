// The password (or OAuth 2.0 access token) taken from a command's output at send time, so that
// no secret needs to stand in a script or in the settings file.
#pragma once

#include <string>

#include "app/SendSettings.h"
#include "app/SwitchValues.h"
#include "platform/Exception.h"

namespace larkpost {

// The command failed, printed nothing, or ran past the time-out; the message names the command.
class ELpPasswordCommandError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpPasswordCommandError"; }
};

// Whether the send takes its password from the command: one is set, an authentication entry
// that logs in is selected, and no password switch (/PASS, /PASS3, /PASSX) was given, since a
// password on the command line is the most explicit choice. A stored Password3 loses to the
// command.
bool UsesPasswordCommand(const TSendSettings& settings, const TSwitchValues& switches);

// Runs the command with /bin/sh -c and returns the first line of its standard output without
// its line end. timeoutSeconds 0 (or less) waits as long as it takes, as a read time-out of 0
// does. Raises ELpPasswordCommandError.
std::string RunPasswordCommand(const std::string& command, int timeoutSeconds);

}  // namespace larkpost
