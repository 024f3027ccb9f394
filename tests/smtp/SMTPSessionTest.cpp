// The SMTP session against the scripted fake server, byte for byte: greeting and hello, STARTTLS,
// the login, the envelope with refused recipients and RSET, the data, QUIT, and every failure.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "mail/Message.h"
#include "mail/MessagePart.h"
#include "net/Exceptions.h"
#include "net/OpenSSLLibrary.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "net/SocketHandler.h"
#include "smtp/SASLMechanisms.h"
#include "smtp/SMTP.h"

namespace larkpost {
namespace {

// The client as the send workflow configures it, on the TLS-capable handler, with its status
// events, connect and disconnect notices and refused recipients recorded in order.
struct Client {
    TLpSSLIOHandlerSocketOpenSSL handler;
    TLpSMTP smtp;
    std::vector<std::string> events;
    std::vector<std::string> refused;
    std::vector<std::string> tlsInfo;

    explicit Client(uint16_t port, int readTimeoutMs = 5000) {
        smtp.OnStatus = [this](TLpComponent*, TLpStatus, const std::string& text) {
            events.push_back(text);
        };
        smtp.OnConnected = [this](TLpBaseComponent*) { events.push_back("OnConnected"); };
        smtp.OnDisconnected = [this](TLpBaseComponent*) { events.push_back("OnDisconnected"); };
        handler.OnStatusInfo = [this](const std::string& text) { tlsInfo.push_back(text); };
        smtp.SetIOHandler(&handler);
        smtp.SetUseTLS(utUseExplicitTLS);
        smtp.SetHost(ScriptedSmtpServer::Host());
        smtp.SetPort(port);
        smtp.SetReadTimeout(readTimeoutMs);
        smtp.SetHeloName("client.test");
        smtp.SetAuthType(satNone);
    }
    ~Client() {
        try {
            smtp.CloseConnection(false);
        } catch (...) {
        }
    }
    // The workflow's handler: every refusal reported, the send goes on.
    void KeepGoingOnRefusals() {
        smtp.OnFailedRecipient = [this](TLpBaseComponent*, const std::string& address,
                                        const std::string& code, const std::string& text, bool&) {
            refused.push_back(address + " " + code + " " + text);
        };
    }
};

// A message whose data is written as given (headers, blank line, dot-stuffed body), so the
// envelope tests can spell out every byte.
struct PlainMessage {
    TLpMessage message;
    explicit PlainMessage(std::vector<std::string> to, std::vector<std::string> body = {"Hi."},
                          std::vector<std::string> cc = {}) {
        message.SetNoEncode(true);
        message.From().SetAddress("alice@example.test");
        for (const auto& a : to) message.Recipients().Add().SetAddress(a);
        for (const auto& a : cc) message.CCList().Add().SetAddress(a);
        message.InputHeaders().Add("Subject: test");
        message.SetBody(body);
    }
};

const std::string kPayload = "Subject: test\r\n\r\nHi.\r\n.\r\n";

std::vector<ScriptStep> Greeting(const std::string& ehloReply = "250 mx.test\r\n") {
    return {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"), S(ehloReply)};
}

std::vector<ScriptStep> operator+(std::vector<ScriptStep> a, const std::vector<ScriptStep>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<ScriptStep> kQuit = {C("QUIT\r\n"), S("221 bye\r\n")};

std::vector<ScriptStep> Envelope(const std::string& to = "bob@example.test") {
    return {C("MAIL FROM:<alice@example.test>\r\n"), S("250 2.1.0 Ok\r\n"),
            C("RCPT TO:<" + to + ">\r\n"),           S("250 2.1.5 Ok\r\n"),
            C("DATA\r\n"),                           S("354 go ahead\r\n"),
            C(kPayload),                             S("250 2.0.0 queued\r\n")};
}

// ---- Greeting and hello -------------------------------------------------------------------

TEST(SMTPSession, WholeSendRoadMessageByteForByte) {
    const char* tz = std::getenv("TZ");
    const std::string savedTz = tz ? tz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ScriptedSmtpServer server(
        Greeting("250-mx.test\r\n250-SIZE 1000000\r\n250 8BITMIME\r\n") +
        std::vector<ScriptStep>{
            C("MAIL FROM:<alice@example.test>\r\n"), S("250 2.1.0 Ok\r\n"),
            C("RCPT TO:<bob@example.test>\r\n"),     S("250 2.1.5 Ok\r\n"),
            C("RCPT TO:<hidden@example.test>\r\n"),  S("250 2.1.5 Ok\r\n"),
            C("DATA\r\n"),                           S("354 End data with <CR><LF>.<CR><LF>\r\n"),
            C("From: \"Alice Example\" <alice@example.test>\r\n"
              "Subject: Quarterly report\r\n"
              "To: bob@example.test\r\n"
              "MIME-Version: 1.0\r\n"
              "Date: Tue, 5 Mar 2024 14:03:09 +0000\r\n"
              "X-Mailer: Larkpost 1.0.0.0\r\n"
              "Content-Type: text/plain; charset=\"UTF-8\"\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n"
              "Content-Disposition: inline\r\n"
              "\r\n"
              "Hello Bob,\r\n"
              "=2Ehidden\r\n"
              "\r\n"
              ".\r\n"),
            S("250 2.0.0 Ok: queued as 1234\r\n"),
        } +
        kQuit);
    Client client(server.Port());
    client.smtp.SetMailAgent("Larkpost 1.0.0.0");

    client.smtp.EstablishConnection();
    EXPECT_EQ(client.smtp.ServerExtensions(), (std::vector<std::string>{"SIZE 1000000", "8BITMIME"}));
    TLpMessage message;
    message.SetConvertPreamble(false);
    message.SetEncoding(meMIME);
    message.SetCharSet("utf-8");
    message.SetContentTransferEncoding("8bit");
    message.SetContentType("multipart/mixed");
    message.SetSubject("Quarterly report");
    message.SetDate(std::chrono::system_clock::from_time_t(1709647389));
    message.From().SetName("Alice Example");
    message.From().SetAddress("alice@example.test");
    message.Recipients().ParseAddressList("bob@example.test");
    message.BccList().ParseAddressList("hidden@example.test");
    message.MessageParts()
        .Add<TLpText>(std::vector<std::string>{"Hello Bob,", ".hidden"})
        .SetContentType("text/plain; charset=UTF-8");
    client.smtp.SubmitMessage(message);
    client.smtp.CloseConnection();

    if (tz)
        ::setenv("TZ", savedTz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(client.events,
              (std::vector<std::string>{"Connected.", "OnConnected", "Encoding text", "Disconnecting.",
                                        "OnDisconnected", "Disconnected."}));
}

TEST(SMTPSession, FallsBackToHeloWhenEhloIsRefused) {
    for (const char* refusal : {"502 5.5.1 not implemented\r\n", "500 what?\r\n", "421 busy\r\n"}) {
        SCOPED_TRACE(refusal);
        ScriptedSmtpServer server(Greeting(refusal) +
                                  std::vector<ScriptStep>{C("HELO client.test\r\n"), S("250 mx.test\r\n")} +
                                  kQuit);
        Client client(server.Port());
        client.smtp.EstablishConnection();
        EXPECT_TRUE(client.smtp.ServerExtensions().empty());
        client.smtp.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(SMTPSession, HeloOnlyWhenEhloIsSwitchedOff) {
    ScriptedSmtpServer server({S("220 mx.test\r\n"), C("HELO client.test\r\n"), S("250 mx.test\r\n")});
    Client client(server.Port());
    client.smtp.SetUseTLS(utNoTLSSupport);
    client.smtp.SetUseEhlo(false);
    client.smtp.EstablishConnection();
    client.smtp.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSession, EmptyHeloNameSendsTheLocalHostName) {
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    ScriptedSmtpServer server({S("220 mx.test\r\n"), C("EHLO " + std::string(name) + "\r\n"),
                               S("250 mx.test\r\n")});
    Client client(server.Port());
    client.smtp.SetHeloName("");
    client.smtp.EstablishConnection();
    client.smtp.CloseConnection(false);
    EXPECT_EQ(server.Finish(), "");
}

// Whoever fails to greet properly is left without QUIT; the server's text is the message.
TEST(SMTPSession, FailedGreetingOrHelloClosesWithoutQuit) {
    struct Case {
        const char* name;
        std::vector<ScriptStep> script;
        std::string message;
        int code;
    };
    const Case cases[] = {
        {"greeting 554", {S("554 5.3.2 No service here\r\n")}, "No service here\r\n", 554},
        {"greeting 421 multi-line", {S("421-mx.test busy\r\n421 4.3.2 try later\r\n")},
         "mx.test busy\r\ntry later\r\n", 421},
        {"HELO refused after EHLO",
         Greeting("502 5.5.1 no\r\n") + std::vector<ScriptStep>{C("HELO client.test\r\n"),
                                                               S("501 5.5.4 bad name\r\n")},
         "bad name\r\n", 501},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(c.script);
        Client client(server.Port());
        try {
            client.smtp.EstablishConnection();
            ADD_FAILURE() << "no error";
        } catch (const ELpSMTPReplyError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.ReplyCode(), c.code);
        }
        EXPECT_FALSE(client.smtp.IsConnected());
        EXPECT_EQ(client.events.back(), "Disconnected.");
        EXPECT_EQ(server.Finish(), "");
    }
}

// A server that expects TLS from the first byte (port 465 with STARTTLS mode) says nothing.
TEST(SMTPSession, SilentServerTimesOutWithoutQuit) {
    ScriptedSmtpServer server({Silent(3000)});
    Client client(server.Port(), 300);
    try {
        client.smtp.EstablishConnection();
        ADD_FAILURE() << "no error";
    } catch (const ELpReadTimeout& e) {
        EXPECT_EQ(std::string(e.what()), "Read timed out.");
    }
    EXPECT_FALSE(client.smtp.IsConnected());
    EXPECT_EQ(server.Finish(), "");  // not a byte from the client: no QUIT
}

// ---- STARTTLS -------------------------------------------------------------------------------

TEST(SMTPSession, StartTlsThenHelloAgainThenLogin) {
    ScriptedSmtpServer server(
        Greeting("250-mx.test\r\n250-AUTH PLAIN\r\n250 STARTTLS\r\n") +
        std::vector<ScriptStep>{
            C("STARTTLS\r\n"),         S("220 2.0.0 Ready to start TLS\r\n"),
            StartTls(),
            C("EHLO client.test\r\n"), S("250-mx.test\r\n250-AUTH LOGIN\r\n250 SIZE\r\n"),
            C("AUTH LOGIN\r\n"),       S("334 VXNlcm5hbWU6\r\n"),
            C("dXNlcg==\r\n"),         S("334 UGFzc3dvcmQ6\r\n"),
            C("c2VjcmV0\r\n"),         S("235 2.7.0 Authentication successful\r\n"),
        } +
        Envelope() + Envelope() + kQuit);
    Client client(server.Port());
    client.smtp.SetAuthType(satDefault);
    client.smtp.SetUsername("user");
    client.smtp.SetPassword("secret");
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    client.smtp.SubmitMessage(mail.message);
    EXPECT_TRUE(client.handler.TlsActive());
    EXPECT_TRUE(client.smtp.LoggedIn());
    EXPECT_EQ(client.smtp.ServerExtensions(), (std::vector<std::string>{"AUTH LOGIN", "SIZE"}));
    // A second message on the same connection: no second STARTTLS or AUTH.
    client.smtp.SubmitMessage(mail.message);
    client.smtp.CloseConnection();
    EXPECT_FALSE(client.smtp.LoggedIn());
    EXPECT_EQ(server.Finish(), "");
    bool sawCipher = false;
    for (const auto& text : client.tlsInfo) sawCipher |= text.rfind("Cipher: name = ", 0) == 0;
    EXPECT_TRUE(sawCipher);
}

TEST(SMTPSession, StartTlsIsAWholeExtensionLine) {
    // "X-STARTTLS" and "STARTTLSX" are other extensions; plain text goes on under explicit TLS.
    ScriptedSmtpServer server(Greeting("250-mx.test\r\n250-X-STARTTLS\r\n250 STARTTLSX\r\n") +
                              Envelope() + kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    client.smtp.SubmitMessage(mail.message);
    client.smtp.CloseConnection();
    EXPECT_FALSE(client.handler.TlsActive());
    EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSession, StartTlsFailures) {
    struct Case {
        const char* name;
        TLpUseTLS mode;
        bool declineInHandler;  // OnTLSNotAvailable answers VContinue false
        std::vector<ScriptStep> script;
        std::string message;
    };
    const std::string noTls = "250-mx.test\r\n250 SIZE\r\n";
    const std::string tls = "250-mx.test\r\n250 starttls\r\n";
    const Case cases[] = {
        {"not offered, TLS required", utUseRequireTLS, false, Greeting(noTls) + kQuit,
         "SSL is not available on this server."},
        {"not offered, handler declines", utUseExplicitTLS, true, Greeting(noTls) + kQuit,
         "SSL is not available on this server."},
        {"STARTTLS refused", utUseExplicitTLS, false,
         Greeting(tls) + std::vector<ScriptStep>{C("STARTTLS\r\n"), S("454 4.7.0 TLS not available\r\n")} +
             kQuit,
         "Start SSL negotiation command failed."},
        {"handshake fails: no QUIT", utUseExplicitTLS, false,
         Greeting(tls) + std::vector<ScriptStep>{C("STARTTLS\r\n"), S("220 go\r\n"), CloseNow()},
         "SSL negotiation failed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(c.script);
        Client client(server.Port());
        client.smtp.SetUseTLS(c.mode);
        bool asked = false;
        if (c.declineInHandler) {
            client.smtp.OnTLSNotAvailable = [&](TLpBaseComponent*, bool& goOn) {
                EXPECT_TRUE(goOn);
                asked = true;
                goOn = false;
            };
        }
        client.smtp.EstablishConnection();
        PlainMessage mail({"bob@example.test"});
        try {
            client.smtp.SubmitMessage(mail.message);
            ADD_FAILURE() << "no error";
        } catch (const ELpTLSClientError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(asked, c.declineInHandler);
        EXPECT_FALSE(client.smtp.IsConnected());
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(SMTPSession, HandshakeFailureCarriesTheHandshakeError) {
    ScriptedSmtpServer server(Greeting("250-mx.test\r\n250 STARTTLS\r\n") +
                              std::vector<ScriptStep>{C("STARTTLS\r\n"), S("220 go\r\n"),
                                                      S("this is not a TLS record\r\n")});
    Client client(server.Port());
    client.smtp.EstablishConnection();
    try {
        client.smtp.LogIn();
        ADD_FAILURE() << "no error";
    } catch (const ELpTLSClientTLSHandShakeFailed& e) {
        EXPECT_EQ(std::string(e.what()), "SSL negotiation failed.");
        EXPECT_EQ(e.InnerMessage().rfind("Error connecting with SSL.", 0), 0u) << e.InnerMessage();
        EXPECT_TRUE(e.InnerException());
    }
    EXPECT_FALSE(client.smtp.IsConnected());
    server.Finish();
    EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
}

// Runs in a process of its own: a library that loaded once stays loaded for the process.
void SessionsWithoutOpenSsl(const std::string& emptyDir) {
    SetOpenSSLLibraryDirectory(emptyDir);
    {
        ScriptedSmtpServer server(Greeting("250-mx.test\r\n250 STARTTLS\r\n") +
                                  std::vector<ScriptStep>{C("STARTTLS\r\n"), S("220 go\r\n")});
        Client client(server.Port());
        client.smtp.EstablishConnection();
        PlainMessage mail({"bob@example.test"});
        try {
            client.smtp.SubmitMessage(mail.message);
            _exit(10);
        } catch (const ELpTLSClientTLSHandShakeFailed& e) {
            if (e.InnerMessage() != "Could not load SSL library.") _exit(11);
        }
        if (server.Finish() != "") _exit(12);
    }
    ScriptedSmtpServer server(Greeting() + Envelope() + kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    client.smtp.SubmitMessage(mail.message);
    client.smtp.CloseConnection();
    if (server.Finish() != "") _exit(13);
    _exit(0);
}

TEST(SMTPSession, WithoutOpenSslOnlyTheSwitchToTlsFails) {
    // Re-executed rather than forked: earlier tests have loaded OpenSSL into this process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto empty = std::filesystem::temp_directory_path() /
                       ("larkpost-no-openssl-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    EXPECT_EXIT(SessionsWithoutOpenSsl(empty.string() + "/"), ::testing::ExitedWithCode(0), "");
    std::filesystem::remove_all(empty);
}

// ---- Login ----------------------------------------------------------------------------------

TEST(SMTPSession, AuthLoginRules) {
    struct Case {
        const char* name;
        std::string user;
        bool validate;
        std::string ehlo;
        std::vector<ScriptStep> login;
        bool loggedIn;
    };
    const std::string withLogin = "250-mx.test\r\n250 AUTH PLAIN LOGIN\r\n";
    const Case cases[] = {
        {"user name answered 235", "user", true, withLogin,
         {C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"), C("dXNlcg==\r\n"), S("235 2.7.0 ok\r\n")},
         true},
        {"AUTH=LOGIN counts", "user", true, "250-mx.test\r\n250 AUTH=LOGIN\r\n",
         {C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"), C("dXNlcg==\r\n"), S("334 UGFzc3dvcmQ6\r\n"),
          C("\r\n"), S("235 2.7.0 ok\r\n")},
         true},
        {"LOGIN not listed", "user", true, "250-mx.test\r\n250 AUTH PLAIN XLOGIN\r\n", {}, false},
        {"no AUTH line, not validated", "user", false, "250 mx.test\r\n",
         {C("AUTH LOGIN\r\n"), S("334 VXNlcm5hbWU6\r\n"), C("dXNlcg==\r\n"), S("235 2.7.0 ok\r\n")},
         true},
        {"empty user name", "", true, withLogin, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(Greeting(c.ehlo) + c.login + Envelope() + kQuit);
        Client client(server.Port());
        client.smtp.SetAuthType(satDefault);
        client.smtp.SetUsername(c.user);
        client.smtp.SetValidateAuthLoginCapability(c.validate);
        client.smtp.EstablishConnection();
        PlainMessage mail({"bob@example.test"});
        client.smtp.SubmitMessage(mail.message);
        EXPECT_EQ(client.smtp.LoggedIn(), c.loggedIn);
        client.smtp.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
    }
}

// A refused login leaves the connection open, without RSET; the close still says QUIT.
TEST(SMTPSession, RefusedAuthLoginKeepsTheConnection) {
    ScriptedSmtpServer server(
        Greeting("250-mx.test\r\n250 AUTH LOGIN\r\n") +
        std::vector<ScriptStep>{C("AUTH LOGIN\r\n"),  S("334 VXNlcm5hbWU6\r\n"),
                                C("dXNlcg==\r\n"),    S("334 UGFzc3dvcmQ6\r\n"),
                                C("d3Jvbmc=\r\n"),    S("535 5.7.8 Error: authentication failed\r\n")} +
        kQuit);
    Client client(server.Port());
    client.smtp.SetAuthType(satDefault);
    client.smtp.SetUsername("user");
    client.smtp.SetPassword("wrong");
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    try {
        client.smtp.SubmitMessage(mail.message);
        ADD_FAILURE() << "no error";
    } catch (const ELpSMTPReplyError& e) {
        EXPECT_EQ(std::string(e.what()), "Error: authentication failed\r\n");
        EXPECT_EQ(e.ReplyCode(), 535);
        EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), "5.7.8");
    }
    EXPECT_TRUE(client.smtp.IsConnected());
    EXPECT_FALSE(client.smtp.LoggedIn());
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

struct SaslClient : Client {
    TLpUserPassProvider credentials;
    TLpSASLPlain plain;
    TLpSASLLogin login;
    TLpSASLCRAMMD5 cramMd5;
    explicit SaslClient(uint16_t port, const std::string& user, const std::string& password)
        : Client(port) {
        credentials.SetUsername(user);
        credentials.SetPassword(password);
        for (TLpSASLUserPass* m : std::initializer_list<TLpSASLUserPass*>{&plain, &login, &cramMd5}) {
            m->SetUserPassProvider(&credentials);
            smtp.SASLMechanisms().Add(m);
        }
        smtp.SetAuthType(satSASL);
    }
};

TEST(SMTPSession, SaslTriesTheLastConfiguredMechanismFirst) {
    // RFC 2195's example: user tim, secret tanstaaftanstaaf.
    ScriptedSmtpServer server(
        Greeting("250-mx.test\r\n250 AUTH PLAIN CRAM-MD5\r\n") +
        std::vector<ScriptStep>{
            C("AUTH CRAM-MD5\r\n"),
            S("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"),
            C("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n"),
            S("535 5.7.8 not today\r\n"),
            C("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n"),
            S("235 2.7.0 Authentication successful\r\n"),
        } +
        Envelope() + kQuit);
    SaslClient client(server.Port(), "tim", "tanstaaftanstaaf");
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    client.smtp.SubmitMessage(mail.message);
    EXPECT_TRUE(client.smtp.LoggedIn());
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSession, SaslWithoutAuthAfterHeloFails) {
    ScriptedSmtpServer server(Greeting("502 5.5.1 no\r\n") +
                              std::vector<ScriptStep>{C("HELO client.test\r\n"), S("250 mx.test\r\n")} +
                              kQuit);
    SaslClient client(server.Port(), "tim", "x");
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    try {
        client.smtp.SubmitMessage(mail.message);
        ADD_FAILURE() << "no error";
    } catch (const ELpException& e) {
        EXPECT_STREQ(e.ClassName(), "ELpSASLNotSupported");
        EXPECT_EQ(std::string(e.what()), "Doesn't support AUTH or the specified SASL handlers!!");
    }
    EXPECT_TRUE(client.smtp.IsConnected());
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

// ---- Envelope and data --------------------------------------------------------------------

TEST(SMTPSession, RefusedRecipientIsReportedAndTheOthersReceive) {
    ScriptedSmtpServer server(
        Greeting() +
        std::vector<ScriptStep>{
            C("MAIL FROM:<alice@example.test>\r\n"), S("250 2.1.0 Ok\r\n"),
            C("RCPT TO:<a@example.test>\r\n"),       S("250 2.1.5 Ok\r\n"),
            C("RCPT TO:<b@example.test>\r\n"),       S("550 5.1.1 Mailbox unavailable\r\n"),
            C("RCPT TO:<c@example.test>\r\n"),       S("251 2.1.5 will forward\r\n"),
            C("DATA\r\n"),                           S("354 go ahead\r\n"),
            C(kPayload),                             S("250 2.0.0 queued\r\n"),
        } +
        kQuit);
    Client client(server.Port());
    client.KeepGoingOnRefusals();
    client.smtp.EstablishConnection();
    PlainMessage mail({"a@example.test", "b@example.test"}, {"Hi."}, {"c@example.test"});
    client.smtp.SubmitMessage(mail.message);
    client.smtp.CloseConnection();
    EXPECT_EQ(client.refused, std::vector<std::string>{"b@example.test 550 Mailbox unavailable\r\n"});
    EXPECT_EQ(server.Finish(), "");
}

// Each row: recipients, the server's answers from the first RCPT on, the error's text.
TEST(SMTPSession, EnvelopeRefusalsEndWithRsetAndTheServersText) {
    struct Case {
        const char* name;
        bool handler;
        std::vector<std::string> to;
        std::vector<ScriptStep> afterMailFrom;
        std::string message;
        std::vector<std::string> refused;
    };
    const std::vector<ScriptStep> rset = {C("RSET\r\n"), S("250 2.0.0 Ok\r\n")};
    const Case cases[] = {
        {"second of three refused, no handler",
         false,
         {"a@x.test", "b@x.test", "c@x.test"},
         {C("RCPT TO:<a@x.test>\r\n"), S("250 Ok\r\n"), C("RCPT TO:<b@x.test>\r\n"),
          S("550 5.1.1 Mailbox unavailable\r\n"), C("RSET\r\n"), S("250 Ok\r\n")},
         "Mailbox unavailable\r\n",
         {}},
        {"all refused, the last refusal reported",
         true,
         {"a@x.test", "b@x.test"},
         {C("RCPT TO:<a@x.test>\r\n"), S("550 5.1.1 first\r\n"), C("RCPT TO:<b@x.test>\r\n"),
          S("553-5.1.3 second\r\n553 5.1.3 line two\r\n"), C("RSET\r\n"), S("250 Ok\r\n")},
         "second\r\nline two\r\n",
         {"a@x.test 550 first\r\n", "b@x.test 553 second\r\nline two\r\n"}},
        {"no recipients, DATA refused",
         true,
         {},
         {C("DATA\r\n"), S("554 5.5.1 Error: no valid recipients\r\n"), C("RSET\r\n"), S("250 Ok\r\n")},
         "Error: no valid recipients\r\n",
         {}},
        {"DATA refused",
         true,
         {"a@x.test"},
         {C("RCPT TO:<a@x.test>\r\n"), S("250 Ok\r\n"), C("DATA\r\n"), S("451 4.3.0 later\r\n"),
          C("RSET\r\n"), S("250 Ok\r\n")},
         "later\r\n",
         {}},
        {"end of data refused",
         true,
         {"a@x.test"},
         {C("RCPT TO:<a@x.test>\r\n"), S("250 Ok\r\n"), C("DATA\r\n"), S("354 go\r\n"), C(kPayload),
          S("552 5.3.4 Message too big\r\n"), C("RSET\r\n"), S("250 Ok\r\n")},
         "Message too big\r\n",
         {}},
        {"RSET unanswered: still the refusal",
         true,
         {"a@x.test"},
         {C("RCPT TO:<a@x.test>\r\n"), S("550 5.1.1 gone\r\n"), C("RSET\r\n"), CloseNow()},
         "gone\r\n",
         {"a@x.test 550 gone\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(
            Greeting() +
            std::vector<ScriptStep>{C("MAIL FROM:<alice@example.test>\r\n"), S("250 2.1.0 Ok\r\n")} +
            c.afterMailFrom);
        Client client(server.Port());
        if (c.handler) client.KeepGoingOnRefusals();
        client.smtp.EstablishConnection();
        PlainMessage mail(c.to);
        try {
            client.smtp.SubmitMessage(mail.message);
            ADD_FAILURE() << "no error";
        } catch (const ELpSMTPReplyError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(client.refused, c.refused);
        client.smtp.CloseConnection(false);
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(SMTPSession, RefusedSenderGetsNoRset) {
    ScriptedSmtpServer server(Greeting() +
                              std::vector<ScriptStep>{C("MAIL FROM:<alice@example.test>\r\n"),
                                                      S("553 5.7.1 Sender rejected\r\n")} +
                              kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    try {
        client.smtp.SubmitMessage(mail.message);
        ADD_FAILURE() << "no error";
    } catch (const ELpSMTPReplyError& e) {
        EXPECT_EQ(std::string(e.what()), "Sender rejected\r\n");
    }
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSession, SenderAddressWinsOverFromAndDuplicatesGetTheirOwnRcpt) {
    ScriptedSmtpServer server(
        Greeting() +
        std::vector<ScriptStep>{
            C("MAIL FROM:<bounces@example.test>\r\n"), S("250 Ok\r\n"),
            C("RCPT TO:<bob@example.test>\r\n"),       S("250 Ok\r\n"),
            C("RCPT TO:<bob@example.test>\r\n"),       S("250 Ok\r\n"),
            C("DATA\r\n"),                             S("354 go\r\n"),
            C(kPayload),                               S("250 Ok\r\n"),
        } +
        kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"}, {"Hi."}, {"bob@example.test"});
    mail.message.Sender().SetAddress("  bounces@example.test ");
    client.smtp.SubmitMessage(mail.message);
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSession, BodyLinesAreDotStuffedAndTheEndIsSentOnce) {
    ScriptedSmtpServer server(
        Greeting() +
        std::vector<ScriptStep>{
            C("MAIL FROM:<alice@example.test>\r\n"), S("250 Ok\r\n"),
            C("RCPT TO:<bob@example.test>\r\n"),     S("250 Ok\r\n"),
            C("DATA\r\n"),                           S("354 go\r\n"),
            C("Subject: test\r\n\r\n..\r\n..x\r\nx.\r\n...\r\n.\r\n"), S("250 Ok\r\n"),
        } +
        kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"}, {".", ".x", "x.", ".."});
    client.smtp.SubmitMessage(mail.message);
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSession, MailAgentSetsReplacesOrRemovesXMailer) {
    ScriptedSmtpServer server(Greeting() + Envelope() + Envelope() + kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test"});
    mail.message.ExtraHeaders().Add("x-mailer: Old");
    client.smtp.SetMailAgent("Larkpost 1.0.0.0");
    client.smtp.SubmitMessage(mail.message);
    EXPECT_EQ(mail.message.ExtraHeaders().Lines(), std::vector<std::string>{"X-Mailer: Larkpost 1.0.0.0"});
    client.smtp.SetMailAgent("");
    client.smtp.SubmitMessage(mail.message);
    EXPECT_EQ(mail.message.ExtraHeaders().Count(), 0u);
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

// ---- Closing --------------------------------------------------------------------------------

TEST(SMTPSession, QuitAnswerDoesNotMatter) {
    const std::vector<std::string> closed = {"Connected.", "OnConnected", "Disconnecting.",
                                             "OnDisconnected", "Disconnected."};
    struct Case {
        const char* name;
        std::vector<ScriptStep> quit;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"221", kQuit, closed},
        {"500", {C("QUIT\r\n"), S("500 5.5.2 what\r\n")}, closed},
        // The read that met the close has closed the handler already (it reports that itself).
        {"closed without answer", {C("QUIT\r\n"), CloseNow()}, {"Connected.", "OnConnected"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(Greeting() + c.quit);
        Client client(server.Port());
        client.smtp.EstablishConnection();
        client.smtp.CloseConnection();
        EXPECT_FALSE(client.smtp.IsConnected());
        EXPECT_EQ(client.events, c.events);
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(SMTPSession, CloseOfAClosedClientReportsNothing) {
    Client client(ScriptedSmtpServer::UnusedPort());
    client.smtp.CloseConnection();
    EXPECT_TRUE(client.events.empty());
}

// ---- TLS mode and port ----------------------------------------------------------------------

TEST(SMTPSession, UseTlsMovesOnlyTheWellKnownPorts) {
    struct Case {
        const char* name;
        TLpUseTLS from;
        uint16_t port;
        TLpUseTLS to;
        uint16_t expected;
    };
    const Case cases[] = {
        {"25 to implicit", utUseExplicitTLS, 25, utUseImplicitTLS, 465},
        {"465 back to explicit", utUseImplicitTLS, 465, utUseExplicitTLS, 25},
        {"465 to no TLS", utUseImplicitTLS, 465, utNoTLSSupport, 25},
        {"587 stays", utUseExplicitTLS, 587, utUseImplicitTLS, 587},
        {"465 stays when the mode stays", utUseExplicitTLS, 465, utUseExplicitTLS, 465},
        {"465 to require", utUseExplicitTLS, 465, utUseRequireTLS, 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(25);
        client.smtp.SetUseTLS(c.from);
        client.smtp.SetPort(c.port);
        client.smtp.SetUseTLS(c.to);
        EXPECT_EQ(client.smtp.Port(), c.expected);
        EXPECT_EQ(client.smtp.UseTLS(), c.to);
    }
}

TEST(SMTPSession, UseTlsRules) {
    TLpSSLIOHandlerSocketOpenSSL tls;
    TLpIOHandlerStack plain;
    TLpSMTP smtp;
    EXPECT_EQ(smtp.Port(), 25);
    EXPECT_EQ(smtp.UseTLS(), utNoTLSSupport);
    EXPECT_EQ(smtp.AuthType(), satDefault);
    try {
        smtp.SetUseTLS(utUseExplicitTLS);
        ADD_FAILURE() << "no error";
    } catch (const ELpTLSClientSSLIOHandlerRequred& e) {
        EXPECT_EQ(std::string(e.what()), "SSL IOHandler is required for this setting");
    }

    // While the window's configuration loads, the mode is stored before the handler arrives.
    smtp.BeginLoading();
    smtp.SetUseTLS(utUseExplicitTLS);
    smtp.SetIOHandler(&tls);
    smtp.Loaded();
    EXPECT_EQ(smtp.UseTLS(), utUseExplicitTLS);

    smtp.SetUseEhlo(false);
    smtp.SetUseTLS(utUseRequireTLS);
    EXPECT_TRUE(smtp.UseEhlo());

    smtp.SetIOHandler(&plain);
    EXPECT_EQ(smtp.UseTLS(), utNoTLSSupport);

    ScriptedSmtpServer server(Greeting() + kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    try {
        client.smtp.SetUseTLS(utUseRequireTLS);
        ADD_FAILURE() << "no error";
    } catch (const ELpTLSClientCanNotSetWhileConnected& e) {
        EXPECT_EQ(std::string(e.what()), "This value can not be set while the client is connected.");
    }
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

// A CR or LF in an address must not split a command: nothing of it reaches the wire.
TEST(SMTPSession, LineBreakInAnAddressIsRefusedBeforeWriting) {
    ScriptedSmtpServer server(Greeting() +
                              std::vector<ScriptStep>{C("MAIL FROM:<alice@example.test>\r\n"),
                                                      S("250 Ok\r\n")} +
                              kQuit);
    Client client(server.Port());
    client.smtp.EstablishConnection();
    PlainMessage mail({"bob@example.test>\r\nRCPT TO:<evil@example.test"});
    EXPECT_THROW(client.smtp.SubmitMessage(mail.message), ELpException);
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

}  // namespace
}  // namespace larkpost
