// The AUTH exchange of the SASL list against the scripted fake server, byte for byte: which
// mechanisms are tried in which order, what each sends, and which reply a failure carries.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "net/SocketHandler.h"
#include "net/TCPClient.h"
#include "smtp/OTPCalculator.h"
#include "smtp/ReplySMTP.h"
#include "smtp/SASLEntries.h"
#include "smtp/SASLMechanisms.h"
#include "support/MainWindowMechanisms.h"

namespace larkpost {
namespace {

class SmtpReplyClient : public TLpTCPClientCustom {
protected:
    std::unique_ptr<TLpReply> NewReply() const override { return std::make_unique<TLpReplySMTP>(); }
};

struct Login {
    MainWindowMechanisms mechanisms;
    TLpSASLEntries list;

    TLpIOHandlerStack handler;
    SmtpReplyClient client;

    Login(const std::string& user, const std::string& password) : mechanisms(user, password) {
        mechanisms.AddTo(list);
    }
    ~Login() {
        try {
            client.CloseConnection(false);
        } catch (...) {
        }
    }
    void Connect(const ScriptedSmtpServer& server) {
        client.SetHost(ScriptedSmtpServer::Host());
        client.SetPort(server.Port());
        client.SetReadTimeout(5000);
        client.SetIOHandler(&handler);
        client.EstablishConnection();
        client.AwaitReply(220);
    }
    // The login step's call: "AUTH", the host, "smtp", 235 and 334, an initial response allowed.
    void Authenticate(const std::vector<std::string>& extensions) {
        list.AuthenticateWithList("AUTH", "mx.test", "smtp", {"235"}, {"334"}, client, extensions,
                                  "AUTH", true);
    }
};

TEST(SASLEntries, ReadsMechanismNamesFromAuthLines) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"two forms", {"AUTH LOGIN PLAIN", "AUTH=LOGIN"}, {"LOGIN", "PLAIN"}},
        {"keyword alone", {"AUTH"}, {}},
        {"lower case", {"auth cram-md5 Digest-MD5"}, {"CRAM-MD5", "DIGEST-MD5"}},
        {"longer keyword", {"AUTHX LOGIN", "SIZE 1000"}, {}},
        {"blanks and equals", {"AUTH  LOGIN=PLAIN  ", "8BITMIME"}, {"LOGIN", "PLAIN"}},
        {"no lines", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TLpSASLEntries::ReadAuthMechanisms(c.lines, "AUTH"), c.names);
    }
}

TEST(SASLEntries, LoginGoesFirstWithItsInitialResponse) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("AUTH LOGIN dGlt\r\n"),
        S("334 UGFzc3dvcmQ6\r\n"),
        C("dGFuc3RhYWZ0YW5zdGFhZg==\r\n"),
        S("235 2.7.0 Authentication successful\r\n"),
    });
    Login login("tim", "tanstaaftanstaaf");
    login.Connect(server);
    login.Authenticate({"PIPELINING", "AUTH LOGIN PLAIN"});
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, RefusedCramMd5FallsBackToLoginQuietly) {
    // RFC 2195's challenge and answer.
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("AUTH CRAM-MD5\r\n"),
        S("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"),
        C("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n"),
        S("535 5.7.8 Authentication credentials invalid\r\n"),
        C("AUTH LOGIN dGlt\r\n"),
        S("334 UGFzc3dvcmQ6\r\n"),
        C("dGFuc3RhYWZ0YW5zdGFhZg==\r\n"),
        S("235 2.7.0 ok\r\n"),
    });
    Login login("tim", "tanstaaftanstaaf");
    login.Connect(server);
    login.Authenticate({"AUTH PLAIN LOGIN CRAM-MD5"});
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, AllRefusedRaisesTheFirstRefusal) {
    // A 501 to an initial response fails that mechanism; it is not retried without one.
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("AUTH CRAM-SHA1\r\n"),
        S("504 5.5.4 first refusal\r\n"),
        C("AUTH LOGIN dGlt\r\n"),
        S("501 5.5.2 second refusal\r\n"),
        C("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n"),
        S("535 5.7.8 third refusal\r\n"),
    });
    Login login("tim", "tanstaaftanstaaf");
    login.Connect(server);
    try {
        login.Authenticate({"AUTH PLAIN LOGIN CRAM-SHA1"});
        FAIL() << "login accepted";
    } catch (const ELpSMTPReplyError& e) {
        EXPECT_STREQ(e.what(), "first refusal\r\n");
        EXPECT_EQ(e.ReplyCode(), 504);
        EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), "5.5.4");
    }
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, DigestMd5ExchangeAndTheEmptyAnswerToRspauth) {
    // The answer was computed with python3's hashlib (RFC 2831 md5-sess, digest-uri smtp/mx.test).
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("AUTH DIGEST-MD5\r\n"),
        S("334 cmVhbG09ImVsd29vZC5pbm5vc29mdC5jb20iLG5vbmNlPSJPQTZNRzl0RVFHbTJoaCIscW9wPSJhdXRo"
          "IixhbGdvcml0aG09bWQ1LXNlc3MsY2hhcnNldD11dGYtOA==\r\n"),
        C("Y2hhcnNldD11dGYtOCx1c2VybmFtZT0iY2hyaXMiLHJlYWxtPSJlbHdvb2QuaW5ub3NvZnQuY29tIixub25j"
          "ZT0iT0E2TUc5dEVRR20yaGgiLG5jPTAwMDAwMDAxLGNub25jZT0iT0E2TUhYaDZWcVRyUmsiLGRpZ2VzdC11cmk9"
          "InNtdHAvbXgudGVzdCIscmVzcG9uc2U9OGI0ZTEzNDkyYmNjYmEyZjBlZTMzMjkyYjhkMzQwYWUscW9wPWF1dGg="
          "\r\n"),
        S("334 cnNwYXV0aD1lYTQwZjYwMzM1YzQyN2I1NTI3Yjg0ZGJhYmNkZmZmZA==\r\n"),
        C("\r\n"),
        S("235 2.7.0 ok\r\n"),
    });
    Login login("chris", "secret");
    login.Connect(server);
    login.Authenticate({"AUTH DIGEST-MD5"});
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, OtpAnswersTheExtendedChallenge) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("AUTH OTP AHVzZXI=\r\n"),             // NUL user: empty authorization identity
        S("334 b3RwLW1kNSAxIFRlU3QgZXh0\r\n"),  // otp-md5 1 TeSt ext
        // word:EASE OIL FUM CURE AWRY AVIS (RFC 2289, Appendix C)
        C("d29yZDpFQVNFIE9JTCBGVU0gQ1VSRSBBV1JZIEFWSVM=\r\n"),
        S("235 2.7.0 ok\r\n"),
    });
    Login login("user", "This is a test.");
    login.Connect(server);
    login.Authenticate({"AUTH OTP"});
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, SKeyWithAnEmptyUserNameSendsAnEmptyInitialResponseAsEquals) {
    // SKEY's readiness ignores the user name; RFC 4954 writes a zero-length initial response
    // as "=".
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"), C("AUTH SKEY =\r\n"), S("334 OTkgVGVTdA==\r\n"),  // 99 TeSt
        C("Tk9URSBPVVQgSUJJUyBTSU5LIE5BVkUgTU9ERQ==\r\n"),
        S("235 2.7.0 ok\r\n"),  // RFC 2289, Appendix C (md4)
    });
    Login login("", "This is a test.");
    login.Connect(server);
    login.Authenticate({"AUTH LOGIN SKEY"});
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, AMechanismErrorEndsTheRunAtOnce) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("AUTH OTP AHVzZXI=\r\n"),             // NUL user: empty authorization identity
        S("334 b3RwLXNoYTI1NiAxIFRlU3Q=\r\n"),  // otp-sha256 1 TeSt
    });
    Login login("user", "pw");
    login.Connect(server);
    // LOGIN is offered too but never tried.
    EXPECT_THROW(login.Authenticate({"AUTH LOGIN OTP"}), ELpOTPUnknownMethod);
    login.client.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLEntries, ChoiceFailuresSendNothing) {
    struct Case {
        const char* name;
        std::string user;
        std::vector<std::string> extensions;
        std::string message;
    };
    const Case cases[] = {
        {"empty user name",
         "",
         {"AUTH LOGIN PLAIN"},
         "The specified SASL handlers are not ready!!"},
        {"only anonymous",
         "tim",
         {"AUTH ANONYMOUS"},
         "The specified SASL handlers are not ready!!"},
        {"no AUTH line",
         "tim",
         {"SIZE 1000"},
         "Doesn't support AUTH or the specified SASL handlers!!"},
        {"unknown mechanisms",
         "tim",
         {"AUTH GSSAPI NTLM"},
         "Doesn't support AUTH or the specified SASL handlers!!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server({S("220 mx.test ESMTP\r\n")});
        Login login(c.user, "pw");
        login.Connect(server);
        try {
            login.Authenticate(c.extensions);
            ADD_FAILURE() << "login accepted";
        } catch (const ELpSASLError& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        login.client.CloseConnection(false);
        EXPECT_EQ(server.Finish(), "");
    }
    TLpSASLEntries empty;
    empty.Add(nullptr);
    SmtpReplyClient unused;
    try {
        empty.AuthenticateWithList("AUTH", "mx", "smtp", {"235"}, {"334"}, unused, {"AUTH LOGIN"},
                                   "AUTH", true);
        FAIL() << "empty list accepted";
    } catch (const ELpSASLMechNeeded& e) {
        EXPECT_STREQ(e.what(), "Need SASL mechanisms to login with it!!");
    }
}

TEST(SASLEntries, EntriesForgetADestroyedMechanism) {
    TLpSASLEntries list;
    TLpSASLEntries copy;
    TLpSASLPlain kept;
    {
        TLpSASLLogin gone;
        list.Add(&gone);
        list.Add(&kept);
        list.Add(&gone);
        copy.Assign(list);
        EXPECT_EQ(copy.Count(), 3);
    }
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Items(0).SASL(), &kept);
    ASSERT_EQ(copy.Count(), 1);
    EXPECT_EQ(copy.Items(0).SASL(), &kept);
}

}  // namespace
}  // namespace larkpost
