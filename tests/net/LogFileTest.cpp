// The connection log file: entries byte for byte, tokens, appending, and the Filename lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ClientFixture.h"
#include "net/LogFile.h"
#include "support/ScriptedSmtpServer.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("larkpost-logfile-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        TLpLogBase::SetTimeStampSource([] { return std::string("12/10/2026 14:05:09"); });
    }
    void TearDown() override {
        TLpLogBase::SetTimeStampSource({});
        fs::remove_all(m_dir);
    }
    std::string Path(const char* name) const { return (m_dir / name).string(); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // A short conversation through a client whose intercept is the log.
    void Converse(TLpLogFile& log) {
        ScriptedSmtpServer server({S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"),
                                   S("250-mx.test\r\n250 8BITMIME\r\n"), C("QUIT\r\n"),
                                   S("221 bye\r\n")});
        TLpIOHandlerStack handler;
        TLpTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.SetReadTimeout(5000);
        client.SetIOHandler(&handler);
        client.SetIntercept(&log);
        client.EstablishConnection();
        client.AwaitReply(220);
        client.IssueCommand("EHLO client.test", 250);
        client.IssueCommand("QUIT", 221);
        client.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
    }

    fs::path m_dir;
};

TEST_F(LogFileTest, ConversationWithTokensAndTimeStamps) {
    TLpLogFile log;
    log.SetFilename(Path("smtp.log"));
    log.SetActive(true);
    Converse(log);
    log.SetActive(false);
    EXPECT_EQ(Read(Path("smtp.log")),
              "Stat Connected.\r\n"
              "Recv 12/10/2026 14:05:09: 220 mx.test ESMTP<EOL>\r\n"
              "Sent 12/10/2026 14:05:09: EHLO client.test<EOL>\r\n"
              "Recv 12/10/2026 14:05:09: 250-mx.test<EOL>250 8BITMIME<EOL>\r\n"
              "Sent 12/10/2026 14:05:09: QUIT<EOL>\r\n"
              "Recv 12/10/2026 14:05:09: 221 bye<EOL>\r\n"
              "Stat Disconnected.\r\n");
}

TEST_F(LogFileTest, ConversationWithoutTokensOrTimeStamps) {
    TLpLogFile log;
    log.SetFilename(Path("smtp.log"));
    log.SetReplaceCRLF(false);
    log.SetLogTime(false);
    log.SetActive(true);
    Converse(log);
    log.SetActive(false);
    EXPECT_EQ(Read(Path("smtp.log")),
              "Stat Connected.\r\n"
              "Recv : 220 mx.test ESMTP\r\n\r\n"
              "Sent : EHLO client.test\r\n\r\n"
              "Recv : 250-mx.test\r\n250 8BITMIME\r\n\r\n"
              "Sent : QUIT\r\n\r\n"
              "Recv : 221 bye\r\n\r\n"
              "Stat Disconnected.\r\n");
}

TEST_F(LogFileTest, BreaksBecomeTokensInOrderAndOtherBytesStandUnchanged) {
    TLpLogFile log;
    log.SetFilename(Path("smtp.log"));
    log.SetLogTime(false);
    log.SetActive(true);
    TLpBytes chunk = {'a', '\r', 'b', '\n', 'c', '\r', '\n', '\r', '\r', '\n', '\n'};
    log.InterceptReceive(chunk);
    TLpBytes all;
    for (int i = 0; i < 256; ++i)
        if (i != '\r' && i != '\n') all.push_back(static_cast<uint8_t>(i));
    log.InterceptSend(all);
    log.SetActive(false);
    std::string expected = "Recv : a<CR>b<LF>c<EOL><CR><EOL><LF>\r\nSent : ";
    expected.append(all.begin(), all.end());
    expected += "\r\n";
    EXPECT_EQ(Read(Path("smtp.log")), expected);
    EXPECT_EQ(chunk.size(), 11u);  // the log never changes the buffers
}

TEST_F(LogFileTest, AppendsAcrossRunsAndLocksTheFilenameWhileOpen) {
    for (int run = 0; run < 2; ++run) {
        TLpLogFile log;
        log.SetFilename(Path("smtp.log"));
        log.SetActive(true);
        log.SetActive(true);  // a second switch-on opens nothing more
        try {
            log.SetFilename(Path("other.log"));
            ADD_FAILURE();
        } catch (const ELpException& e) {
            EXPECT_STREQ(e.what(), "Unable to set Filename while log file is open.");
        }
        log.InterceptConnect(nullptr);
    }  // destroying the log switches it off
    EXPECT_EQ(Read(Path("smtp.log")), "Stat Connected.\r\nStat Connected.\r\n");

    TLpLogFile log;
    log.SetFilename(Path("smtp.log"));
    log.SetActive(true);
    log.SetActive(false);
    log.SetFilename(Path("other.log"));
    log.SetActive(true);
    log.InterceptDisconnect();
    log.SetActive(false);
    log.InterceptDisconnect();  // inactive: nothing
    EXPECT_EQ(Read(Path("other.log")), "Stat Disconnected.\r\n");
}

TEST_F(LogFileTest, AFailedConnectLogsOnlyTheDisconnect) {
    TLpLogFile log;
    log.SetFilename(Path("smtp.log"));
    log.SetActive(true);
    RecordingClient rc(ScriptedSmtpServer::UnusedPort());
    rc.handler.SetIntercept(nullptr);
    rc.client.SetIntercept(nullptr);
    rc.client.SetIntercept(&log);
    EXPECT_THROW(rc.client.EstablishConnection(), ELpException);
    log.SetActive(false);
    EXPECT_EQ(Read(Path("smtp.log")), "Stat Disconnected.\r\n");
}

TEST_F(LogFileTest, AFileThatCannotBeOpenedRaisesAndLaterEntriesAreDropped) {
    TLpLogFile log;
    log.SetFilename(Path("missing-folder/smtp.log"));
    EXPECT_THROW(log.SetActive(true), ELpException);
    EXPECT_TRUE(log.Active());
    EXPECT_FALSE(log.IsOpen());
    log.InterceptConnect(nullptr);  // silently dropped
    log.SetActive(false);
    log.SetFilename(Path("smtp.log"));
    log.SetActive(true);
    log.InterceptConnect(nullptr);
    log.SetActive(false);
    EXPECT_EQ(Read(Path("smtp.log")), "Stat Connected.\r\n");
}

}  // namespace
}  // namespace larkpost
