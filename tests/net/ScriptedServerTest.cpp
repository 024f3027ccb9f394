// The fake server's own reports: a test that trusts it must see every deviation named.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "ClientFixture.h"
#include "net/Exceptions.h"
#include "support/ScriptedSmtpServer.h"

namespace larkpost {
namespace {

TEST(ScriptedServer, NamesTheFirstDifferenceWithVisibleLineEnds) {
    ScriptedSmtpServer server({S("220 mx.test\r\n"), C("EHLO client.test\r\n"), S("250 ok\r\n")});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    rc.client.AwaitReply(220);
    rc.io().WriteLine("HELO client.test");
    rc.client.CloseConnection();
    std::string report = server.Finish();
    EXPECT_NE(report.find("step 2 (C): expected EHLO client.test\\r\\n but the client sent "
                          "HELO client.test\\r\\n (first difference at byte 0)"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("S: 220 mx.test\\r\\n\nC: HELO client.test\\r\\n\n"), std::string::npos)
        << report;
}

TEST(ScriptedServer, ReportsBytesAfterTheScriptAndAClientThatNeverCame) {
    {
        ScriptedSmtpServer server({S("220 mx.test\r\n")});
        RecordingClient rc(server.Port());
        rc.client.EstablishConnection();
        rc.io().WriteLine("NOOP");
        rc.client.CloseConnection();
        std::string report = server.Finish();
        EXPECT_NE(report.find("after the last step the client sent more: NOOP\\r\\n"),
                  std::string::npos)
            << report;
    }
    {
        ScriptedSmtpServerOptions options;
        options.acceptTimeoutMs = 200;
        ScriptedSmtpServer server({S("220 mx.test\r\n")}, options);
        EXPECT_NE(server.Finish().find("the client never connected"), std::string::npos);
    }
}

TEST(ScriptedServer, FinishEndsAScriptTheClientAbandoned) {
    ScriptedSmtpServer server({S("220 mx.test\r\n"), C("EHLO x\r\n")});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    std::string report = server.Finish(300);
    EXPECT_NE(report.find("did not finish within 300 ms: waiting at step 2 (C EHLO x\\r\\n)"),
              std::string::npos)
        << report;
}

TEST(ScriptedServer, DestroyedWhileTheClientLingersAfterTheScriptReturnsAtOnce) {
    ScriptedSmtpServerOptions options;
    options.closeWaitMs = 60000;
    std::unique_ptr<RecordingClient> rc;  // outlives the server: the client never closes first
    const auto start = std::chrono::steady_clock::now();
    {
        ScriptedSmtpServer server({S("220 mx.test\r\n")}, options);
        rc = std::make_unique<RecordingClient>(server.Port());
        rc->client.EstablishConnection();
        rc->client.AwaitReply(220);
        // Let the server reach its wait for the client's close, then destroy it without Finish.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(IOHandler, WritingToAPeerThatHasGoneRaisesInsteadOfEndingTheProcess) {
    // Without MSG_NOSIGNAL the second send would raise SIGPIPE and end this test binary.
    ScriptedSmtpServer server({CloseNow()});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    EXPECT_EQ(server.Finish(), "");
    int code = 0;
    for (int i = 0; i < 20 && code == 0; ++i) {
        try {
            rc.io().WriteLine("NOOP");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } catch (const ELpSocketError& e) {
            code = e.ErrorCode();
        } catch (const ELpConnClosedGracefully&) {
            code = -1;
        }
    }
    EXPECT_TRUE(code == 10053 || code == 10054 || code == 10058) << code;
}

}  // namespace
}  // namespace larkpost
