// The real larkpost binary, run as a script would run it on a machine without a display: a copy
// in a folder of its own, so the settings and log files beside it are the test's.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "TempDir.h"

namespace larkpost {
namespace {

struct TResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class Binary : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(LARKPOST_BINARY, dir.File("larkpost"));
        std::filesystem::permissions(dir.File("larkpost"), std::filesystem::perms::owner_all);
    }
    // Arguments are passed through the shell in single quotes; `env` may set variables.
    TResult Run(const std::vector<std::string>& args, const std::string& env = "") {
        std::string command = "cd '" + dir.Dir() +
                              "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + env +
                              " ./larkpost";
        for (const std::string& a : args) command += " '" + a + "'";
        command += " >stdout.txt 2>stderr.txt </dev/null";
        const int status = std::system(command.c_str());
        TResult r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = dir.Read("stdout.txt");
        r.err = dir.Read("stderr.txt");
        return r;
    }
    TTempDir dir;
};

TEST_F(Binary, HelpAndVersionPrintAndExitZero) {
    for (const char* sw : {"/?", "-H", "/h"}) {
        SCOPED_TRACE(sw);
        const TResult r = Run({sw});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.out.find("Usage: larkpost"), std::string::npos);
        EXPECT_NE(r.out.find("/BODYFILE"), std::string::npos);
        EXPECT_NE(r.out.find("2  settings file named by /S not found"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    const TResult r = Run({"/V"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Larkpost Version ", 0), 0u);
}

TEST_F(Binary, DisplayWithoutWindowModuleFallsBackToText) {
    // The copy has no larkpost-ui.so beside it.
    const TResult help = Run({"/?"}, "DISPLAY=:97");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: larkpost"), std::string::npos);
    const TResult window = Run({"/I", "/NOS"}, "QT_QPA_PLATFORM=offscreen");
    EXPECT_EQ(window.exitCode, 1);
    EXPECT_NE(window.err.find("the window module could not be loaded"), std::string::npos);
}

TEST_F(Binary, LegacyPasswordIsMigratedByOneRun) {
    std::string complemented;
    for (char c : std::string("secret"))
        complemented += static_cast<char>(255 - static_cast<unsigned char>(c));
    dir.Write("Larkpost.ini",
              "[Larkpost]\r\nHost=127.0.0.1\r\nPort=1\r\nPassword=" + complemented + "\r\n");
    // /D reads the settings and ends before any send on a machine without a display.
    Run({"/D"});
    const std::string ini = dir.Read("Larkpost.ini");
    EXPECT_NE(ini.find("Password3="), std::string::npos);
    EXPECT_EQ(ini.find("Password="), std::string::npos);
    EXPECT_NE(ini.find("Host=127.0.0.1"), std::string::npos);
}

TEST_F(Binary, MissingSettingsFileExitsTwo) {
    const TResult r = Run({"/S", "missing.ini", "/HOST", "x"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "larkpost: Could not find settings file " + dir.Dir() + "missing.ini\n");
}

TEST_F(Binary, UnattendedFailurePrintsWhyOnOneLine) {
    const TResult r = Run({"/NOS", "/LOG", "/AUTH", "two"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "larkpost: 'two' is not a valid integer value\n");
    // The exception came before the send: the log is not saved.
    EXPECT_FALSE(std::filesystem::exists(dir.File("Larkpost.log")));
}

TEST_F(Binary, InteractiveRunWithoutDisplayEndsWithOne) {
    {
        const TResult r = Run({});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_NE(r.err.find("no display"), std::string::npos);
    }
    {
        const TResult r = Run({"/D", "/NOS", "/HOST", "mail1"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out.rfind("[Larkpost Switches and Settings]\n", 0), 0u);
        EXPECT_NE(r.out.find("\n/HOST=1 Value=mail1\n"), std::string::npos);
        // The 27 lines of old, and one for each switch added since.
        EXPECT_GE(std::count(r.out.begin(), r.out.end(), '\n'), 28);
    }
}

}  // namespace
}  // namespace larkpost
