// The real executable with its window module: a run that wants a window loads larkpost-ui.so and
// opens the window, instead of falling back to the headless text.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(WindowModule, VersionSwitchOpensTheAboutBoxFromTheModule) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string output = dir.filePath("out.txt").toStdString();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(LARKPOST_BINARY, LARKPOST_BINARY, "/V", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The headless fallback prints the version and ends at once; the about box waits for a user.
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 30 && !ended; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    std::ifstream in(output);
    const std::string printed((std::istreambuf_iterator<char>(in)), {});
    EXPECT_FALSE(ended) << "larkpost /V ended without a window; it printed:\n" << printed;
}

}  // namespace
