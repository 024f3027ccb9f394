#include "platform/ShellCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>

extern char** environ;

namespace larkpost {
namespace {

using Clock = std::chrono::steady_clock;

enum class TRead { Nothing, Data, End };

// Reads what the pipe holds, waiting up to waitMs for something to arrive.
TRead ReadAvailable(int fd, int waitMs, std::string& output) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return TRead::Nothing;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return TRead::End;
    if (n < 0) return errno == EINTR || errno == EAGAIN ? TRead::Nothing : TRead::End;
    const std::size_t room = kMaxShellCommandOutput - std::min(output.size(), kMaxShellCommandOutput);
    output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    return TRead::Data;
}

void Decode(int status, TShellCommandResult& result) {
    if (WIFSIGNALED(status)) {
        result.Outcome = TShellCommandResult::coSignalled;
        result.Signal = WTERMSIG(status);
        return;
    }
    result.Outcome = TShellCommandResult::coExited;
    result.ExitCode = WEXITSTATUS(status);
}

}  // namespace

TShellCommandResult RunShellCommand(const std::string& command, int timeoutMs) {
    TShellCommandResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.Error = errno;
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so a time-out ends the whole pipeline the shell started.
    posix_spawnattr_setpgroup(&attributes, 0);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    posix_spawnattr_setflags(&attributes, flags);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    const std::string shell = "/bin/sh";
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, shell.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        result.Error = spawned;
        return result;
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool open = true;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            // What it wrote before it ended is still in the pipe.
            while (open && ReadAvailable(fds[0], 0, result.Output) == TRead::Data) {
            }
            Decode(status, result);
            break;
        }
        int waitMs = 100;
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now()).count();
            if (left <= 0) {
                kill(-pid, SIGKILL);
                waitpid(pid, &status, 0);
                result.Outcome = TShellCommandResult::coTimedOut;
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(left, waitMs));
        }
        if (open) {
            open = ReadAvailable(fds[0], waitMs, result.Output) != TRead::End;
        } else {
            // Its output is closed, so it is about to end.
            poll(nullptr, 0, std::min(waitMs, 5));
        }
    }
    close(fds[0]);
    return result;
}

}  // namespace larkpost
