// The real executable with its window module: a run that wants a window loads larkpost-ui.so and
// opens the window, instead of falling back to the headless text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct TRun {
    bool ended = false;  // false: still running (a window waits for its user) after the wait
    int status = 0;
    std::string printed;
};

// Runs larkpost with the switch and the environment given, for at most `waitMs`.
TRun RunLarkpost(const char* sw, const std::vector<std::pair<const char*, const char*>>& env,
                 int waitMs) {
    QTemporaryDir dir;
    const std::string output = dir.filePath("out.txt").toStdString();
    TRun run;
    const pid_t pid = fork();
    if (pid < 0) return run;
    if (pid == 0) {
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        for (const auto& [name, value] : env) value ? setenv(name, value, 1) : unsetenv(name);
        execl(LARKPOST_BINARY, LARKPOST_BINARY, sw, static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int waited = 0; waited < waitMs && !run.ended; waited += 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        run.ended = waitpid(pid, &run.status, WNOHANG) == pid;
    }
    if (!run.ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &run.status, 0);
    }
    std::ifstream in(output);
    run.printed.assign(std::istreambuf_iterator<char>(in), {});
    return run;
}

TEST(WindowModule, VersionSwitchOpensTheAboutBoxFromTheModule) {
    // The headless fallback prints the version and ends at once; the about box waits for a user.
    const TRun run = RunLarkpost("/V", {{"QT_QPA_PLATFORM", "offscreen"}}, 1500);
    EXPECT_FALSE(run.ended) << "larkpost /V ended without a window; it printed:\n" << run.printed;
}

TEST(WindowModule, UnreachableDisplayFallsBackToText) {
    const TRun run = RunLarkpost(
        "/V",
        {{"QT_QPA_PLATFORM", nullptr}, {"WAYLAND_DISPLAY", nullptr}, {"DISPLAY", "127.0.0.1:93"}},
        5000);
    ASSERT_TRUE(run.ended) << run.printed;
    ASSERT_TRUE(WIFEXITED(run.status))
        << "ended by signal " << WTERMSIG(run.status) << ": " << run.printed;
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.printed;
    EXPECT_NE(run.printed.find("Larkpost Version "), std::string::npos) << run.printed;
}

}  // namespace
