// Start-up and run modes, the exit sequence, the exception handler and the debug dump, driven
// through fake windows and a fake send.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "app/Conversions.h"
#include "app/RunState.h"
#include "app/Shell.h"

namespace larkpost {
namespace {

// Records what the shell asked of its windows.
class TFakeWindows : public ILpWindows {
public:
    explicit TFakeWindows(TLpShell& shell) : m_shell(shell) {}
    void Run() override { m_shell.RunInit(); }
    void Terminate() override { Events.push_back("terminate"); }
    void ShowHelp() override { Events.push_back("help"); }
    void ShowAbout() override { Events.push_back("about"); }
    void ShowMessage(const std::string& t) override { Events.push_back("message:" + t); }
    void ShowInformation(const std::string& t) override { Events.push_back("information:" + t); }
    void ShowError(const std::string& t) override { Events.push_back("error:" + t); }
    bool RevealMainWindow(bool first) override {
        Events.push_back(first ? "reveal:first page" : "reveal");
        return CanReveal;
    }
    void SetStatusText(const std::string& t) override { Events.push_back("status:" + t); }
    void SetBusyCursor(bool) override {}
    void OpenWithShell(const std::string& p) override { Events.push_back("open:" + p); }

    std::vector<std::string> Events;
    bool CanReveal = true;

private:
    TLpShell& m_shell;
};

// One shell run in a folder of its own that stands in for the executable's directory.
struct TRun {
    explicit TRun(std::initializer_list<const char*> rest) : shell(MakeArgs(rest)), windows(shell) {
        RunState = TRunState{};
        shell.LocateExeDir = [this] { return dir.Dir(); };
        shell.ActivityLog.Clock = [] { return std::string("TS"); };
        shell.SetWindows(&windows);
        shell.SendMsgClick = [this] {
            ++sends;
            if (sendFails) {
                RunState.ReturnCode = 1;
                shell.AppException(ELpException("Socket Error # 10061\r\nConnection refused."));
                return;
            }
            RunState.ReturnCode = 0;
        };
    }
    static TLpArgs MakeArgs(std::initializer_list<const char*> rest) {
        TLpArgs args{"/opt/larkpost/larkpost"};
        for (const char* a : rest) args.emplace_back(a);
        return args;
    }
    // Runs the event loop's first show; returns what went to standard error.
    std::string Start() {
        ::testing::internal::CaptureStderr();
        windows.Run();
        return ::testing::internal::GetCapturedStderr();
    }

    TTempDir dir;
    TLpShell shell;
    TFakeWindows windows;
    int sends = 0;
    bool sendFails = false;
};

using Events = std::vector<std::string>;

TEST(Init, RunModes) {
    struct Case {
        const char* name;
        std::initializer_list<const char*> args;
        Events events;
        bool interactive;
        int sends;
        int exitCode;
        bool terminated;
    };
    const Case cases[] = {
        {"no arguments", {}, {"reveal:first page"}, true, 0, 0, false},
        {"/I with switches", {"/I", "/HOST", "x"}, {"reveal:first page"}, true, 0, 0, false},
        {"switches: unattended send", {"/HOST", "x"}, {"terminate"}, false, 1, 0, true},
        {"help wins over version", {"/?", "/V"}, {"help", "terminate"}, false, 0, 0, true},
        {"/H", {"-h"}, {"help", "terminate"}, false, 0, 0, true},
        {"version", {"/V"}, {"about", "terminate"}, false, 0, 0, true},
        {"/I with version", {"/I", "/V"}, {"about", "terminate"}, true, 0, 0, true},
        {"/NOS unattended", {"/NOS", "/HOST", "x"}, {"terminate"}, false, 1, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TRun run(c.args);
        run.Start();
        EXPECT_EQ(run.windows.Events, c.events);
        EXPECT_EQ(RunState.Interactive, c.interactive);
        EXPECT_EQ(run.sends, c.sends);
        EXPECT_EQ(run.shell.ExitCode(), c.exitCode);
        EXPECT_EQ(run.shell.Terminated(), c.terminated);
        EXPECT_EQ(RunState.ExeDir, run.dir.Dir());
    }
}

TEST(Init, DebugDumpThenWindowAndReturnCodeBoxOnExit) {
    TRun run({"/D", "/HOST", "mail1", "/PORT", "587"});
    run.Start();
    ASSERT_EQ(run.windows.Events.size(), 2u);
    EXPECT_EQ(run.windows.Events[0].rfind("information:[Larkpost Switches and Settings]\n", 0), 0u);
    EXPECT_EQ(run.windows.Events[1], "reveal:first page");
    EXPECT_TRUE(RunState.Interactive);
    EXPECT_TRUE(RunState.Debug);
    EXPECT_EQ(run.sends, 0);
    run.windows.Events.clear();
    run.shell.Exit1Click();
    EXPECT_EQ(run.windows.Events, (Events{"message:Return Code = 0", "terminate"}));
}

TEST(Init, SettingsPathRuleUnderS) {
    struct Case {
        const char* name;
        std::initializer_list<const char*> args;
        std::string path;
    };
    const Case cases[] = {
        {"bare name beside the program",
         {"/SUBJECT", "Hello", "/S", "other.ini"},
         "<exe>other.ini"},
        {"S last: default file", {"/HOST", "x", "/S"}, "<exe>Larkpost.ini"},
        {"directory part used as given", {"/S", "conf/a.ini", "/HOST", "x"}, "conf/a.ini"},
        {"absolute", {"/S", "/nonexistent/a.ini"}, "/nonexistent/a.ini"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TRun run(c.args);
        const std::string err = run.Start();
        std::string expected = c.path;
        if (expected.rfind("<exe>", 0) == 0) expected = run.dir.Dir() + expected.substr(5);
        EXPECT_EQ(RunState.SettingsPath, expected);
        // None of these files exists: unattended, the run ends with 2 and no box.
        EXPECT_EQ(run.windows.Events, Events{"terminate"});
        EXPECT_EQ(run.shell.ExitCode(), 2);
        EXPECT_EQ(run.sends, 0);
        // /S standing last is also warned about.
        const std::string warning =
            c.path == "<exe>Larkpost.ini"
                ? "larkpost: /S is the last argument and has no value (taken as empty)\n"
                : "";
        EXPECT_EQ(err, warning + "larkpost: Could not find settings file " + expected + "\n");
        EXPECT_TRUE(run.shell.ActivityLog.Lines().empty());
    }
}

TEST(Init, MissingSettingsFileInteractiveShowsErrorAndKeepsTwo) {
    TRun run({"/I", "/S", "missing.ini", "/SUBJECT", "Hi"});
    run.Start();
    EXPECT_EQ(run.windows.Events,
              (Events{"error:Could not find settings file " + run.dir.Dir() + "missing.ini",
                      "reveal:first page"}));
    EXPECT_EQ(RunState.ReturnCode, 2);
    EXPECT_EQ(run.shell.SendSettings.Subject(), "Hi");
    EXPECT_FALSE(run.shell.Terminated());
    run.shell.Exit1Click();
    EXPECT_EQ(run.shell.ExitCode(), 0);
}

TEST(Init, NosReadsNoSettingsFile) {
    TRun run({"/NOS", "/HOST", "x"});
    run.dir.Write("Larkpost.ini", "[Larkpost]\nSubject=from file\n");
    run.Start();
    EXPECT_EQ(RunState.SettingsPath, "");
    EXPECT_EQ(run.shell.SendSettings.Subject(), "");
    EXPECT_EQ(run.shell.SendSettings.Host(), "x");
}

TEST(Init, LoadingOrderDecidesWhetherLogSwitchOrFileWins) {
    for (bool underS : {false, true}) {
        SCOPED_TRACE(underS ? "/S: file read after switches" : "default: switches win");
        TRun run(underS ? std::initializer_list<const char*>{"/I", "/LOG", "/S", "Larkpost.ini"}
                        : std::initializer_list<const char*>{"/I", "/LOG"});
        run.dir.Write("Larkpost.ini", "[Larkpost]\nSaveLog=0\nSubject=from file\n");
        run.Start();
        EXPECT_EQ(run.shell.SendSettings.SaveLog(), !underS);
        EXPECT_EQ(run.shell.SendSettings.Subject(), "from file");
    }
}

TEST(Init, ExceptionBeforeTheSendEndsWithOneAndNoLogFile) {
    TRun run({"/NOS", "/LOG", "/AUTH", "two"});
    const std::string err = run.Start();
    EXPECT_EQ(run.sends, 0);
    EXPECT_EQ(run.shell.ExitCode(), 1);
    EXPECT_TRUE(run.shell.Terminated());
    EXPECT_EQ(RunState.ReturnCode, 0);  // AppException leaves it alone
    EXPECT_EQ(err, "larkpost: 'two' is not a valid integer value\n");
    ASSERT_EQ(run.shell.ActivityLog.Lines().size(), 2u);
    EXPECT_EQ(run.shell.ActivityLog.Lines()[0],
              "TS Exception: ELpConvertError 'two' is not a valid integer value");
    EXPECT_FALSE(std::filesystem::exists(run.dir.File("Larkpost.log")));
}

TEST(Init, FailedUnattendedSendEndsThroughExitProgramWithOne) {
    TRun run({"/NOS", "/LOG", "/HOST", "x"});
    run.sendFails = true;
    const std::string err = run.Start();
    EXPECT_EQ(run.sends, 1);
    EXPECT_EQ(run.shell.ExitCode(), 1);
    EXPECT_EQ(err, "larkpost: Socket Error # 10061. Connection refused.\n");
    // ExitProgram ran after AppException: the log was saved.
    const std::string saved = run.dir.Read("Larkpost.log");
    EXPECT_NE(
        saved.find("TS Exception: ELpException Socket Error # 10061. Connection refused.\r\n"),
        std::string::npos);
}

TEST(Init, UnattendedRunWithoutASendWorkflowFails) {
    TRun run({"/NOS", "/HOST", "x"});
    run.shell.SendMsgClick = nullptr;
    const std::string err = run.Start();
    EXPECT_EQ(run.shell.ExitCode(), 1);
    EXPECT_NE(err.find("larkpost: "), std::string::npos);
}

TEST(Init, InteractiveWithoutDisplayEndsWithOneAfterTheDump) {
    TRun run({"/D", "/NOS"});
    run.windows.CanReveal = false;
    run.Start();
    ASSERT_EQ(run.windows.Events.size(), 3u);
    EXPECT_EQ(run.windows.Events[0].rfind("information:", 0), 0u);
    EXPECT_EQ(run.windows.Events[1], "reveal:first page");
    EXPECT_EQ(run.windows.Events[2], "terminate");
    EXPECT_EQ(run.shell.ExitCode(), 1);
}

TEST(TerminalLine, EscapesControlCharactersAndDropsTrailingBlanks) {
    struct Case {
        std::string text;
        std::string line;
    };
    const Case cases[] = {
        {"550 5.7.1 refused\r\n", "550 5.7.1 refused."},
        {"title \x1B]0;owned\x07 bell", "title \\x1B]0;owned\\x07 bell"},
        {std::string("before\0after", 12), "before\\x00after"},
        {"tab\there\x7F", "tab\\x09here\\x7F"},
        // U+009B (CSI) in UTF-8, and the same byte alone as an 8-bit terminal reads it.
        {"csi \xC2\x9B" "2J \x9B" "2J", "csi \\x9B2J \\x9B2J"},
        // Letters outside ASCII stay, whole or broken.
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xC3", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xC3"},
        {"trailing   ", "trailing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(TerminalLine(c.text), c.line);
    }
}

TEST(Init, WarnsAboutTheCommandLineAndGoesOn) {
    TRun run{"/NOS", "/SUBJET", "Hi", "/TO", "a@x", "/SUBJECT"};
    const std::string err = run.Start();
    EXPECT_EQ(err,
              "larkpost: unknown switch /SUBJET (ignored)\n"
              "larkpost: /SUBJECT is the last argument and has no value (taken as empty)\n");
    EXPECT_EQ(run.sends, 1);
    EXPECT_EQ(run.shell.ExitCode(), 0);
}

TEST(Init, LongHelpAndVersionAreHelpAndVersion) {
    for (const char* sw : {"--help", "--HELP"}) {
        TRun run{sw};
        EXPECT_EQ(run.Start(), "");
        EXPECT_EQ(run.windows.Events, (Events{"help", "terminate"}));
    }
    TRun run{"--version"};
    run.Start();
    EXPECT_EQ(run.windows.Events, (Events{"about", "terminate"}));
    EXPECT_TRUE(WantsWindows(TRun::MakeArgs({"--help"})));
}

TEST(Init, InstalledProgramKeepsItsFilesInTheUsersFolders) {
    // Not a TTempDir: each run below has one of those, under the same name.
    const std::string home = std::filesystem::temp_directory_path().string() +
                             "/larkpost-app-xdg-" + std::to_string(::getpid()) + "/";
    std::filesystem::remove_all(home);
    setenv("XDG_CONFIG_HOME", (home + "config").c_str(), 1);
    setenv("XDG_STATE_HOME", (home + "state").c_str(), 1);
    const std::string config = home + "config/larkpost/";
    const std::string state = home + "state/larkpost/";
    struct Case {
        const char* name;
        bool installed;
        bool iniBeside;
        std::initializer_list<const char*> args;
        std::string settings;  // "<exe>" or "<config>" + name
        std::string logs;
    };
    const Case cases[] = {
        {"installed", true, false, {"/LOG", "/TO", "a@x"}, "<config>Larkpost.ini", "<state>"},
        {"installed, bare /S name", true, false, {"/LOG", "/S", "night.ini"}, "<config>night.ini",
         "<state>"},
        {"installed with Larkpost.ini beside it", true, true, {"/LOG"}, "<exe>Larkpost.ini", "<exe>"},
        {"build folder or copy", false, false, {"/LOG"}, "<exe>Larkpost.ini", "<exe>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRun run(c.args);
        run.shell.RunsInstalled = [&](const std::string&) { return c.installed; };
        if (c.iniBeside) run.dir.Write("Larkpost.ini", "[Larkpost]\r\nHost=h\r\n");
        if (c.settings.find("night") != std::string::npos) {
            MakePrivateFolder(config);
            std::ofstream(config + "night.ini") << "[Larkpost]\r\nSaveLog=1\r\n";
        }
        run.shell.SendMsgClick = [&] { run.shell.ActivityLog.Add(" sent"); };
        run.Start();
        const auto expand = [&](std::string p) {
            for (auto [key, dir] : {std::pair<std::string, std::string>{"<exe>", run.dir.Dir()},
                                    {"<config>", config}, {"<state>", state}})
                if (p.rfind(key, 0) == 0) p = dir + p.substr(key.size());
            return p;
        };
        EXPECT_EQ(RunState.SettingsPath, expand(c.settings));
        EXPECT_TRUE(FileExists(expand(c.logs) + "Larkpost.log"));
        EXPECT_NE(DebugDump(run.shell.SwitchValues).find("\nLog folder=" + expand(c.logs)),
                  std::string::npos);
        EXPECT_NE(HelpText().find("logs:              " + expand(c.logs)), std::string::npos);
    }
    // Created on the first write, for the owner alone.
    struct stat st {};
    ASSERT_EQ(stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(home);
}

TEST(UserFolder, FollowsXdgOrHome) {
    setenv("HOME", "/home/jane", 1);
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(UserFolder("XDG_STATE_HOME", "/.local/state"), "/home/jane/.local/state/larkpost/");
    setenv("XDG_STATE_HOME", "relative/ignored", 1);
    EXPECT_EQ(UserFolder("XDG_STATE_HOME", "/.local/state"), "/home/jane/.local/state/larkpost/");
    setenv("XDG_STATE_HOME", "/var/jane", 1);
    EXPECT_EQ(UserFolder("XDG_STATE_HOME", "/.local/state"), "/var/jane/larkpost/");
    unsetenv("XDG_STATE_HOME");
}

TEST(AppException, WritesTwoLinesWithLineEndsReplaced) {
    TRun run({"/I"});
    RunState.Interactive = false;
    errno = ENOENT;
    ::testing::internal::CaptureStderr();
    run.shell.AppException(ELpConvertError("line one\r\nline two\nthree\r"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "larkpost: line one. line two three.\n");
    EXPECT_EQ(run.shell.ActivityLog.Lines(),
              (Events{"TS Exception: ELpConvertError line one. line two three.",
                      "TS Exception: No such file or directory"}));
    EXPECT_EQ(run.shell.ExitCode(), 1);
    EXPECT_TRUE(run.shell.Terminated());
}

TEST(AppException, AFullStopBeforeALineBreakIsNotDoubled) {
    TRun run({"/I"});
    RunState.Interactive = false;
    errno = 0;
    ::testing::internal::CaptureStderr();
    run.shell.AppException(ELpException(
        "Error connecting with SSL.\r\nerror:0A000126:SSL routines::unexpected eof while reading"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "larkpost: Error connecting with SSL. error:0A000126:SSL routines::unexpected eof "
              "while reading\n");
    EXPECT_EQ(run.shell.ActivityLog.Lines()[0],
              "TS Exception: ELpException Error connecting with SSL. error:0A000126:SSL "
              "routines::unexpected eof while reading");
}

TEST(AppException, InteractiveRevealsAndShowsTheMessageWithAFullStop) {
    struct Case {
        const char* name;
        const char* message;
        const char* shown;
    };
    const Case cases[] = {
        {"letter at the end", "Connection refused", "Connection refused."},
        {"full stop already", "Done.", "Done."},
        {"exclamation mark is below the full stop", "Oops!", "Oops!"},
        {"non-ASCII at the end", "Fehler \xC3\xA4", "Fehler \xC3\xA4."},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TRun run({"/I"});
        RunState.Interactive = true;
        run.shell.AppException(std::runtime_error(c.message));
        EXPECT_EQ(run.windows.Events, (Events{"reveal", std::string("error:") + c.shown}));
        EXPECT_FALSE(run.shell.Terminated());
        EXPECT_EQ(run.shell.ActivityLog.Lines()[0].rfind("TS Exception: Exception ", 0), 0u);
    }
}

TEST(ExitProgram, SavesTheLogAndStopsTheConnectionLog) {
    TRun run({"/I"});
    RunState.ExeDir = run.dir.Dir();
    RunState.ReturnCode = 2;
    std::vector<std::string> smtpLog;
    run.shell.StartSMTPLog = [&](const std::string& f) { smtpLog.push_back("start " + f); };
    run.shell.StopSMTPLog = [&] { smtpLog.push_back("stop"); };
    run.shell.SendSettings.SetSaveSMTPLog(true);
    run.shell.SendSettings.SetSaveSMTPLog(false);  // unchecking does not stop it
    run.shell.SendSettings.SetSaveSMTPLog(true);
    run.shell.SendSettings.SetSaveLog(true);
    run.shell.ActivityLog.Add(" Settings read from x");
    run.shell.ExitProgram();
    const std::string start = "start " + run.dir.Dir() + "Larkpost_SMTP.log";
    EXPECT_EQ(smtpLog, (Events{start, start, "stop"}));
    EXPECT_EQ(run.dir.Read("Larkpost.log"), "TS Settings read from x\r\n");
    EXPECT_EQ(run.shell.ExitCode(), 2);
}

TEST(DebugDump, TwentySevenLinesInOrder) {
    TRun run({"/D", "/HOST", "mail1", "/PORT", "587", "/FILES", "a b.txt,x\"y.txt,", "plain.txt"});
    run.Start();
    const std::string dump = DebugDump(run.shell.SwitchValues);
    EXPECT_EQ(dump.find('\r'), std::string::npos);
    EXPECT_NE(dump.back(), '\n');
    std::vector<std::string> lines;
    std::stringstream in(dump);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    // Lines for switches added since follow the 27 of old.
    ASSERT_GE(lines.size(), 27u);
    for (const char* added : {"/RETRY=0 Value=", "/RETRYWAIT=0 Value="})
        EXPECT_NE(std::find(lines.begin() + 27, lines.end(), added), lines.end()) << added;
    lines.resize(27);
    const Events expected = {"[Larkpost Switches and Settings]",
                             "/V=0",
                             "/I=0",
                             "/D=1",
                             "/S=0 Value=",
                             "/NOS=0",
                             "/LOG=0",
                             "/LOGSMTP=0",
                             "/HOST=1 Value=mail1",
                             "/PORT=1 Value=587",
                             "/AUTH=0 Value=",
                             "/USERID=0 Value=",
                             "/PASS=0 Value=",
                             "/PASSX=0 Value=",
                             "/PASS3=0 Value=",
                             "/MailAgent=0 Value=",
                             "/HeloName=0 Value=",
                             "/FROM=0 Value=",
                             "/TO=0 Value=",
                             "/REPLYTO=0 Value=",
                             "/CC=0 Value=",
                             "/BCC=0 Value=",
                             "/SUBJECT=0 Value=",
                             "/BODY=0 Value=",
                             "/BODYFILE=0 Value=",
                             "/TYPE=0 Value=",
                             "/FILES=1 Value(s)=\"a b.txt\",\"x\"\"y.txt\",plain.txt"};
    EXPECT_EQ(lines, expected);
}

TEST(DebugDump, FilesAndSValues) {
    TSwitchValues sw;
    sw.Files = true;
    sw.FileEntries = {""};
    sw.S = {true, "/etc/larkpost.ini"};
    const std::string dump = DebugDump(sw);
    EXPECT_NE(dump.find("\n/S=1 Value=/etc/larkpost.ini\n"), std::string::npos);
    EXPECT_NE(dump.find("\n/FILES=1 Value(s)=\"\"\n"), std::string::npos);
    sw.FileEntries = {"a", "", "b"};
    EXPECT_NE(DebugDump(sw).find("\n/FILES=1 Value(s)=a,,b\n"), std::string::npos);
}

}  // namespace
}  // namespace larkpost

namespace larkpost {
namespace {

TEST(SMTPLog, SwitchStartsTheConnectionLogAtOnceAndExitStopsIt) {
    TRun run({"/NOS", "/LOGSMTP", "/HOST", "x"});
    bool activeDuringSend = false;
    run.shell.SendMsgClick = [&] { activeDuringSend = run.shell.LpLogFile1.Active(); };
    run.Start();
    EXPECT_TRUE(activeDuringSend);
    EXPECT_TRUE(std::filesystem::exists(run.dir.File("Larkpost_SMTP.log")));
    EXPECT_EQ(run.shell.LpLogFile1.Filename(), run.dir.File("Larkpost_SMTP.log"));
    EXPECT_FALSE(run.shell.LpLogFile1.Active());
    EXPECT_EQ(run.shell.ExitCode(), 0);
}

TEST(SMTPLog, UncheckingDoesNotStopItAndCheckingAgainKeepsItRunning) {
    TRun run({"/I", "/NOS", "/LOGSMTP"});
    run.Start();
    ASSERT_TRUE(run.shell.LpLogFile1.Active());
    run.shell.HandleEvent([&] {
        run.shell.SendSettings.SetSaveSMTPLog(false);
        EXPECT_TRUE(run.shell.LpLogFile1.Active());
        run.shell.SendSettings.SetSaveSMTPLog(true);
    });
    EXPECT_TRUE(run.shell.ActivityLog.Lines().empty());  // no exception
    EXPECT_TRUE(run.shell.LpLogFile1.Active());
    // Unchecked at exit: ExitProgram leaves it running, as the process end closes it.
    run.shell.SendSettings.SetSaveSMTPLog(false);
    run.shell.Exit1Click();
    EXPECT_TRUE(run.shell.LpLogFile1.Active());
}

}  // namespace
}  // namespace larkpost
