// Runs a user's command through /bin/sh -c and keeps what it printed on standard output; its
// standard input and standard error stay those of the program.
#pragma once

#include <string>

namespace larkpost {

struct TShellCommandResult {
    enum TOutcome {
        coExited,        // ended by itself: ExitCode holds its status
        coSignalled,     // ended by a signal: Signal holds its number
        coTimedOut,      // still running at the time-out; its process group was killed
        coNotStarted,    // could not be started: Error holds errno
    };
    TOutcome Outcome = coNotStarted;
    int ExitCode = 0;
    int Signal = 0;
    int Error = 0;
    // Standard output, cut after kMaxOutput bytes.
    std::string Output;
};

// What a command may print before the rest is read and dropped: far more than any password or
// access token, little enough that a runaway command cannot fill the memory.
inline constexpr std::size_t kMaxShellCommandOutput = 1 << 20;

// Runs `command` in a process group of its own and waits at most timeoutMs milliseconds for it
// to end (0 or less: no limit). The wait ends when the command has exited, even if a process it
// left behind still holds its standard output open.
TShellCommandResult RunShellCommand(const std::string& command, int timeoutMs);

}  // namespace larkpost
