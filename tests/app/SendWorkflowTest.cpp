// The send workflow over the scripted SMTP server: the dialogue and the message as they leave the
// program, the activity-log lines, the return code, the cursor, and what a failed send leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

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

    std::vector<std::string> Events;
    std::vector<std::string> Status;
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

}  // namespace
}  // namespace larkpost
