// Connection security and certificate checks as settings: the switches, the settings-file keys,
// and what a send with each mode puts on the wire (the scripted server, byte for byte).
#include <gtest/gtest.h>

#include <chrono>

#include "RecordingWindows.h"
#include "ScriptedSmtpServer.h"
#include "TempDir.h"
#include "app/Conversions.h"
#include "app/RunState.h"
#include "app/SendWorkflow.h"
#include "app/SettingsFile.h"
#include "app/Shell.h"
#include "app/Switches.h"
#include "app/VersionInfo.h"
#include "net/SSLOptions.h"
#include "mail/Message.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

TLpArgs Args(std::initializer_list<const char*> rest) {
    TLpArgs args{"/opt/larkpost/larkpost"};
    for (const char* a : rest) args.emplace_back(a);
    return args;
}

using TQuietWindows = TBoxRecordingWindows;

TEST(ConnectionSecuritySwitch, NamesNumbersAndErrors) {
    struct Case {
        const char* name;
        TLpArgs args;
        int mode;
    };
    const Case cases[] = {
        {"absent", Args({"/HOST", "h"}), kUseTLSNotChosen},
        {"NONE", Args({"/TLS", "NONE"}), kUseTLSNone},
        {"implicit, lower case, dash", Args({"-tls", "implicit"}), kUseTLSImplicit},
        {"Required", Args({"/Tls", "Required"}), kUseTLSRequired},
        {"AUTO", Args({"/TLS", "AUTO"}), kUseTLSAuto},
        {"number 0", Args({"/TLS", "0"}), kUseTLSNone},
        {"number 2", Args({"/TLS", "2"}), kUseTLSRequired},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(c.args, sw, s);
        EXPECT_EQ(s.UseTLS(), c.mode);
    }
    for (const char* bad : {"4", "-1", "STARTTLS", "01"}) {
        SCOPED_TRACE(bad);
        TSwitchValues sw;
        TSendSettings s;
        try {
            ReadCmdLineSettings(Args({"/HOST", "mail1", "/TLS", bad}), sw, s);
            ADD_FAILURE() << "no error";
        } catch (const ELpConvertError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Unknown connection security \"") + bad +
                                                 "\" for /TLS: use NONE, IMPLICIT, REQUIRED or "
                                                 "AUTO (or 0 to 3).");
        }
        EXPECT_EQ(s.Host(), "mail1");
    }
    // /TLS ends an attachment list, and the debug dump shows it after the specified lines.
    TSwitchValues sw;
    TSendSettings s;
    ReadCmdLineSettings(Args({"/FILES", "a.txt", "/TLS", "required"}), sw, s);
    EXPECT_EQ(sw.FileEntries, Lines{"a.txt"});
    const std::string dump = DebugDump(sw);
    EXPECT_NE(dump.find("\n/TLS=1 Value=required\n"), std::string::npos) << dump;
}

TEST(CertificateSwitches, VerifyCAFileAndFingerprint) {
    {
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(Args({"/HOST", "h"}), sw, s);
        EXPECT_FALSE(s.VerifyCertificate());
        const std::string dump = DebugDump(sw);
        EXPECT_NE(dump.find("\n/VERIFY=0\n/CAFILE=0 Value=\n/FINGERPRINT=0 Value="),
                  std::string::npos)
            << dump;
    }
    {
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(Args({"-verify", "/FINGERPRINT", "sha256:AB:cd"}), sw, s);
        EXPECT_TRUE(s.VerifyCertificate());
        EXPECT_EQ(s.CAFile(), "");
        EXPECT_EQ(s.CertificateFingerprint(), "sha256:AB:cd") << "checked when a send uses it";
    }
    {
        // Naming the authorities to trust turns the check on; the path's references expand.
        setenv("LARKPOST_TEST_CA_DIR", "/etc/corp", 1);
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(Args({"/FILES", "a.txt", "/CAFILE", "%LARKPOST_TEST_CA_DIR%/ca.pem"}),
                            sw, s);
        EXPECT_EQ(sw.FileEntries, Lines{"a.txt"});
        EXPECT_TRUE(s.VerifyCertificate());
        EXPECT_EQ(s.CAFile(), "/etc/corp/ca.pem");
        const std::string dump = DebugDump(sw);
        EXPECT_NE(dump.find("\n/VERIFY=0\n/CAFILE=1 Value=/etc/corp/ca.pem\n"), std::string::npos)
            << dump;
    }
}

TEST(CertificateFingerprint, AcceptedFormsAndRefusals) {
    const std::string hex = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";
    const std::string colons = ColonFingerprint(hex);
    EXPECT_EQ(colons.substr(0, 12), "A1:B2:C3:D4:");
    EXPECT_EQ(colons.size(), 95u);
    for (const std::string& text : {hex, colons, "sha256:" + colons, "SHA256:" + hex,
                                    "SHA256 Fingerprint=" + colons}) {
        SCOPED_TRACE(text);
        std::string out;
        ASSERT_TRUE(NormalizeSha256Fingerprint(text, out));
        EXPECT_EQ(out, hex);
    }
    for (const std::string& text : {hex.substr(2), hex + "00", "sha1:" + hex, hex.substr(1) + "g",
                                    std::string()}) {
        SCOPED_TRACE(text);
        std::string out;
        EXPECT_FALSE(NormalizeSha256Fingerprint(text, out));
    }
}

TEST(ConnectionSecurity, NoChoiceFollowsThePort) {
    struct Case {
        int chosen;
        const char* port;
        int effective;
    };
    const Case cases[] = {
        {kUseTLSNotChosen, "25", kUseTLSAuto},
        {kUseTLSNotChosen, "587", kUseTLSAuto},
        {kUseTLSNotChosen, "465", kUseTLSImplicit},
        {kUseTLSNotChosen, "66001", kUseTLSImplicit},  // the low 16 bits are 465
        {kUseTLSNotChosen, "abc", kUseTLSAuto},
        {kUseTLSAuto, "465", kUseTLSAuto},
        {kUseTLSNone, "465", kUseTLSNone},
        {kUseTLSImplicit, "25", kUseTLSImplicit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.chosen) + " " + c.port);
        TSendSettings s;
        s.SetUseTLS(c.chosen);
        s.SetPort(c.port);
        EXPECT_EQ(s.EffectiveUseTLS(), c.effective);
    }
    TSendSettings s;
    s.SetUseTLS(7);
    EXPECT_EQ(s.UseTLS(), kUseTLSNotChosen);
}

struct TSettingsRun {
    TSettingsRun() : shell({"/opt/larkpost/larkpost"}) {
        RunState = TRunState{};
        RunState.ExeDir = dir.Dir();
        RunState.SettingsPath = dir.File("Larkpost.ini");
        shell.ActivityLog.Clock = [] { return std::string("TS"); };
        shell.SetWindows(&windows);
    }
    TTempDir dir;
    TLpShell shell;
    TQuietWindows windows;
};

TEST(ConnectionSecurityKey, ReadSkippedAndWrittenOnlyWhenChosen) {
    struct Case {
        const char* line;
        bool switchPresent;
        int mode;
    };
    const Case cases[] = {
        {"", false, kUseTLSNotChosen},
        {"UseTLS=1\n", false, kUseTLSImplicit},
        {"usetls=0\n", false, kUseTLSNone},
        {"UseTLS=9\n", false, kUseTLSNotChosen},
        {"UseTLS=auto\n", false, kUseTLSNotChosen},
        {"UseTLS=1\n", true, kUseTLSRequired},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TSettingsRun run;
        run.dir.Write("Larkpost.ini", std::string("[Larkpost]\nHost=h\n") + c.line);
        run.shell.SendSettings.SetUseTLS(kUseTLSRequired);
        run.shell.SwitchValues.Tls.Present = c.switchPresent;
        ReadINISettings(run.shell);
        EXPECT_EQ(run.shell.SendSettings.UseTLS(), c.mode);
    }
    TSettingsRun run;
    WriteINISettings(run.shell);
    EXPECT_EQ(run.dir.Read("Larkpost.ini").find("UseTLS"), std::string::npos)
        << "no mode chosen, so none is saved: port 465 keeps meaning implicit TLS";
    run.shell.SendSettings.SetUseTLS(kUseTLSRequired);
    WriteINISettings(run.shell);
    const std::string text = run.dir.Read("Larkpost.ini");
    EXPECT_NE(text.find("\nUseTLS=2\n"), std::string::npos) << text;
}

TEST(CertificateKeys, ReadSkippedByTheirSwitchesAndWritten) {
    const std::string ini =
        "[Larkpost]\nVerifyCertificate=1\nCAFile=/etc/corp/ca.pem\n"
        "CertificateFingerprint=sha256:00\n";
    {
        TSettingsRun run;
        run.dir.Write("Larkpost.ini", ini);
        ReadINISettings(run.shell);
        const TSendSettings& s = run.shell.SendSettings;
        EXPECT_TRUE(s.VerifyCertificate());
        EXPECT_EQ(s.CAFile(), "/etc/corp/ca.pem");
        EXPECT_EQ(s.CertificateFingerprint(), "sha256:00");
    }
    {
        // Under /S each switch keeps its own key out; /CAFILE keeps VerifyCertificate out too.
        TSettingsRun run;
        run.dir.Write("Larkpost.ini", "[Larkpost]\nVerifyCertificate=0\nCAFile=file.pem\n"
                                      "CertificateFingerprint=sha256:00\n");
        TSendSettings& s = run.shell.SendSettings;
        s.SetVerifyCertificate(true);
        s.SetCAFile("switch.pem");
        s.SetCertificateFingerprint("switch");
        run.shell.SwitchValues.CAFile.Present = true;
        run.shell.SwitchValues.Fingerprint.Present = true;
        ReadINISettings(run.shell);
        EXPECT_TRUE(s.VerifyCertificate());
        EXPECT_EQ(s.CAFile(), "switch.pem");
        EXPECT_EQ(s.CertificateFingerprint(), "switch");
    }
    std::string saved;
    {
        // Set, they are written; back at their defaults, they leave the file again.
        TSettingsRun run;
        run.shell.SendSettings.SetVerifyCertificate(true);
        run.shell.SendSettings.SetCAFile("/etc/corp/ca.pem");
        run.shell.SendSettings.SetCertificateFingerprint("sha256:00");
        WriteINISettings(run.shell);
        saved = run.dir.Read("Larkpost.ini");
        EXPECT_NE(saved.find("\nVerifyCertificate=1\nCAFile=/etc/corp/ca.pem\n"
                             "CertificateFingerprint=sha256:00\n"),
                  std::string::npos)
            << saved;
        run.shell.SendSettings.SetVerifyCertificate(false);
        run.shell.SendSettings.SetCAFile("");
        run.shell.SendSettings.SetCertificateFingerprint("");
        WriteINISettings(run.shell);
        const std::string text = run.dir.Read("Larkpost.ini");
        EXPECT_EQ(text.find("VerifyCertificate"), std::string::npos) << text;
        EXPECT_EQ(text.find("CAFile"), std::string::npos) << text;
        EXPECT_EQ(text.find("Certificate"), std::string::npos) << text;
    }
    TSettingsRun again;
    again.dir.Write("Larkpost.ini", saved);
    ReadINISettings(again.shell);
    EXPECT_TRUE(again.shell.SendSettings.VerifyCertificate());
    EXPECT_EQ(again.shell.SendSettings.CAFile(), "/etc/corp/ca.pem");
    EXPECT_EQ(again.shell.SendSettings.CertificateFingerprint(), "sha256:00");
}

// 5 March 2026 14:03:09 UTC.
const auto kSendTime = std::chrono::system_clock::time_point(std::chrono::seconds(1772719389));

struct TSend {
    TSend() : shell(TLpArgs{"larkpost"}), workflow(shell) {
        RunState = TRunState{};
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
        s.SetBody({"first line"});
        s.SetAuthType(kAuthUserPass);
        s.SetUserID("user");
        s.SetPassword("secret");
        s.SetContentType(kContentTypeText);
    }
    void Run(uint16_t port, int mode) {
        shell.SendSettings.SetPort(std::to_string(port));
        shell.SendSettings.SetUseTLS(mode);
        shell.SendMsgClick();
    }
    TLpShell shell;
    TLpSendWorkflow workflow;
    TQuietWindows windows;
};

std::string Hello() {
    return "EHLO Larkpostv" + GetVersionNumber() + "\r\n";
}

// From the login to QUIT, with the message as the program writes it.
std::vector<ScriptStep> LoginAndMessage() {
    return {
        C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"),
        C("dXNlcg==\r\n"), S("334 UGFzc3dvcmQ6\r\n"),
        C("c2VjcmV0\r\n"), S("235 ok\r\n"),
        C("MAIL FROM:<sender@example.test>\r\n"), S("250 ok\r\n"),
        C("RCPT TO:<to@example.test>\r\n"), S("250 ok\r\n"),
        C("DATA\r\n"), S("354 go\r\n"),
        C("From: \"Sender\" <sender@example.test>\r\n"
          "Subject: Hello\r\n"
          "To: to@example.test\r\n"
          "MIME-Version: 1.0\r\n"
          "Date: " + TLpMessage::FormatMailDate(kSendTime) + "\r\n"
          "X-Mailer: Larkpost " + GetVersionText() + "\r\n"
          "Content-Type: text/plain; charset=\"UTF-8\"\r\n"
          "Content-Transfer-Encoding: quoted-printable\r\n"
          "Content-Disposition: inline\r\n"
          "\r\n"
          "first line\r\n"
          "\r\n"
          ".\r\n"), S("250 queued\r\n"),
        C("QUIT\r\n"), S("221 bye\r\n"),
    };
}

std::vector<ScriptStep> Join(std::vector<std::vector<ScriptStep>> parts) {
    std::vector<ScriptStep> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(ConnectionSecuritySend, RequiredRefusesAServerWithoutStartTlsBeforeAnyLogin) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C(Hello()), S("250-mx.test\r\n250 AUTH LOGIN PLAIN\r\n"),
        C("QUIT\r\n"), S("221 bye\r\n"),
    });
    TSend send;
    send.Run(server.Port(), kUseTLSRequired);
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(RunState.ReturnCode, 1);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "TS Exception: ELpTLSClientTLSNotAvailable SSL is not available on this server.");
}

TEST(ConnectionSecuritySend, NoneNeverSendsStartTlsAndAutoDoes) {
    {
        ScriptedSmtpServer server(Join({
            {S("220 mx.test ESMTP\r\n"),
             C(Hello()), S("250-mx.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n")},
            LoginAndMessage(),
        }));
        TSend send;
        send.Run(server.Port(), kUseTLSNone);
        EXPECT_EQ(server.Finish(), "");
        EXPECT_EQ(RunState.ReturnCode, 0);
    }
    {
        // Automatic: STARTTLS, the handshake, and everything after it encrypted.
        ScriptedSmtpServer server(Join({
            {S("220 mx.test ESMTP\r\n"),
             C(Hello()), S("250-mx.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"),
             C("STARTTLS\r\n"), S("220 go ahead\r\n"), StartTls(),
             C(Hello()), S("250-mx.test\r\n250 AUTH LOGIN\r\n")},
            LoginAndMessage(),
        }));
        TSend send;
        send.Run(server.Port(), kUseTLSAuto);
        EXPECT_EQ(server.Finish(), "");
        EXPECT_EQ(RunState.ReturnCode, 0);
    }
}

TEST(ConnectionSecuritySend, ImplicitSpeaksTlsFromTheFirstByte) {
    ScriptedSmtpServer server(Join({
        {StartTls(), S("220 mx.test ESMTP\r\n"),
         // Already encrypted: STARTTLS offered again is not taken up.
         C(Hello()), S("250-mx.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n")},
        LoginAndMessage(),
    }));
    TSend send;
    send.Run(server.Port(), kUseTLSImplicit);
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(RunState.ReturnCode, 0);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], "TS Connecting to 127.0.0.1.");
    // The handshake's progress comes before the server's greeting is even read.
    EXPECT_EQ(log[2].rfind("TS SSL status: \"", 0), 0u) << log[2];
}

TEST(CertificateSend, ARefusedCertificateEndsTheSendBeforeAnyLogin) {
    // The scripted server's certificate is self-signed and made out for another name.
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C(Hello()), S("250-mx.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"),
        C("STARTTLS\r\n"), S("220 go ahead\r\n"), StartTls(),
        C(Hello()), S("250 mx.test\r\n"),
    });
    TSend send;
    send.shell.SendSettings.SetVerifyCertificate(true);
    send.Run(server.Port(), kUseTLSAuto);
    server.Finish();
    // Nothing after STARTTLS: the handshake ended at the certificate, before any encrypted byte.
    EXPECT_EQ(server.Received(), Hello() + "STARTTLS\r\n");
    EXPECT_EQ(RunState.ReturnCode, 1);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "TS Exception: ELpCertificateVerifyError Certificate verification failed for "
              "127.0.0.1: self-signed certificate");
    EXPECT_FALSE(send.workflow.LpSMTP1.IsConnected());
}

TEST(CertificateSend, ARefusedCertificateIsNotTriedAgain) {
    // Another attempt meets the same certificate: retries would only delay the same answer.
    EXPECT_FALSE(IsTransientFailure(ELpCertificateVerifyError("mx.example", "certificate has expired")));
}

TEST(CertificateSend, AFingerprintThatIsNoneFailsBeforeConnecting) {
    TSend send;
    send.shell.SendSettings.SetCertificateFingerprint("sha256:12:34");
    // Nothing listens on this port: a connection would fail differently.
    send.Run(ScriptedSmtpServer::UnusedPort(), kUseTLSRequired);
    EXPECT_EQ(RunState.ReturnCode, 1);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1],
              "TS Exception: ELpConvertError The certificate fingerprint \"sha256:12:34\" is no "
              "SHA-256 fingerprint: 64 hexadecimal digits are expected (colons and a \"sha256:\" "
              "prefix may stand with them).");
}

TEST(ConnectionSecuritySend, Port465WithoutAChoiceUsesImplicitTlsAndSaysSo) {
    TSend send;
    // Nothing of the test listens there; the line comes before the connection is tried.
    send.Run(465, kUseTLSNotChosen);
    const Lines& log = send.shell.ActivityLog.Lines();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1],
              "TS Port 465 and no connection security chosen: using implicit TLS (encrypted from "
              "the first byte, RFC 8314).");
    EXPECT_EQ(log[2], "TS Connecting to 127.0.0.1.");
    EXPECT_EQ(send.workflow.LpSMTP1.UseTLS(), utUseImplicitTLS);

    // A chosen mode is taken as it is, and nothing is said.
    TSend chosen;
    chosen.Run(465, kUseTLSAuto);
    EXPECT_EQ(chosen.shell.ActivityLog.Lines()[1], "TS Connecting to 127.0.0.1.");
    EXPECT_EQ(chosen.workflow.LpSMTP1.UseTLS(), utUseExplicitTLS);
    EXPECT_EQ(chosen.workflow.LpSMTP1.Port(), 465);
}

}  // namespace
}  // namespace larkpost
