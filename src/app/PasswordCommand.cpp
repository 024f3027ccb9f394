#include "app/PasswordCommand.h"

#include <climits>

#include "platform/ShellCommand.h"
#include "platform/SystemError.h"

namespace larkpost {

bool UsesPasswordCommand(const TSendSettings& settings, const TSwitchValues& switches) {
    if (settings.PasswordCommand().empty()) return false;
    // Without a login nothing would use what it prints, and its failure would end the send.
    if (settings.AuthType() == kAuthNone || settings.AuthType() == kAuthNoEntry) return false;
    return !(switches.Pass.Present || switches.Pass3.Present || switches.PassX.Present);
}

std::string RunPasswordCommand(const std::string& command, int timeoutSeconds) {
    const int timeoutMs =
        timeoutSeconds <= 0 ? 0 : timeoutSeconds > INT_MAX / 1000 ? INT_MAX : timeoutSeconds * 1000;
    const TShellCommandResult r = RunShellCommand(command, timeoutMs);
    const std::string suffix = ": " + command;
    switch (r.Outcome) {
        case TShellCommandResult::coNotStarted:
            throw ELpPasswordCommandError("Password command could not be started (" +
                                          SysErrorMessage(r.Error) + ")" + suffix);
        case TShellCommandResult::coTimedOut:
            throw ELpPasswordCommandError("Password command still running after " +
                                          std::to_string(timeoutSeconds) +
                                          " seconds, stopped" + suffix);
        case TShellCommandResult::coSignalled:
            throw ELpPasswordCommandError("Password command ended by signal " +
                                          std::to_string(r.Signal) + suffix);
        case TShellCommandResult::coExited:
            break;
    }
    if (r.ExitCode != 0) {
        throw ELpPasswordCommandError("Password command failed with exit code " +
                                      std::to_string(r.ExitCode) + suffix);
    }
    std::string line = r.Output.substr(0, r.Output.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) throw ELpPasswordCommandError("Password command printed no password" + suffix);
    return line;
}

}  // namespace larkpost
