// Line reads, the line-length limit, text writes with dot-stuffing and encodings, and write
// buffering, over loopback against the scripted fake server.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ClientFixture.h"
#include "net/Exceptions.h"
#include "support/ScriptedSmtpServer.h"

namespace larkpost {
namespace {

TEST(IOHandler, ReadLineDropsTheTerminatorAndACarriageReturnBeforeIt) {
    ScriptedSmtpServer server(
        {S("crlf\r\nbare lf\nbare\rcr inside\r\n\r\n  blank around  \r\n"), Silent(2000)});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    EXPECT_EQ(rc.io().ReadLine(), "crlf");
    EXPECT_EQ(rc.io().ReadLine(), "bare lf");
    EXPECT_EQ(rc.io().ReadLine(), "bare\rcr inside");
    // ReadLineWait skips the empty line and trims blanks at both ends.
    EXPECT_EQ(rc.io().ReadLineWait(), "blank around");
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, ReadLineWaitGivesUpAfterFailCountEmptyLines) {
    ScriptedSmtpServer server({S("\r\n \r\n\t\r\nlate\r\n"), Silent(2000)});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    try {
        rc.io().ReadLineWait(3);
        ADD_FAILURE();
    } catch (const ELpReadLnWaitMaxAttemptsExceeded& e) {
        EXPECT_STREQ(e.what(), "Max line read attempts exceeded.");
    }
    EXPECT_EQ(rc.io().ReadLineWait(3), "late");
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, LinesUpTo16384BytesBeforeTheLineFeedAreAccepted) {
    struct Case {
        const char* name;
        std::string sent;
        bool accepted;
    };
    const Case cases[] = {
        {"16384 bytes then LF", std::string(16384, 'x') + "\n", true},
        {"16383 bytes then CR LF", std::string(16383, 'x') + "\r\n", true},
        {"16385 bytes then LF", std::string(16385, 'x') + "\n", false},
        {"16384 bytes then CR LF", std::string(16384, 'x') + "\r\n", false},
        {"16385 bytes and no end yet", std::string(16385, 'x'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server({S(c.sent), Silent(3000)});
        RecordingClient rc(server.Port(), "127.0.0.1", 2000);
        rc.client.EstablishConnection();
        if (c.accepted) {
            std::string line = rc.io().ReadLine();
            EXPECT_EQ(line.size(), c.sent.find_first_of("\r\n"));
        } else {
            try {
                rc.io().ReadLine();
                ADD_FAILURE() << "accepted";
            } catch (const ELpReadLnMaxLineLengthExceeded& e) {
                EXPECT_STREQ(e.what(), "Max line length exceeded.");
            }
            EXPECT_FALSE(rc.io().ReadLineTimedOut());
        }
        rc.client.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(IOHandler, SplitModeHandsOutLongLinesInParts) {
    ScriptedSmtpServer server({S(std::string(10, 'a') + "bcd\r\n"), Silent(2000)});
    RecordingClient rc(server.Port());
    rc.io().SetMaxLineAction(maSplit);
    rc.client.EstablishConnection();
    EXPECT_EQ(rc.io().ReadLine("\n", -1, 10), std::string(10, 'a'));
    EXPECT_TRUE(rc.io().ReadLineSplit());
    EXPECT_EQ(rc.io().ReadLine("\n", -1, 10), "bcd");
    EXPECT_FALSE(rc.io().ReadLineSplit());
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, DotStuffingDoublesOnlyALeadingFullStop) {
    ScriptedSmtpServer server({
        C("..\r\n"
          "..hidden\r\n"
          "a.b.\r\n"
          "\r\n"
          "...\r\n"
          "last\r\n"
          ".\r\n"),
    });
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    rc.io().WriteLineDotStuffed(".");
    rc.io().WriteLineDotStuffed(".hidden");
    rc.io().WriteLineDotStuffed("a.b.");
    rc.io().WriteDotStuffedLines({"", "..", "last"}, true);
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, TextGoesOutInTheGivenEncoding) {
    ScriptedSmtpServer server({C("caf?\r\ncaf\xC3\xA9\r\ncaf\xE9\r\n??\r\n")});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    rc.io().WriteLine("caf\xC3\xA9");  // the default, 7-bit ASCII
    rc.io().WriteLine("caf\xC3\xA9", UTF8Encoding());
    rc.io().WriteLine("caf\xC3\xA9", EightBitEncoding());
    rc.io().WriteLine("\xF0\x9F\x98\x80");  // one character outside the BMP: two code units
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, BufferedWritesLeaveOnlyAtTheFlushAndAreDroppedByAClose) {
    std::vector<std::string> sent;
    auto record = [&](TLpConnectionIntercept*, TLpBytes& b) {
        sent.emplace_back(b.begin(), b.end());
    };
    {
        ScriptedSmtpServer server({C("one\r\ntwo\r\nthree\r\n")});
        RecordingClient rc(server.Port());
        rc.intercept.OnSend = record;
        rc.client.EstablishConnection();
        rc.io().BeginWriteBuffering();
        rc.io().WriteLine("one");
        rc.io().WriteLine("two");
        EXPECT_TRUE(sent.empty());
        rc.io().EndWriteBuffering();
        EXPECT_EQ(sent, std::vector<std::string>{"one\r\ntwo\r\n"});
        sent.clear();
        // WriteLines sends a whole list in one write.
        rc.io().WriteLines({"three"});
        EXPECT_EQ(sent, std::vector<std::string>{"three\r\n"});
        rc.client.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
    }
    {
        sent.clear();
        ScriptedSmtpServer server({Silent(3000)});
        RecordingClient rc(server.Port());
        rc.intercept.OnSend = record;
        rc.client.EstablishConnection();
        rc.io().BeginWriteBuffering();
        rc.io().WriteLine("never sent");
        rc.client.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
        EXPECT_EQ(server.Received(), "");
        EXPECT_TRUE(sent.empty());
    }
}

TEST(IOHandler, ThresholdFlushesWholeParts) {
    std::vector<std::string> sent;
    ScriptedSmtpServer server({C("abcdefghij\r\n")});
    RecordingClient rc(server.Port());
    rc.intercept.OnSend = [&](TLpConnectionIntercept*, TLpBytes& b) {
        sent.emplace_back(b.begin(), b.end());
    };
    rc.client.EstablishConnection();
    rc.io().BeginWriteBuffering(5);
    rc.io().WriteText("abcdefghij\r");
    EXPECT_EQ(sent, (std::vector<std::string>{"abcde", "fghij"}));
    rc.io().WriteText("\n");
    rc.io().EndWriteBuffering();
    EXPECT_EQ(sent.back(), "\r\n");
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, WritingAfterThePeerClosedRaises) {
    ScriptedSmtpServer server({CloseNow()});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(rc.client.IsConnected());
    try {
        rc.io().WriteLine("NOOP");
        ADD_FAILURE();
    } catch (const ELpConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    EXPECT_EQ(server.Finish(), "");
}

TEST(IOHandler, DestinationSplitsAtTheLastColon) {
    TLpIOHandlerStack h;
    h.SetDestination(":25");
    EXPECT_EQ(h.Host(), "");
    EXPECT_EQ(h.Port(), 25);
    h.SetDestination("mx.test: 587 ");
    EXPECT_EQ(h.Host(), "mx.test");
    EXPECT_EQ(h.Port(), 587);
    EXPECT_EQ(h.Destination(), "mx.test:587");
    h.SetDefaultPort(587);
    EXPECT_EQ(h.Destination(), "mx.test");
    h.SetDestination("mx.test:smtp");
    EXPECT_EQ(h.Port(), 587);
    h.SetDestination("no colon");
    EXPECT_EQ(h.Host(), "mx.test");
}

}  // namespace
}  // namespace larkpost
