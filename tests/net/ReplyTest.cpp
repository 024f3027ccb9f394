// Replies of the three-digit protocols: the final-line rule, parsing, accepted codes, and the
// reply reader over a connection (bounded against peers that never end a reply).
#include <gtest/gtest.h>

#include "ClientFixture.h"
#include "net/Exceptions.h"
#include "net/Reply.h"
#include "support/ScriptedSmtpServer.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

TEST(ReplyRFC, FinalLineIsShortOrHasASpaceFourth) {
    TLpReplyRFC r;
    struct Case {
        const char* line;
        bool final;
    };
    const Case cases[] = {{"250 OK", true},    {"250", true},    {"25", true},
                          {"250-SIZE", false}, {"hello", false}, {"abc def", true},
                          {"2500 x", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(r.IsFinalLine(c.line), c.final);
    }
}

TEST(ReplyRFC, ParsesCodeAndTextAndRaisesWithTheText) {
    TLpReplyRFC r;
    r.ParseLines({"250-first", "250-second", "250 third"});
    EXPECT_EQ(r.Code(), "250");
    EXPECT_EQ(r.CodeValue(), 250);
    EXPECT_EQ(r.Text(), (Lines{"first", "second", "third"}));
    try {
        r.RaiseAsError();
    } catch (const ELpReplyRFCError& e) {
        EXPECT_STREQ(e.what(), "first\r\nsecond\r\nthird\r\n");
        EXPECT_EQ(e.ReplyCode(), 250);
        EXPECT_STREQ(e.ClassName(), "ELpReplyRFCError");
    }
    for (const char* bad : {"abc", "99", "1000"}) {
        SCOPED_TRACE(bad);
        try {
            r.SetCode(bad);
            ADD_FAILURE();
        } catch (const ELpException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Reply Code is not valid: ") + bad);
        }
    }
    r.SetCode("");
    EXPECT_EQ(r.CodeValue(), 0);
}

// A connection whose replies come from the fake server.
struct ReplyFixture {
    ScriptedSmtpServer server;
    RecordingClient rc;
    explicit ReplyFixture(std::vector<ScriptStep> script, int readTimeoutMs = 3000)
        : server(std::move(script)), rc(server.Port(), "127.0.0.1", readTimeoutMs) {
        rc.client.EstablishConnection();
    }
    TLpTCPClient& client() { return rc.client; }
};

TEST(AwaitReply, SkipsBlankLinesAndTrimsEachLine) {
    ReplyFixture f({S("\r\n250-first\r\n\r\n  250-second  \r\n250 third\r\n"), Silent(2000)});
    EXPECT_EQ(f.client().AwaitReply(250), 250);
    EXPECT_EQ(f.client().LastReply().Text(), (Lines{"first", "second", "third"}));
    f.client().CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
}

TEST(AwaitReply, ALineWithoutASpaceFourthKeepsTheReplyOpen) {
    ReplyFixture f({S("hello\r\n"), Silent(3000)}, 300);
    EXPECT_THROW(f.client().AwaitReply(-1), ELpReadTimeout);
    f.client().CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
}

TEST(AwaitReply, AcceptedCodes) {
    struct Case {
        const char* name;
        std::vector<int> accepted;
        bool ok;
    };
    const Case cases[] = {
        {"in the list", {250, 251}, true},
        {"not in the list", {251, 354}, false},
        {"empty list accepts all", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyFixture f({S("250 fine\r\n"), Silent(2000)});
        if (c.ok) {
            EXPECT_EQ(f.client().AwaitReply(c.accepted), 250);
        } else {
            EXPECT_THROW(f.client().AwaitReply(c.accepted), ELpReplyRFCError);
            EXPECT_EQ(f.client().LastReply().Text(), Lines{"fine"});  // still readable
        }
        f.client().CloseConnection();
        EXPECT_EQ(f.server.Finish(), "");
    }
    ReplyFixture f({S("554 no\r\n"), Silent(2000)});
    EXPECT_EQ(f.client().AwaitReply(-1), 554);  // a negative single code accepts any
    f.client().CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
}

TEST(AwaitReply, GivesUpOnAPeerThatNeverEndsItsReply) {
    struct Case {
        const char* name;
        std::string line;
    };
    const Case cases[] = {{"blank lines", "\r\n"}, {"continuation lines", "250-more\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string flood;
        for (int i = 0; i < TLpTCPConnection::kMaxReplyLines + 5; ++i) flood += c.line;
        ReplyFixture f({S(flood), Silent(3000)});
        try {
            f.client().AwaitReply(250);
            ADD_FAILURE();
        } catch (const ELpReadLnWaitMaxAttemptsExceeded& e) {
            EXPECT_STREQ(e.what(), "Max line read attempts exceeded.");
        }
        f.client().CloseConnection();
        EXPECT_EQ(f.server.Finish(), "");
    }
}

TEST(IssueCommand, WritesOneLineAndRefusesLineBreaksBeforeWriting) {
    ReplyFixture f({C("NOOP\r\n"), S("250 ok\r\n"), Silent(1000)});
    EXPECT_EQ(f.client().IssueCommand("NOOP", 250), 250);
    for (const char* bad : {"RCPT TO:<a@b>\r\nDATA", "X\nY", "X\r"}) {
        SCOPED_TRACE(bad);
        try {
            f.client().IssueCommand(bad, 250);
            ADD_FAILURE();
        } catch (const ELpException& e) {
            EXPECT_STREQ(e.what(), "Command refused: it contains a line break (CR or LF).");
        }
    }
    f.client().CloseConnection();
    EXPECT_EQ(f.server.Finish(), "");
    EXPECT_EQ(f.server.Received(), "NOOP\r\n");
}

}  // namespace
}  // namespace larkpost
