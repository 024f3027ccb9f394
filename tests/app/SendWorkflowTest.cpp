// The send workflow over the scripted SMTP server: the dialogue and the message as they leave the
// program, the activity-log lines, the return code, the cursor, and what a failed send leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ScriptedSmtpServer.h"
#include "app/RunState.h"
#include "app/SendWorkflow.h"
#include "app/Shell.h"
#include "app/VersionInfo.h"
#include "mail/Message.h"

namespace larkpost {
namespace {

class TRecordingWindows : public ILpWindows {
public:
    void Run() override {}
    void Terminate() override { Events.push_back("terminate"); }
    void ShowHelp() override {}
    void ShowAbout() override {}
    void ShowMessage(const std::string& t) override { Events.push_back("message:" + t); }
    void ShowInformation(const std::string& t) override { Events.push_back("information:" + t); }
    void ShowError(const std::string& t) override { Events.push_back("error:" + t); }
    bool RevealMainWindow(bool) override { return true; }
    void SetStatusText(const std::string& t) override { Status.push_back(t); }
    void SetBusyCursor(bool busy) override { Events.push_back(busy ? "cursor:busy" : "cursor:default"); }
    void OpenWithShell(const std::string&) override {}
    void ShowProgress(const TLpSendProgress& p) override {
        Progress.push_back(p);
        if (OnProgress) OnProgress(p);
    }

    std::vector<std::string> Events;
    std::vector<std::string> Status;
    std::vector<TLpSendProgress> Progress;
    std::function<void(const TLpSendProgress&)> OnProgress;
};

using Lines = std::vector<std::string>;

// 5 March 2026 14:03:09 UTC.
const auto kSendTime = std::chrono::system_clock::time_point(std::chrono::seconds(1772719389));

struct TSend {
    explicit TSend(bool interactive = false) : shell(TLpArgs{"larkpost"}), workflow(shell) {
        RunState = TRunState{};
        RunState.Interactive = interactive;
        shell.SetWindows(&windows);
        shell.ActivityLog.Clock = [] { return std::string("TS"); };
        workflow.Clock = [] { return kSendTime; };
        TSendSettings& s = shell.SendSettings;
        s.SetHost("127.0.0.1");
        s.SetTimeout("5");
        s.SetFromName("Sender");
        s.SetFromAddr("sender@example.test");
        s.SetTo("to@example.test");
        s.SetSubject("Hello");
        s.SetBody({"first line", ".second line"});
    }
    void UsePort(uint16_t port) { shell.SendSettings.SetPort(std::to_string(port)); }

    TLpShell shell;
    TLpSendWorkflow workflow;
    TRecordingWindows windows;
};

std::string Hello() {
    return "EHLO Larkpostv" + GetVersionNumber() + "\r\n";
}

// The single-part message the settings of TSend make; its body format is the one under test.
std::string Message(const std::string& mediaType,
                    const std::string& mailerLine = "X-Mailer: Larkpost " + GetVersionText()) {
    return "From: \"Sender\" <sender@example.test>\r\n"
           "Subject: Hello\r\n"
           "To: to@example.test\r\n"
           "MIME-Version: 1.0\r\n"
           "Date: " + TLpMessage::FormatMailDate(kSendTime) + "\r\n"
           + mailerLine + "\r\n"
           "Content-Type: " + mediaType + "; charset=\"UTF-8\"\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n"
           "Content-Disposition: inline\r\n"
           "\r\n"
           "first line\r\n"
           "=2Esecond line\r\n"
           "\r\n"
           ".\r\n";
}

std::vector<ScriptStep> Dialogue(const std::string& message, std::vector<ScriptStep> recipients) {
    std::vector<ScriptStep> steps = {
        S("220 mx.test ESMTP\r\n"),
        C(Hello()),
        S("250-mx.test\r\n250 8BITMIME\r\n"),
        C("MAIL FROM:<sender@example.test>\r\n"),
        S("250 2.1.0 Ok\r\n"),
    };
    steps.insert(steps.end(), recipients.begin(), recipients.end());
    const std::vector<ScriptStep> rest = {
        C("DATA\r\n"),  S("354 go ahead\r\n"),
        C(message),     S("250 2.0.0 queued\r\n"),
        C("QUIT\r\n"),  S("221 2.0.0 Bye\r\n"),
    };
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

TEST(SendWorkflow, SendsWhatTheSettingsSayAndLogsEveryStep) {
    struct Case {
        const char* name;
        int contentType;
        const char* mediaType;
    };
    // No format selected (a run with /NOS and no /TYPE) sends the body as text, not nothing.
    const Case cases[] = {
        {"no format selected", kContentTypeNone, "text/plain"},
        {"text", kContentTypeText, "text/plain"},
        {"html", kContentTypeHtml, "text/html"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(
            Dialogue(Message(c.mediaType), {C("RCPT TO:<to@example.test>\r\n"), S("250 2.1.5 Ok\r\n")}));
        TSend send;
        send.shell.SendSettings.SetContentType(c.contentType);
        // Only the low 16 bits of the port count.
        send.shell.SendSettings.SetPort(std::to_string(server.Port() + 65536));
        RunState.ReturnCode = 7;

        send.shell.SendMsgClick();

        EXPECT_EQ(server.Finish(), "");
        EXPECT_EQ(RunState.ReturnCode, 0);
        EXPECT_EQ(send.shell.ActivityLog.Lines(),
                  (Lines{"", "TS Connecting to 127.0.0.1.", "TS Connected.",
                         "TS SMTP connection to 127.0.0.1 successful", "TS Encoding text",
                         "TS Disconnecting.", "TS SMTP disconnected from 127.0.0.1",
                         "TS Disconnected.", "TS Message sent successfully."}));
        EXPECT_EQ(send.windows.Events, (Lines{"cursor:busy", "cursor:default"}));
        EXPECT_EQ(send.windows.Status.back(), "Disconnected.");
        EXPECT_FALSE(send.workflow.LpSMTP1.IsConnected());
    }
}

TEST(SendWorkflow, RefusedRecipientIsLoggedAndTheOthersStillGetTheMessage) {
    ScriptedSmtpServer server(Dialogue(Message("text/plain"), {
        C("RCPT TO:<to@example.test>\r\n"),   S("250 2.1.5 Ok\r\n"),
        C("RCPT TO:<gone@example.test>\r\n"), S("550 5.1.1 <gone@example.test>: no such user\r\n"),
    }));
    TSend send(true);
    send.UsePort(server.Port());
    send.shell.SendSettings.SetBcc("gone@example.test");

    send.shell.SendMsgClick();

    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(RunState.ReturnCode, 0);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[4], "TS <gone@example.test>: no such user");
    EXPECT_EQ(log.back(), "TS Message sent successfully.");
    // Interactive: the box, and the cursor back to default before it.
    EXPECT_EQ(send.windows.Events,
              (Lines{"cursor:busy", "cursor:default", "information:Message sent successfully."}));
}

TEST(SendWorkflow, FailureEndsInAppExceptionAndTheNextSendClosesTheLeftoverConnection) {
    ScriptedSmtpServer first({
        S("220 mx.test ESMTP\r\n"),
        C(Hello()), S("250 mx.test\r\n"),
        C("MAIL FROM:<sender@example.test>\r\n"), S("553 5.7.1 sender rejected\r\n"),
        // The second send's first step.
        C("QUIT\r\n"), S("221 Bye\r\n"),
    });
    ScriptedSmtpServer second(Dialogue(Message("text/plain"),
                                       {C("RCPT TO:<to@example.test>\r\n"), S("250 Ok\r\n")}));
    TSend send(true);
    send.UsePort(first.Port());

    send.shell.SendMsgClick();

    EXPECT_EQ(RunState.ReturnCode, 1);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "TS Exception: ELpSMTPReplyError sender rejected. ");
    EXPECT_EQ(log.back().rfind("TS Exception: ", 0), 0u);
    EXPECT_EQ(send.windows.Events, (Lines{"cursor:busy", "cursor:default", "error:sender rejected\r\n"}));
    // Left as the failure left it, for the next send to close.
    EXPECT_TRUE(send.workflow.LpSMTP1.IsConnected());

    send.UsePort(second.Port());
    send.windows.Events.clear();
    send.shell.SendMsgClick();

    EXPECT_EQ(first.Finish(), "");
    EXPECT_EQ(second.Finish(), "");
    EXPECT_EQ(RunState.ReturnCode, 0);
    EXPECT_EQ(send.shell.ActivityLog.Lines().back(), "TS Message sent successfully.");
}

// A server that hangs up right after its EHLO reply has taken nothing: a failure with its reason,
// never the quiet end that left the return code at 0.
TEST(SendWorkflow, AServerThatClosesAfterItsHelloFailsTheSend) {
    ScriptedSmtpServer server(
        {S("220 mx.test ESMTP\r\n"), C(Hello()), S("250 mx.test\r\n"), CloseNow()});
    TSend send;
    send.UsePort(server.Port());

    ::testing::internal::CaptureStderr();
    send.shell.SendMsgClick();
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(RunState.ReturnCode, 1);
    EXPECT_TRUE(send.shell.Terminated());
    EXPECT_EQ(err.rfind("larkpost: ", 0), 0u) << err;
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 2u);
    // The close may also be seen by the first write after the hello (a reset).
    const Lines reasons = {
        "TS Exception: ELpConnClosedGracefully Connection Closed Gracefully.",
        "TS Exception: ELpSocketError Socket Error # 10054. Connection reset by peer.",
        "TS Exception: ELpSocketError Socket Error # 10058. Cannot send or receive after socket "
        "is closed."};
    EXPECT_NE(std::find(reasons.begin(), reasons.end(), log[log.size() - 2]), reasons.end())
        << log[log.size() - 2];
    EXPECT_EQ(std::count(log.begin(), log.end(), "TS Message sent successfully."), 0);
}

TEST(SendWorkflow, SettingsThatAreNoNumbersFailBeforeConnecting) {
    struct Case {
        const char* name;
        const char* port;
        const char* timeout;
        const char* message;
    };
    const Case cases[] = {
        {"port", "smtp", "30", "ELpConvertError 'smtp' is not a valid integer value"},
        {"time-out", "25", "half a minute", "ELpConvertError 'half a minute' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSend send;
        send.shell.SendSettings.SetPort(c.port);
        send.shell.SendSettings.SetTimeout(c.timeout);
        ::testing::internal::CaptureStderr();
        send.shell.SendMsgClick();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(RunState.ReturnCode, 1);
        const Lines& log = send.shell.ActivityLog.Lines();
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[1], std::string("TS Exception: ") + c.message);
        // Unattended: the reason on standard error and the end of the run.
        EXPECT_NE(err.find("is not a valid integer value"), std::string::npos) << err;
        EXPECT_EQ(send.windows.Events, (Lines{"cursor:busy", "cursor:default", "terminate"}));
    }
}

TEST(SendWorkflow, NamesTheServerSeesAndTheMailAgent) {
    struct Case {
        const char* name;
        const char* heloField;
        const char* agentField;
        std::string hello;
        std::string agent;
    };
    const Case cases[] = {
        {"given", "client.test", "Batch job 7", "EHLO client.test\r\n", "X-Mailer: Batch job 7"},
        // A lone space is not empty, so it is the mail agent, not the default.
        {"blank agent", "", " ", Hello(), "X-Mailer:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server({
            S("220 mx.test ESMTP\r\n"),
            C(c.hello), S("250 mx.test\r\n"),
            C("MAIL FROM:<sender@example.test>\r\n"), S("250 Ok\r\n"),
            C("RCPT TO:<to@example.test>\r\n"), S("250 Ok\r\n"),
            C("DATA\r\n"), S("354 go ahead\r\n"),
            C(Message("text/plain", c.agent)), S("250 queued\r\n"),
            C("QUIT\r\n"), S("221 Bye\r\n"),
        });
        TSend send;
        send.UsePort(server.Port());
        send.shell.SendSettings.SetContentType(kContentTypeText);
        send.shell.SendSettings.SetHeloName(c.heloField);
        send.shell.SendSettings.SetMailAgent(c.agentField);
        send.shell.SendMsgClick();
        EXPECT_EQ(server.Finish(), "");
        EXPECT_EQ(RunState.ReturnCode, 0);
        EXPECT_EQ(send.workflow.LpSMTP1.MailAgent(), c.agentField);
    }
}

// ---- Retries ----------------------------------------------------------------------------------

std::vector<ScriptStep> Steps(std::initializer_list<std::vector<ScriptStep>> parts) {
    std::vector<ScriptStep> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<ScriptStep> UpToData() {
    return {
        S("220 mx.test ESMTP\r\n"),
        C(Hello()), S("250 mx.test\r\n"),
        C("MAIL FROM:<sender@example.test>\r\n"), S("250 Ok\r\n"),
        C("RCPT TO:<to@example.test>\r\n"), S("250 Ok\r\n"),
        C("DATA\r\n"), S("354 go ahead\r\n"),
    };
}

// A whole send that succeeds, the message taken whatever its bytes.
std::vector<ScriptStep> Accepting() {
    return Steps({UpToData(), {CUntil("\r\n.\r\n"), S("250 2.0.0 queued\r\n"),
                               C("QUIT\r\n"), S("221 Bye\r\n")}});
}

// The activity log's texts that say which attempt this is or what came of it.
Lines AttemptLines(const Lines& log) {
    Lines out;
    for (const std::string& line : log)
        for (const char* text : {"TS Attempt ", "TS Waiting ", "TS Message sent", "TS Send cancelled",
                                 "TS Exception: ELp"})
            if (line.rfind(text, 0) == 0) out.push_back(line);
    return out;
}

// An attachment large enough that the client is still writing when the server stops reading.
struct TBigFile {
    TBigFile() {
        path = (std::filesystem::temp_directory_path() /
                ("larkpost-big-" + std::to_string(::getpid()) + ".bin")).string();
        std::ofstream(path, std::ios::binary) << std::string(12 << 20, 'x');
    }
    ~TBigFile() { std::filesystem::remove(path); }
    std::string path;
};

TEST(SendRetry, TransientFailuresAreTriedAgainFromANewConnection) {
    struct Case {
        const char* name;
        std::vector<ScriptStep> first;
        Lines log;
        std::string err;
    };
    const std::string message = Message("text/plain");
    const Lines attempt2 = {"TS Waiting 1 second before attempt 2 of 3.", "TS Attempt 2 of 3.",
                            "TS Message sent successfully."};
    const Case cases[] = {
        {"4xx at MAIL",
         {S("220 mx.test ESMTP\r\n"), C(Hello()), S("250 mx.test\r\n"),
          C("MAIL FROM:<sender@example.test>\r\n"), S("451 4.3.0 busy\r\n"),
          C("QUIT\r\n"), S("221 Bye\r\n")},
         {"TS Attempt 1 of 3.", "TS Exception: ELpSMTPReplyError busy. "},
         "larkpost: busy. (attempt 1 of 3; next attempt in 1 second)\n"},
        {"4xx at RCPT",
         {S("220 mx.test ESMTP\r\n"), C(Hello()), S("250 mx.test\r\n"),
          C("MAIL FROM:<sender@example.test>\r\n"), S("250 Ok\r\n"),
          C("RCPT TO:<to@example.test>\r\n"), S("450 4.2.1 mailbox busy\r\n"),
          C("RSET\r\n"), S("250 Ok\r\n"), C("QUIT\r\n"), S("221 Bye\r\n")},
         {"TS Attempt 1 of 3.", "TS Exception: ELpSMTPReplyError mailbox busy. "},
         "larkpost: mailbox busy. (attempt 1 of 3; next attempt in 1 second)\n"},
        {"4xx at the end of data",
         Steps({UpToData(), {C(message), S("451 4.3.0 try again later\r\n"), C("RSET\r\n"),
                             S("250 Ok\r\n"), C("QUIT\r\n"), S("221 Bye\r\n")}}),
         {"TS Attempt 1 of 3.", "TS Exception: ELpSMTPReplyError try again later. "},
         "larkpost: try again later. (attempt 1 of 3; next attempt in 1 second)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(Steps({c.first, {NextConnection()}, Accepting()}));
        TSend send;
        send.UsePort(server.Port());
        send.shell.SendSettings.SetRetries("2");
        send.shell.SendSettings.SetRetryWait("1");
        send.workflow.RetryWaitUnit = std::chrono::milliseconds(1);

        ::testing::internal::CaptureStderr();
        send.shell.SendMsgClick();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);

        EXPECT_EQ(server.Finish(), "");
        EXPECT_EQ(RunState.ReturnCode, 0);
        Lines expected = c.log;
        expected.insert(expected.end(), attempt2.begin(), attempt2.end());
        EXPECT_EQ(AttemptLines(send.shell.ActivityLog.Lines()), expected);
        EXPECT_EQ(send.windows.Events.back(), "cursor:default");
    }
}

TEST(SendRetry, ADropInTheMiddleOfTheDataIsTriedAgain) {
    TBigFile big;
    ScriptedSmtpServer server(Steps({UpToData(), {Delay(300), CloseNow(), NextConnection()}, Accepting()}),
                              {.stepTimeoutMs = 10000});
    TSend send;
    send.UsePort(server.Port());
    send.shell.SendSettings.AddFile(big.path);
    send.shell.SendSettings.SetRetries("1");
    send.shell.SendSettings.SetRetryWait("0");
    ::testing::internal::CaptureStderr();
    send.shell.SendMsgClick();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(RunState.ReturnCode, 0) << err;
    const Lines lines = AttemptLines(send.shell.ActivityLog.Lines());
    ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "TS Attempt 1 of 2.");
    // A reset or a closed connection, whichever the client meets first.
    EXPECT_EQ(lines[1].rfind("TS Exception: ELp", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "TS Waiting 0 seconds before attempt 2 of 2.");
    EXPECT_EQ(lines[3], "TS Attempt 2 of 2.");
    EXPECT_EQ(lines[4], "TS Message sent successfully.");
}

TEST(SendRetry, PermanentFailuresAndAMessagePerhapsDeliveredAreNotTriedAgain) {
    struct Case {
        const char* name;
        std::vector<ScriptStep> script;
        const char* retries;
        const char* retryWait;
        Lines log;
        std::string err;
    };
    const std::string uncertain =
        "The connection to 127.0.0.1 failed after the end of the message was sent and before the "
        "server's reply (Connection Closed Gracefully.); the message may have been delivered, so "
        "it is not sent again.";
    const Case cases[] = {
        {"5xx", Steps({{S("220 mx.test ESMTP\r\n"), C(Hello()), S("250 mx.test\r\n"),
                        C("MAIL FROM:<sender@example.test>\r\n"), S("550 5.7.1 denied\r\n")}}),
         "2", "1", {"TS Attempt 1 of 3.", "TS Exception: ELpSMTPReplyError denied. "},
         "larkpost: sending through <peer> failed: denied.\n"},
        {"connection lost after the end of data",
         Steps({UpToData(), {C(Message("text/plain")), CloseNow()}}), "2", "1",
         {"TS Attempt 1 of 3.", "TS Exception: ELpDeliveryUncertain " + uncertain},
         "larkpost: " + uncertain + "\n"},
        // The last attempt says so too.
        {"4xx, then the connection lost after the end of data",
         Steps({{S("220 mx.test ESMTP\r\n"), C(Hello()), S("250 mx.test\r\n"),
                 C("MAIL FROM:<sender@example.test>\r\n"), S("421 4.3.2 shutting down\r\n"),
                 C("QUIT\r\n"), S("221 Bye\r\n"), NextConnection()},
                UpToData(), {C(Message("text/plain")), CloseNow()}}),
         "1", "1",
         {"TS Attempt 1 of 2.", "TS Exception: ELpSMTPReplyError shutting down. ",
          "TS Waiting 1 second before attempt 2 of 2.", "TS Attempt 2 of 2.",
          "TS Exception: ELpDeliveryUncertain " + uncertain},
         "larkpost: shutting down. (attempt 1 of 2; next attempt in 1 second)\n"
         "larkpost: " + uncertain + "\n"},
        {"a bad setting", {}, "2", "soon", {"TS Exception: ELpConvertError 'soon' is not a valid integer value"},
         "larkpost: 'soon' is not a valid integer value\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(c.script, {.acceptTimeoutMs = c.script.empty() ? 1 : 10000, .closeWaitMs = 100});
        TSend send;
        send.UsePort(server.Port());
        send.shell.SendSettings.SetRetries(c.retries);
        send.shell.SendSettings.SetRetryWait(c.retryWait);
        send.workflow.RetryWaitUnit = std::chrono::milliseconds(1);
        ::testing::internal::CaptureStderr();
        send.shell.SendMsgClick();
        // The reason names the stage and the peer, unless it names the server itself.
        std::string err = c.err;
        if (const size_t at = err.find("<peer>"); at != std::string::npos)
            err.replace(at, 6, "127.0.0.1 port " + std::to_string(server.Port()));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), err);
        if (!c.script.empty()) {
            EXPECT_EQ(server.Finish(), "");
        }
        EXPECT_EQ(RunState.ReturnCode, 1);
        EXPECT_EQ(AttemptLines(send.shell.ActivityLog.Lines()), c.log);
    }
}

TEST(SendRetry, WaitsDoubleUpToAnHourAndTheLastAttemptDecides) {
    EXPECT_EQ(RetryWaitSeconds(30, 1), 30);
    EXPECT_EQ(RetryWaitSeconds(30, 2), 60);
    EXPECT_EQ(RetryWaitSeconds(30, 8), 3600);
    EXPECT_EQ(RetryWaitSeconds(3000, 2), 3600);
    EXPECT_EQ(RetryWaitSeconds(1, 1000), 3600);
    EXPECT_EQ(RetryWaitSeconds(0, 5), 0);

    // Nothing listens: every attempt fails to connect.
    TSend send;
    const auto port = ScriptedSmtpServer::UnusedPort();
    send.UsePort(port);
    send.shell.SendSettings.SetRetries("3");
    send.shell.SendSettings.SetRetryWait("1000");
    send.workflow.RetryWaitUnit = std::chrono::microseconds(1);
    ::testing::internal::CaptureStderr();
    send.shell.SendMsgClick();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(RunState.ReturnCode, 1);
    Lines waits;
    for (const std::string& line : AttemptLines(send.shell.ActivityLog.Lines()))
        if (line.rfind("TS Waiting", 0) == 0) waits.push_back(line);
    EXPECT_EQ(waits, (Lines{"TS Waiting 1000 seconds before attempt 2 of 4.",
                            "TS Waiting 2000 seconds before attempt 3 of 4.",
                            "TS Waiting 3600 seconds before attempt 4 of 4."}));
    const std::string refused = "larkpost: Socket Error # 10061. Connection refused.";
    EXPECT_EQ(err, refused + " (attempt 1 of 4; next attempt in 1000 seconds)\n" + refused +
                       " (attempt 2 of 4; next attempt in 2000 seconds)\n" + refused +
                       " (attempt 3 of 4; next attempt in 3600 seconds)\n" +
                       "larkpost: cannot connect to 127.0.0.1 port " + std::to_string(port) +
                       ": Socket Error # 10061. Connection refused.\n");
}

TEST(SendRetry, TheWaitLastsRetryWaitSeconds) {
    TSend send;
    send.UsePort(ScriptedSmtpServer::UnusedPort());
    send.shell.SendSettings.SetRetries("1");
    send.shell.SendSettings.SetRetryWait("1");
    ::testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    send.shell.SendMsgClick();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::testing::internal::GetCapturedStderr();
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 5);
}

// ---- Progress and cancel ------------------------------------------------------------------------

TEST(SendProgress, RisesToOneAndCountsWhatTheServerReceived) {
    TBigFile big;
    ScriptedSmtpServer server(Accepting());
    TSend send;
    send.UsePort(server.Port());
    send.shell.SendSettings.AddFile(big.path);
    send.workflow.ProgressInterval = std::chrono::milliseconds(0);
    send.shell.SendMsgClick();
    ASSERT_EQ(server.Finish(), "");
    ASSERT_EQ(RunState.ReturnCode, 0);

    const std::string received = server.Received();
    const size_t start = received.find("DATA\r\n") + 6;
    const size_t end = received.find("\r\n.\r\n", start) + 5;
    const auto messageSize = static_cast<int64_t>(end - start);
    const auto& reports = send.windows.Progress;
    ASSERT_GE(reports.size(), 2u);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].Fraction, reports[i - 1].Fraction);
        EXPECT_GE(reports[i].BytesSent, reports[i - 1].BytesSent);
    }
    // The estimate is an upper bound, and a close one.
    EXPECT_GE(reports.front().BytesTotal, messageSize);
    EXPECT_LT(reports.front().BytesTotal, messageSize + 4096);
    EXPECT_TRUE(reports.back().Done);
    EXPECT_EQ(reports.back().Fraction, 1);
    EXPECT_EQ(reports.back().BytesSent, messageSize);
    EXPECT_EQ(reports.back().BytesTotal, messageSize);
    for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_FALSE(reports[i].Done);
}

TEST(SendCancel, StopsAtOnceWithoutTheEndOfDataAndTheNextSendWorks) {
    struct Case {
        const char* name;
        // Whether the cancel comes while the client is blocked writing to a server that does not
        // read, or from the progress report (the socket still takes data).
        bool blocked;
    };
    for (const Case c : {Case{"blocked in a write", true}, Case{"from a progress report", false}}) {
        SCOPED_TRACE(c.name);
        TBigFile big;
        ScriptedSmtpServer slow(Steps({UpToData(), {Delay(c.blocked ? 1500 : 0), Silent(5000)}}));
        TSend send;
        send.UsePort(slow.Port());
        send.shell.SendSettings.AddFile(big.path);
        std::thread canceller;
        if (c.blocked) {
            canceller = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                send.workflow.CancelSend();
            });
        } else {
            send.workflow.ProgressInterval = std::chrono::milliseconds(0);
            send.windows.OnProgress = [&](const TLpSendProgress& p) {
                if (p.BytesSent > (1 << 20)) send.workflow.CancelSend();
            };
        }
        ::testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        send.shell.SendMsgClick();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "larkpost: Send cancelled by the user.\n");
        if (canceller.joinable()) canceller.join();
        if (c.blocked) {
            EXPECT_LT(took, std::chrono::milliseconds(1400)) << "not once the server read";
        }

        EXPECT_EQ(slow.Finish(), "");
        EXPECT_EQ(slow.Received().find("\r\n.\r\n"), std::string::npos);
        EXPECT_EQ(RunState.ReturnCode, 1);
        const Lines& log = send.shell.ActivityLog.Lines();
        EXPECT_EQ(log.back(), "TS Send cancelled by the user.");
        for (const std::string& line : log) EXPECT_EQ(line.find("Exception"), std::string::npos) << line;
        for (const std::string& event : send.windows.Events) EXPECT_EQ(event.rfind("error:", 0), std::string::npos);
        EXPECT_TRUE(send.windows.Progress.back().Done);
        EXPECT_FALSE(send.workflow.LpSMTP1.IsConnected());

        ScriptedSmtpServer next(Dialogue(Message("text/plain"), {C("RCPT TO:<to@example.test>\r\n"), S("250 Ok\r\n")}));
        send.UsePort(next.Port());
        send.shell.SendSettings.ClearFiles();
        send.windows.OnProgress = nullptr;
        send.shell.SendMsgClick();
        EXPECT_EQ(next.Finish(), "");
        EXPECT_EQ(RunState.ReturnCode, 0);
    }
}

TEST(SendCancel, EndsAWaitForARetry) {
    TSend send;
    send.UsePort(ScriptedSmtpServer::UnusedPort());
    send.shell.SendSettings.SetRetries("1");
    send.shell.SendSettings.SetRetryWait("60");
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        send.workflow.CancelSend();
    });
    ::testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    send.shell.SendMsgClick();
    const auto took = std::chrono::steady_clock::now() - start;
    ::testing::internal::GetCapturedStderr();
    canceller.join();
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(RunState.ReturnCode, 1);
    const Lines lines = AttemptLines(send.shell.ActivityLog.Lines());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "TS Waiting 60 seconds before attempt 2 of 2.");
    EXPECT_EQ(lines.back(), "TS Send cancelled by the user.");
}

}  // namespace
}  // namespace larkpost
