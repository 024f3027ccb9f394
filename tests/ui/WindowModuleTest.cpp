// The real executable with its window module: a run that wants a window loads larkpost-ui.so and
// opens the window, instead of falling back to the headless text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
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
        // No switch at all when `sw` is null.
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

// A private X server (Xvfb) for one test; Display() is empty when none could be started.
class TXvfb {
public:
    TXvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // Xvfb writes its display number, then a line feed, once it accepts clients; the read
        // end stays open until the line feed, or its second write fails and the server exits.
        std::string number;
        char c;
        while (m_pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) m_display = ":" + number;
    }
    ~TXvfb() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

TEST(WindowModule, WaylandVariableWithoutACompositorIsAHeadlessMachine) {
    QTemporaryDir runtimeDir;  // holds no compositor socket
    const std::string runtime = runtimeDir.path().toStdString();
    const std::vector<std::pair<const char*, const char*>> noDisplays[] = {
        {{"QT_QPA_PLATFORM", nullptr},
         {"DISPLAY", nullptr},
         {"WAYLAND_DISPLAY", "nonexistent"},
         {"XDG_RUNTIME_DIR", runtime.c_str()}},
        {{"QT_QPA_PLATFORM", nullptr},
         {"DISPLAY", nullptr},
         {"WAYLAND_DISPLAY", "nonexistent"},
         {"XDG_RUNTIME_DIR", nullptr}},
        {{"QT_QPA_PLATFORM", "wayland"},
         {"DISPLAY", nullptr},
         {"WAYLAND_DISPLAY", "wayland-0"},
         {"XDG_RUNTIME_DIR", runtime.c_str()}},
    };
    for (const auto& env : noDisplays) {
        SCOPED_TRACE(std::string("WAYLAND_DISPLAY=") + env[2].second +
                     (env[0].second ? " QT_QPA_PLATFORM=wayland" : ""));
        struct Case {
            const char* sw;
            int exitCode;
            const char* printed;
        };
        for (const Case& c : {Case{"/?", 0, "Usage: larkpost"}, Case{"/V", 0, "Larkpost Version "},
                              Case{nullptr, 1, "larkpost: cannot open the window: "}}) {
            SCOPED_TRACE(c.sw ? c.sw : "no switch");
            const TRun run = RunLarkpost(c.sw, env, 5000);
            ASSERT_TRUE(run.ended) << run.printed;
            ASSERT_TRUE(WIFEXITED(run.status))
                << "ended by signal " << WTERMSIG(run.status) << ": " << run.printed;
            EXPECT_EQ(WEXITSTATUS(run.status), c.exitCode) << run.printed;
            EXPECT_NE(run.printed.find(c.printed), std::string::npos) << run.printed;
            if (!c.sw) {
                EXPECT_EQ(std::count(run.printed.begin(), run.printed.end(), '\n'), 1);
            }
        }
    }
}

TEST(WindowModule, WaylandVariableWithoutACompositorStillOpensTheXDisplay) {
    // Xvfb resets whenever its last client leaves, so every start below meets a server that the
    // display test may have just left.
    const TXvfb xvfb;
    if (xvfb.Display().empty()) GTEST_SKIP() << "Xvfb could not be started";
    for (int start = 0; start < 4; ++start) {
        SCOPED_TRACE(start);
        const TRun run = RunLarkpost("/V",
                                     {{"QT_QPA_PLATFORM", nullptr},
                                      {"DISPLAY", xvfb.Display().c_str()},
                                      {"WAYLAND_DISPLAY", "nonexistent"}},
                                     1000);
        EXPECT_FALSE(run.ended) << "no about box on " << xvfb.Display() << "; it printed:\n"
                                << run.printed;
    }
}

}  // namespace
