// The SMTP client against servers that misbehave on purpose: lines that never end, replies that
// never end, codes that are not numbers, connections dropped at every stage, silence and a TLS
// handshake broken off half-way. Every one must end in the transport's or the session's own error,
// within the read time-out, with the input buffer no bigger than one line and one receive.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "mail/Message.h"
#include "net/Exceptions.h"
#include "net/Intercept.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "smtp/SMTP.h"
#include "smtp/SMTPBase.h"

namespace larkpost {
namespace {

constexpr int kReadTimeoutMs = 1000;

// The client as the send workflow sets it up, with a spy on the received chunks that records how
// large the handler's input buffer grew.
struct HostileClient {
    TLpSSLIOHandlerSocketOpenSSL handler;
    TLpConnectionIntercept spy;
    TLpSMTP smtp;
    size_t peakBuffer = 0;
    size_t received = 0;

    explicit HostileClient(uint16_t port) {
        spy.OnReceive = [this](TLpConnectionIntercept*, TLpBytes& chunk) {
            received += chunk.size();
            peakBuffer = std::max(peakBuffer, handler.InputBuffer().Size() + chunk.size());
        };
        handler.SetIntercept(&spy);
        handler.SetMaxLineAction(maException);
        smtp.SetIOHandler(&handler);
        smtp.SetUseTLS(utUseExplicitTLS);
        smtp.SetHost(ScriptedSmtpServer::Host());
        smtp.SetPort(port);
        smtp.SetReadTimeout(kReadTimeoutMs);
        smtp.SetHeloName("client.test");
        smtp.SetAuthType(satNone);
    }
    ~HostileClient() {
        try {
            smtp.CloseConnection(false);
        } catch (...) {
        }
    }
};

std::vector<ScriptStep> operator+(std::vector<ScriptStep> a, const std::vector<ScriptStep>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Repeat(const std::string& piece, size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

const std::vector<ScriptStep> kGreeting = {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"),
                                           S("250-mx.test\r\n250 STARTTLS\r\n")};
// The pause keeps what follows the 220 out of the client's read of it: these scripts are about the
// handshake, not about bytes that arrive with the 220.
const std::vector<ScriptStep> kToStartTls = {C("STARTTLS\r\n"),
                                             S("220 2.0.0 Ready to start TLS\r\n"), Delay(300)};
const std::vector<ScriptStep> kPlainGreeting = {S("220 mx.test ESMTP\r\n"),
                                                C("EHLO client.test\r\n"), S("250 mx.test\r\n")};
const std::vector<ScriptStep> kMailFrom = {C("MAIL FROM:<alice@example.test>\r\n"),
                                           S("250 2.1.0 Ok\r\n")};
const std::vector<ScriptStep> kRcptTo = {C("RCPT TO:<bob@example.test>\r\n"),
                                         S("250 2.1.5 Ok\r\n")};

// The first bytes of a TLS ServerHello record that announces 512 bytes and delivers 9.
const std::string kPartialServerHello("\x16\x03\x03\x02\x00\x02\x00\x01\xfc\x03\x03\x11\x22", 13);

// 4 MiB without a line feed: far beyond the 16384-byte limit, so a reader that waited for the end
// of the line would hold megabytes and then time out instead.
const size_t kEndless = 4u << 20;

enum class Stage { Connect, Send };

struct Case {
    const char* name;
    std::vector<ScriptStep> script;
    Stage stage;
    // The error's message; where a close races the client's writes, each outcome the kernel may
    // report is listed.
    std::vector<std::string> messages;
};

TEST(HostileServer, EveryMisbehaviourEndsInItsErrorWithinTheTimeout) {
    const std::string closed = "Connection Closed Gracefully.";
    const std::string timedOut = "Read timed out.";
    const std::string tooLong = "Max line length exceeded.";
    const std::string tooMany = "Max line read attempts exceeded.";
    const std::string tlsFailed = "SSL negotiation failed.";
    const std::vector<std::string> dropped = {closed, "Socket Error # 10054\r\nConnection reset by peer.",
                                              "Socket Error # 10058\r\nCannot send or receive after "
                                              "socket is closed."};
    const Case cases[] = {
        {"greeting that never ends", {SLongLine(kEndless, ""), Silent(5000)}, Stage::Connect,
         {tooLong}},
        {"greeting that never ends, dripped",
         {SDrip(std::string(20000, 'y'), 1000, 10), Silent(5000)}, Stage::Connect, {tooLong}},
        {"EHLO reply line that never ends",
         {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"), S("250-"), SLongLine(kEndless, ""),
          Silent(5000)},
         Stage::Connect, {tooLong}},
        {"endless continuation lines in the EHLO reply",
         {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"),
          S(Repeat("250-PIPELINING and more and more\r\n", 100000)), Silent(5000)},
         Stage::Connect, {tooMany}},
        {"thousands of blank lines before the greeting",
         {S(Repeat("\r\n", 50000) + "220 mx.test\r\n"), Silent(5000)}, Stage::Connect, {tooMany}},
        {"thousands of blank lines after RCPT",
         kPlainGreeting + kMailFrom +
             std::vector<ScriptStep>{C("RCPT TO:<bob@example.test>\r\n"),
                                     S(Repeat(" \r\n", 20000)), Silent(5000)},
         Stage::Send, {tooMany}},
        {"greeting code not a number", {S("abc def\r\n")}, Stage::Connect,
         {"Reply Code is not valid: abc"}},
        {"EHLO reply code with a letter",
         {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"), S("25O mx.test\r\n")},
         Stage::Connect, {"Reply Code is not valid: 25O"}},
        {"end-of-data reply code of four digits",
         kPlainGreeting + kMailFrom + kRcptTo +
             std::vector<ScriptStep>{C("DATA\r\n"), S("354 go\r\n"),
                                     C("Subject: test\r\n\r\nHi.\r\n.\r\n"),
                                     S("2500 queued\r\n250 ok\r\n")},
         Stage::Send, {"Reply Code is not valid: 2500"}},
        {"closes after the greeting", {S("220 mx.test ESMTP\r\n"), CloseNow()}, Stage::Connect,
         dropped},
        {"closes in the middle of the EHLO reply",
         {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"), S("250-mx.test\r\n250-SIZE"),
          CloseNow()},
         Stage::Connect, {closed}},
        {"closes after MAIL FROM", kPlainGreeting + kMailFrom + std::vector<ScriptStep>{CloseNow()},
         Stage::Send, dropped},
        {"closes instead of answering RCPT",
         kPlainGreeting + kMailFrom +
             std::vector<ScriptStep>{C("RCPT TO:<bob@example.test>\r\n"), CloseNow()},
         Stage::Send, {closed}},
        {"closes after 354", kPlainGreeting + kMailFrom + kRcptTo +
                                 std::vector<ScriptStep>{C("DATA\r\n"), S("354 go\r\n"), CloseNow()},
         Stage::Send, dropped},
        {"closes instead of answering the end of data",
         kPlainGreeting + kMailFrom + kRcptTo +
             std::vector<ScriptStep>{C("DATA\r\n"), S("354 go\r\n"),
                                     C("Subject: test\r\n\r\nHi.\r\n.\r\n"), CloseNow()},
         Stage::Send, {closed}},
        {"silent in the middle of the EHLO reply",
         {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"), S("250-mx.test\r\n"),
          Silent(5000)},
         Stage::Connect, {timedOut}},
        {"silent after the data",
         kPlainGreeting + kMailFrom + kRcptTo +
             std::vector<ScriptStep>{C("DATA\r\n"), S("354 go\r\n"),
                                     C("Subject: test\r\n\r\nHi.\r\n.\r\n"), Silent(5000)},
         Stage::Send, {timedOut}},
        {"partial ServerHello, then silence",
         kGreeting + kToStartTls + std::vector<ScriptStep>{S(kPartialServerHello), Silent(5000)},
         Stage::Send, {tlsFailed}},
        {"partial ServerHello, then close",
         kGreeting + kToStartTls + std::vector<ScriptStep>{S(kPartialServerHello), CloseNow()},
         Stage::Send, {tlsFailed}},
        {"megabytes of garbage instead of a ServerHello",
         kGreeting + kToStartTls + std::vector<ScriptStep>{SLongLine(kEndless, ""), Silent(5000)},
         Stage::Send, {tlsFailed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(c.script);
        HostileClient client(server.Port());
        TLpMessage message;
        message.SetNoEncode(true);
        message.From().SetAddress("alice@example.test");
        message.Recipients().Add().SetAddress("bob@example.test");
        message.InputHeaders().Add("Subject: test");
        message.SetBody({"Hi."});

        std::string error = "(no error)";
        const auto start = std::chrono::steady_clock::now();
        try {
            if (c.stage == Stage::Connect) {
                client.smtp.EstablishConnection();
            } else {
                client.smtp.EstablishConnection();
                client.smtp.SubmitMessage(message);
            }
        } catch (const ELpException& e) {
            error = e.what();
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_NE(std::find(c.messages.begin(), c.messages.end(), error), c.messages.end())
            << ScriptedSmtpServer::Visible(error);
        // A correctness bound: each wait may last one read time-out, and only one wait may fail.
        EXPECT_LT(elapsed, std::chrono::milliseconds(kReadTimeoutMs + 3000));
        // One line at most plus the chunk that overflowed it.
        EXPECT_LE(client.peakBuffer,
                  size_t(client.handler.MaxLineLength() + 2 * client.handler.RecvBufferSize()))
            << "received " << client.received;
        // Failing must not hang the close either, and what the server sent is gone with it.
        client.smtp.CloseConnection(false);
        EXPECT_FALSE(client.smtp.IsConnected());
        server.Finish(3000);
    }
}

// Replies that come with the 220 to STARTTLS were never protected by TLS: read inside it, a forged
// EHLO reply would become the extension list and forged 250s could make a refused send look
// delivered. The client stops there, writing nothing more (no handshake, no QUIT).
TEST(HostileServer, InputWithTheStartTlsReplyEndsTheSend) {
    struct Case {
        const char* name;
        std::string withThe220;
    };
    const Case cases[] = {
        {"a forged EHLO reply", "250-mx.test\r\n250 AUTH PLAIN\r\n"},
        {"a forged transaction",
         "250 mx.test\r\n250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n354 go\r\n250 2.0.0 queued\r\n"
         "221 bye\r\n"},
        {"one blank line", "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(
            kGreeting + std::vector<ScriptStep>{
                            C("STARTTLS\r\n"), S("220 2.0.0 Ready to start TLS\r\n" + c.withThe220),
                            Silent(1000)});
        HostileClient client(server.Port());
        TLpMessage message;
        message.SetNoEncode(true);
        message.From().SetAddress("alice@example.test");
        message.Recipients().Add().SetAddress("bob@example.test");
        message.SetBody({"Hi."});
        client.smtp.EstablishConnection();
        try {
            client.smtp.SubmitMessage(message);
            ADD_FAILURE() << "sent";
        } catch (const ELpTLSClientDataBeforeHandshake& e) {
            EXPECT_STREQ(e.what(),
                         "The server 127.0.0.1 sent unencrypted data after accepting STARTTLS; the "
                         "connection was closed, since that data could have been injected.");
            EXPECT_STREQ(e.ClassName(), "ELpTLSClientDataBeforeHandshake");
        }
        EXPECT_FALSE(client.smtp.IsConnected());
        server.Finish(3000);
        // Nothing after STARTTLS: not a ClientHello, not a command.
        EXPECT_EQ(server.Received(), "EHLO client.test\r\nSTARTTLS\r\n");
    }
}

// A plain-text write is bounded like a read: a server that stops reading in the middle of the
// data fills the socket buffers, and the next write waits one time-out, not for ever.
TEST(HostileServer, AServerThatStopsReadingDuringDataEndsTheSendWithinTheTimeout) {
    ScriptedSmtpServer server(
        kPlainGreeting + kMailFrom + kRcptTo +
        std::vector<ScriptStep>{C("DATA\r\n"), S("354 go\r\n"), Delay(20000)});
    HostileClient client(server.Port());
    TLpMessage message;
    message.SetNoEncode(true);
    message.From().SetAddress("alice@example.test");
    message.Recipients().Add().SetAddress("bob@example.test");
    // 32 MiB, far more than loopback's socket buffers hold.
    message.SetBody(std::vector<std::string>(1u << 19, std::string(62, 'b')));
    client.smtp.EstablishConnection();
    const auto start = std::chrono::steady_clock::now();
    try {
        client.smtp.SubmitMessage(message);
        ADD_FAILURE() << "sent";
    } catch (const ELpSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10060);
        EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(kReadTimeoutMs));
    EXPECT_LT(elapsed, std::chrono::milliseconds(kReadTimeoutMs + 3000));
    client.smtp.CloseConnection(false);
    server.Finish(3000);
}

// A hostile server leaves unread bytes behind; once the client has closed they must not make it
// look connected, or the next send in the same window would fail with "Already connected.".
TEST(HostileServer, LeftoverInputDoesNotOutliveTheClose) {
    HostileClient client(0);
    {
        ScriptedSmtpServer server({SLongLine(kEndless, ""), Silent(5000)});
        client.smtp.SetPort(server.Port());
        EXPECT_THROW(client.smtp.EstablishConnection(), ELpReadLnMaxLineLengthExceeded);
        client.smtp.CloseConnection(true);
        EXPECT_FALSE(client.smtp.IsConnected());
        server.Finish(3000);
    }
    ScriptedSmtpServer good(kPlainGreeting + std::vector<ScriptStep>{C("QUIT\r\n"), S("221 bye\r\n")});
    client.smtp.SetPort(good.Port());
    client.smtp.EstablishConnection();
    client.smtp.CloseConnection();
    EXPECT_EQ(good.Finish(), "");
}

// The limit is on the line, not on what arrives: 16384 bytes before the line feed (its CR
// included) still make a greeting, however slowly they come.
TEST(HostileServer, ALongestLegalGreetingStillConnects) {
    const std::string text = "220 " + std::string(16384 - 5, 'g');
    ScriptedSmtpServer server({SDrip(text + "\r\n", 4096, 50), C("EHLO client.test\r\n"),
                               S("250 mx.test\r\n"), C("QUIT\r\n"), S("221 bye\r\n")});
    HostileClient client(server.Port());
    client.smtp.EstablishConnection();
    EXPECT_EQ(client.smtp.LastReply().Code(), "250");
    client.smtp.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

}  // namespace
}  // namespace larkpost
