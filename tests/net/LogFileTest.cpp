// The connection log file: entries byte for byte, tokens, appending, and the Filename lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

// The conversation holds the AUTH exchange: a new log is its owner's alone; an existing one keeps
// the mode it was given.
TEST_F(LogFileTest, NewFileIsPrivateAndAnExistingOneKeepsItsMode) {
    const mode_t oldMask = ::umask(022);
    std::ofstream(Path("shared.log")) << "";
    fs::permissions(Path("shared.log"), fs::perms(0644));
    for (const char* name : {"new.log", "shared.log"}) {
        TLpLogFile log;
        log.SetFilename(Path(name));
        log.SetActive(true);
        log.InterceptConnect(nullptr);
    }
    ::umask(oldMask);
    EXPECT_EQ(fs::status(Path("new.log")).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(Path("shared.log")).permissions(), fs::perms(0644));
    EXPECT_EQ(Read(Path("new.log")), "Stat Connected.\r\n");
}

// Another writer holds the log: without a wait the open fails at once; with one it fails after
// the wait, or succeeds as soon as the other lets go, appending after the other's entries.
TEST_F(LogFileTest, ABusyFileIsWaitedForUpToLockWait) {
    const std::string busy =
        "Cannot open file \"" + Path("smtp.log") + "\". The file is in use by another process.";
    TLpLogFile first;
    first.SetFilename(Path("smtp.log"));
    first.SetActive(true);
    first.InterceptConnect(nullptr);
    for (const int wait : {0, 150}) {
        TLpLogFile second;
        second.SetFilename(Path("smtp.log"));
        second.SetLockWait(wait);
        const auto start = std::chrono::steady_clock::now();
        try {
            second.SetActive(true);
            ADD_FAILURE() << "opened a busy log";
        } catch (const ELpException& e) {
            EXPECT_EQ(e.what(), busy);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(wait));
        EXPECT_FALSE(second.IsOpen());
    }
    std::thread release([&first] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        first.InterceptDisconnect();
        first.SetActive(false);
    });
    TLpLogFile second;
    second.SetFilename(Path("smtp.log"));
    second.SetLockWait(-1);
    second.SetActive(true);
    release.join();
    second.InterceptConnect(nullptr);
    second.SetActive(false);
    EXPECT_EQ(Read(Path("smtp.log")), "Stat Connected.\r\nStat Disconnected.\r\nStat Connected.\r\n");
}

}  // namespace
}  // namespace larkpost
