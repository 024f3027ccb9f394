// SMTP replies with enhanced status codes: parsing, the code's text form and class rule, and the
// error raised for a refused code, over a connection to the scripted fake server.
#include <gtest/gtest.h>

#include "net/Exceptions.h"
#include "net/SocketHandler.h"
#include "net/TCPClient.h"
#include "smtp/ReplySMTP.h"
#include "support/ScriptedSmtpServer.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

TEST(ReplySMTP, ParsesCodeTextAndEnhancedCode) {
    struct Case {
        const char* name;
        Lines lines;
        const char* code;
        Lines text;
        std::string enhanced;  // "" when not available
    };
    const Case cases[] = {
        {"multi-line with codes",
         {"250-2.1.0 first", "250 2.1.0 second"},
         "250",
         {"first", "second"},
         "2.1.0"},
        {"exactly 250", {"250"}, "250", {""}, ""},
        {"no detail part", {"250 2.1 OK"}, "250", {"2.1 OK"}, ""},
        {"class not 2, 4 or 5", {"250 7.1.0 x"}, "250", {"7.1.0 x"}, ""},
        {"rejected recipient",
         {"550 5.1.1 Mailbox unavailable"},
         "550",
         {"Mailbox unavailable"},
         "5.1.1"},
        {"code alone as remainder", {"250 2.0.0"}, "250", {""}, "2.0.0"},
        {"long parts read back short", {"250 2.1234.56789 x"}, "250", {"x"}, "2.123.567"},
        {"continuation without codes",
         {"250-mx.test", "250-PIPELINING", "250 8BITMIME"},
         "250",
         {"mx.test", "PIPELINING", "8BITMIME"},
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TLpReplySMTP r;
        r.ParseLines(c.lines);
        EXPECT_EQ(r.Code(), c.code);
        EXPECT_EQ(r.Text(), c.text);
        EXPECT_EQ(r.EnhancedCode().ReplyAsStr(), c.enhanced);
        EXPECT_EQ(r.EnhancedCode().Available(), !c.enhanced.empty());
    }
}

TEST(ReplySMTP, AReplyWithoutEnhancedCodeKeepsThePreviousOne) {
    TLpReplySMTP r;
    r.ParseLines({"250 2.1.0 Sender ok"});
    r.ParseLines({"354 Start mail input"});
    EXPECT_EQ(r.Text(), Lines{"Start mail input"});
    EXPECT_EQ(r.EnhancedCode().ReplyAsStr(), "2.1.0");
}

TEST(ReplySMTP, InvalidCodesFailWhileParsing) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {{"abc def", "Reply Code is not valid: abc"},
                          {"2500 x", "Reply Code is not valid: 2500"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TLpReplySMTP r;
        try {
            r.ParseLines({c.line});
            ADD_FAILURE();
        } catch (const ELpException& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(SMTPEnhancedCode, WellFormedCodes) {
    struct Case {
        const char* text;
        bool wellFormed;
    };
    const Case cases[] = {
        {"", true},      {"   ", true},     {"2.1.0", true},  {"5.7.1 denied", true},
        {"4.4.2", true}, {"55.1.1", true},  {"2.1", false},   {"7.1.0", false},
        {"2..0", false}, {"2.1.", false},   {"2.x.0", false}, {"2.1.0.5", false},
        {"x", false},    {" 2.1.0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TLpSMTPEnhancedCode::IsWellFormedCode(c.text), c.wellFormed);
    }
}

TEST(SMTPEnhancedCode, TextFormAndClassRule) {
    TLpSMTPEnhancedCode code;
    EXPECT_EQ(code.StatusClass(), 2u);
    EXPECT_EQ(code.ReplyAsStr(), "");
    code.SetReplyAsStr("4.7.12 try later");
    EXPECT_EQ(code.ReplyAsStr(), "4.7.12");
    EXPECT_TRUE(code.Available());
    try {
        code.SetReplyAsStr("9.9.9");
        ADD_FAILURE();
    } catch (const ELpSMTPReplyInvalidReplyString& e) {
        EXPECT_STREQ(e.what(), "Invalid Reply String.");
    }
    code.SetReplyAsStr("");
    EXPECT_FALSE(code.Available());
    EXPECT_EQ(code.Subject(), 7u);  // the other fields are left as they were
    for (uint32_t bad : {0u, 1u, 3u, 6u, 55u}) {
        SCOPED_TRACE(bad);
        try {
            code.SetStatusClass(bad);
            ADD_FAILURE();
        } catch (const ELpSMTPReplyInvalidClass& e) {
            EXPECT_STREQ(e.what(), "Invalid Reply Class.");
        }
    }
    TLpSMTPEnhancedCode copy;
    code.SetReplyAsStr("5.1.1");
    copy.Assign(code);
    EXPECT_EQ(copy.ReplyAsStr(), "5.1.1");
}

// The SMTP client's reply class, on a plain TCP client.
class SMTPReplyClient : public TLpTCPClient {
protected:
    std::unique_ptr<TLpReply> NewReply() const override { return std::make_unique<TLpReplySMTP>(); }
};

struct Fixture {
    ScriptedSmtpServer server;
    TLpIOHandlerStack handler;
    SMTPReplyClient client;
    explicit Fixture(std::vector<ScriptStep> script) : server(std::move(script)) {
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.SetReadTimeout(3000);
        client.SetIOHandler(&handler);
        client.EstablishConnection();
    }
    TLpReplySMTP& Reply() { return static_cast<TLpReplySMTP&>(client.LastReply()); }
};

TEST(SMTPReplyError, CarriesTheServerTextCodeAndEnhancedCode) {
    Fixture f({C("RCPT TO:<nobody@mx.test>\r\n"), S("550 5.1.1 Mailbox unavailable\r\n"),
               C("MAIL FROM:<a@b>\r\n"), S("250-2.1.0 first\r\n250 2.1.0 second\r\n")});
    try {
        f.client.IssueCommand("RCPT TO:<nobody@mx.test>", {250, 251});
        ADD_FAILURE();
    } catch (const ELpSMTPReplyError& e) {
        EXPECT_STREQ(e.what(), "Mailbox unavailable\r\n");
        EXPECT_EQ(e.ReplyCode(), 550);
        EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), "5.1.1");
        EXPECT_TRUE(e.EnhancedCode().Available());
        EXPECT_STREQ(e.ClassName(), "ELpSMTPReplyError");
    }
    EXPECT_EQ(f.Reply().Code(), "550");  // still readable after the error
    try {
        f.client.IssueCommand("MAIL FROM:<a@b>", 251);
        ADD_FAILURE();
    } catch (const ELpSMTPReplyError& e) {
        EXPECT_STREQ(e.what(), "first\r\nsecond\r\n");
    }
    f.client.CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
}

TEST(SMTPReplyError, AClassOfTwoDigitsFailsWhenTheErrorIsRaised) {
    Fixture f({S("550 55.1.1 rejected\r\n"), Silent(1000)});
    try {
        f.client.AwaitReply(250);
        ADD_FAILURE();
    } catch (const ELpSMTPReplyInvalidClass& e) {
        EXPECT_STREQ(e.what(), "Invalid Reply Class.");
    }
    f.client.CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
}

TEST(SMTPReplyError, AnyCodeIsAcceptedByANegativeCodeOrAnEmptyList) {
    Fixture f({S("220 greeting\r\n"), C("X\r\n"), S("500 5.5.1 what\r\n"), Silent(1000)});
    EXPECT_EQ(f.client.AwaitReply(-1), 220);
    EXPECT_EQ(f.client.IssueCommand("X", std::vector<int>{}), 500);
    EXPECT_EQ(f.Reply().EnhancedCode().ReplyAsStr(), "5.5.1");
    f.client.CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
}

TEST(SMTPReply, CopyingKeepsCodeEnhancedCodeAndText) {
    TLpReplySMTP a, b;
    a.ParseLines({"535 5.7.8 Authentication failed"});
    b.Assign(a);
    EXPECT_EQ(b.Code(), "535");
    EXPECT_EQ(b.EnhancedCode().ReplyAsStr(), "5.7.8");
    EXPECT_EQ(b.Text(), Lines{"Authentication failed"});
}

}  // namespace
}  // namespace larkpost
