// Passwords from a command: what the command's output gives, how it fails, what wins over what,
// the switch and the settings key, and a send that takes its password from a command.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "RecordingWindows.h"
#include "ScriptedSmtpServer.h"
#include "TempDir.h"
#include "app/PasswordCommand.h"
#include "app/RunState.h"
#include "app/SendWorkflow.h"
#include "app/SettingsFile.h"
#include "app/Shell.h"
#include "app/VersionInfo.h"
#include "crypto/PasswordCipher.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

std::string FailureOf(const std::string& command, int timeoutSeconds = 5) {
    try {
        RunPasswordCommand(command, timeoutSeconds);
    } catch (const ELpPasswordCommandError& e) {
        return e.what();
    }
    return "(no failure)";
}

TEST(PasswordCommand, FirstLineOfTheOutputWithoutItsLineEnd) {
    struct Case {
        const char* name;
        const char* command;
        const char* password;
    };
    const Case cases[] = {
        {"line feed dropped", "echo 's3cret pw'", "s3cret pw"},
        {"no line end at all", "printf tok", "tok"},
        {"CR LF dropped", "printf 'tok\\r\\n'", "tok"},
        {"only the first line", "printf 'one\\ntwo\\n'", "one"},
        {"blanks kept", "printf '  pw  \\n'", "  pw  "},
        {"environment", "PW=from-env; printf '%s\\n' \"$PW\"", "from-env"},
        {"pipeline", "echo abc | tr a-z A-Z", "ABC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunPasswordCommand(c.command, 5), c.password);
    }
}

TEST(PasswordCommand, FailuresNameTheCommand) {
    struct Case {
        const char* name;
        const char* command;
        const char* message;
    };
    const Case cases[] = {
        {"non-zero exit", "echo pw; exit 3",
         "Password command failed with exit code 3: echo pw; exit 3"},
        {"unknown program", "no-such-program-lp",
         "Password command failed with exit code 127: no-such-program-lp"},
        {"no output", "true", "Password command printed no password: true"},
        {"empty first line", "printf '\\nsecond\\n'",
         "Password command printed no password: printf '\\nsecond\\n'"},
        {"killed", "kill -9 $$", "Password command ended by signal 9: kill -9 $$"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(FailureOf(c.command), c.message);
        ::testing::internal::GetCapturedStderr();
    }
}

TEST(PasswordCommand, StandardErrorPassesThrough) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunPasswordCommand("echo 'unlocking keyring' >&2; echo pw", 5), "pw");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "unlocking keyring\n");
}

TEST(PasswordCommand, HangingCommandIsStoppedWithItsWholeGroupAtTheTimeOut) {
    TTempDir dir;
    // A child of the shell holds the output open too: both must go.
    const std::string command =
        "sleep 30 & echo $! > " + dir.File("child.pid") + "; echo partial; wait";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf(command, 1),
              "Password command still running after 1 seconds, stopped: " + command);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    const pid_t child = std::stoi(dir.Read("child.pid"));
    // Killed, it may stay a zombie until whoever inherited it reaps it: that counts as gone.
    bool gone = false;
    for (int i = 0; i < 50 && !gone; ++i) {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string pid, name, state;
        gone = !(stat >> pid >> name >> state) || state == "Z";
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone) << "sleep " << child << " still runs";
}

TEST(PasswordCommand, ExitedCommandIsNotWaitedForWhatItLeftBehind) {
    // The password is printed and the shell exits; a background process keeps the pipe open.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunPasswordCommand("echo pw; (sleep 3 &)", 10), "pw");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(PasswordCommand, PasswordSwitchesWinOverTheCommand) {
    struct Case {
        const char* name;
        const char* command;
        bool pass, pass3, passX;
        int auth;
        bool runs;
    };
    const Case cases[] = {
        {"command alone", "pass show relay", false, false, false, kAuthUserPass, true},
        {"SASL", "pass show relay", false, false, false, kAuthSASL, true},
        {"OAuth 2.0", "pass show relay", false, false, false, kAuthOAuth2, true},
        {"no command", "", false, false, false, kAuthUserPass, false},
        {"/PASS", "pass show relay", true, false, false, kAuthUserPass, false},
        {"/PASS3", "pass show relay", false, true, false, kAuthUserPass, false},
        {"/PASSX", "pass show relay", false, false, true, kAuthUserPass, false},
        {"no authentication", "pass show relay", false, false, false, kAuthNone, false},
        {"no entry selected", "pass show relay", false, false, false, kAuthNoEntry, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSendSettings settings;
        settings.SetPassword("stored Password3");
        settings.SetPasswordCommand(c.command);
        settings.SetAuthType(c.auth == kAuthNoEntry ? 9 : c.auth);
        TSwitchValues sw;
        sw.Pass.Present = c.pass;
        sw.Pass3.Present = c.pass3;
        sw.PassX.Present = c.passX;
        EXPECT_EQ(UsesPasswordCommand(settings, sw), c.runs);
    }
}

TEST(PasswordCommand, SwitchAndSettingsKey) {
    // The switch: taken in any case, shown in the debug dump, and it ends a /FILES list.
    TLpArgs args = {"larkpost", "/FILES", "a.txt", "-passcmd", "pass show mail/relay", "/LOG"};
    TSwitchValues sw;
    TSendSettings settings;
    ReadCmdLineSettings(args, sw, settings);
    EXPECT_EQ(settings.PasswordCommand(), "pass show mail/relay");
    EXPECT_EQ(settings.Files(), Lines{"a.txt"});
    const std::string dump = DebugDump(sw);
    EXPECT_NE(dump.find("\n/PASSCMD=1 Value=pass show mail/relay"), std::string::npos) << dump;

    // The key: read, skipped under a present switch, written only when set.
    TTempDir dir;
    RunState = TRunState{};
    RunState.ExeDir = dir.Dir();
    RunState.SettingsPath = dir.File("Larkpost.ini");
    dir.Write("Larkpost.ini", "[Larkpost]\nPasswordCommand=secret-tool lookup smtp relay\n");
    TLpShell shell({"larkpost"});
    ReadINISettings(shell);
    EXPECT_EQ(shell.SendSettings.PasswordCommand(), "secret-tool lookup smtp relay");

    TLpShell withSwitch({"larkpost"});
    withSwitch.SwitchValues.PassCmd = {true, "printenv SMTP_PASSWORD"};
    withSwitch.SendSettings.SetPasswordCommand("printenv SMTP_PASSWORD");
    ReadINISettings(withSwitch);
    EXPECT_EQ(withSwitch.SendSettings.PasswordCommand(), "printenv SMTP_PASSWORD");

    WriteINISettings(shell);
    EXPECT_NE(dir.Read("Larkpost.ini").find("\nPasswordCommand=secret-tool lookup smtp relay\n"),
              std::string::npos);
    shell.SendSettings.SetPasswordCommand("");
    WriteINISettings(shell);
    EXPECT_EQ(dir.Read("Larkpost.ini").find("PasswordCommand"), std::string::npos)
        << "a file saved without a command looks as it always did";
    RunState = TRunState{};
}

using TQuietWindows = TBoxRecordingWindows;

struct TCommandSend {
    TCommandSend() : shell(TLpArgs{"larkpost"}), workflow(shell) {
        RunState = TRunState{};
        shell.SetWindows(&windows);
        shell.ActivityLog.Clock = [] { return std::string("TS"); };
        TSendSettings& s = shell.SendSettings;
        s.SetHost("127.0.0.1");
        s.SetTimeout("5");
        s.SetFromAddr("sender@example.test");
        s.SetTo("to@example.test");
        s.SetAuthType(kAuthUserPass);
        s.SetUserID("ann");
        s.SetPassword("stored pw");
    }
    TLpShell shell;
    TLpSendWorkflow workflow;
    TQuietWindows windows;
};

TEST(PasswordCommand, SendLogsInWithTheCommandsPasswordAndKeepsTheStoredOne) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("EHLO Larkpostv" + GetVersionNumber() + "\r\n"),
        S("250-mx.test\r\n250 AUTH LOGIN\r\n"),
        C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"),
        C("YW5u\r\n"), S("334 UGFzc3dvcmQ6\r\n"),
        C("ZnJvbSBjb21tYW5k\r\n"),  // "from command"
        S("535 5.7.8 no\r\n"),
    });
    TCommandSend send;
    send.shell.SendSettings.SetPort(std::to_string(server.Port()));
    send.shell.SendSettings.SetPasswordCommand("echo 'from command'");
    ::testing::internal::CaptureStderr();
    send.shell.SendMsgClick();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(send.shell.ActivityLog.Lines()[1], "TS Password taken from the password command.");
    EXPECT_EQ(send.shell.SendSettings.Password(), "stored pw") << "Save must not store it";
}

TEST(PasswordCommand, FailedCommandEndsTheRunBeforeAnyConnection) {
    TCommandSend send;
    send.shell.SendSettings.SetPort("1");  // nothing is listening; nothing may be tried either
    send.shell.SendSettings.SetPasswordCommand("exit 4");
    ::testing::internal::CaptureStderr();
    send.shell.SendMsgClick();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(RunState.ReturnCode, 1);
    EXPECT_EQ(err, "larkpost: Password command failed with exit code 4: exit 4\n");
    EXPECT_EQ(send.shell.ActivityLog.Lines(),
              (Lines{"", "TS Exception: ELpPasswordCommandError Password command failed with "
                         "exit code 4: exit 4",
                     send.shell.ActivityLog.Lines().back()}));
}

}  // namespace
}  // namespace larkpost
