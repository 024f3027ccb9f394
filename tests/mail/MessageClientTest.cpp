#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mail/MIMEBoundary.h"
#include "mail/Message.h"
#include "mail/MessageClient.h"
#include "mail/MessagePart.h"
#include "net/IOHandler.h"
#include "platform/SystemError.h"

namespace larkpost {
namespace {

const std::string kMailTestDir = LARKPOST_MAIL_TEST_DIR;
const char* const kBoundary = "0123456789=_abcdefghijklmnopqrstuv";

// An I/O handler whose socket is a string: every send is recorded with its size.
class CaptureHandler : public TLpIOHandler {
public:
    std::string sent;
    std::vector<int> sendSizes;
    bool WaitReadable(int) override { return false; }

protected:
    int ReceiveFromSocket(uint8_t*, int) override { return 0; }
    int SendToSocket(const uint8_t* data, int length) override {
        sent.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        sendSizes.push_back(length);
        return length;
    }
    bool SocketAvailable() override { return true; }
    int ErrorCodeOf(int) override { return 0; }
    [[noreturn]] void RaiseSocketFailure(int code) override {
        throw ELpException("socket failure " + std::to_string(code));
    }
};

class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = std::filesystem::temp_directory_path() /
                 ("larkpost-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& name, const std::string& content) const {
        const auto path = m_path / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

class MessageWriter : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_savedTz = tz ? tz : "";
        m_hadTz = tz != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        // The header charset follows the user's language; these messages expect UTF-8 words.
        const char* lcAll = std::getenv("LC_ALL");
        m_savedLcAll = lcAll ? lcAll : "";
        m_hadLcAll = lcAll != nullptr;
        ::setenv("LC_ALL", "C.UTF-8", 1);
        TLpMIMEBoundaryStrings::SetBoundarySource([] { return std::string(kBoundary); });
        m_handler.OpenHandler();
        m_client.SetIOHandler(&m_handler);
        m_client.OnStatus = [this](TLpComponent*, TLpStatus status, const std::string& text) {
            if (status == hsStatusText) m_statusTexts.push_back(text);
        };
    }
    void TearDown() override {
        TLpMIMEBoundaryStrings::SetBoundarySource(nullptr);
        if (m_hadLcAll)
            ::setenv("LC_ALL", m_savedLcAll.c_str(), 1);
        else
            ::unsetenv("LC_ALL");
        if (m_hadTz)
            ::setenv("TZ", m_savedTz.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

    // The message as the send workflow fills it: 5 March 2024 14:03:09 UTC.
    void FillLikeTheWorkflow(TLpMessage& message, const std::string& subject) {
        message.ClearMessage();
        message.SetConvertPreamble(false);
        message.SetEncoding(meMIME);
        message.SetCharSet("utf-8");
        message.SetContentTransferEncoding("8bit");
        message.SetContentType("multipart/mixed");
        message.SetSubject(subject);
        message.SetDate(std::chrono::system_clock::from_time_t(1709647389));
        message.From().SetName("Alice Example");
        message.From().SetAddress("alice@example.test");
        message.Recipients().ParseAddressList("bob@example.test");
        message.BccList().ParseAddressList("hidden@example.test");
        message.ExtraHeaders().SetHeader("X-Mailer", "Larkpost 1.0.0.0");
    }

    CaptureHandler m_handler;
    TLpMessageClient m_client;
    std::vector<std::string> m_statusTexts;
    std::string m_savedTz;
    bool m_hadTz = false;
    std::string m_savedLcAll;
    bool m_hadLcAll = false;
};

TEST_F(MessageWriter, SinglePartMessageByteForByte) {
    TLpMessage message;
    FillLikeTheWorkflow(message, "Quarterly report");
    TLpText& text =
        message.MessageParts().Add<TLpText>(std::vector<std::string>{"Hello Bob,", ".hidden",
                                                                     "Gr\xC3\xBC\xC3\x9F"
                                                                     "e"});
    text.SetContentType("text/plain; charset=UTF-8");

    m_client.WriteMessage(message);

    EXPECT_EQ(m_handler.sent,
              "From: \"Alice Example\" <alice@example.test>\r\n"
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
              "Gr=C3=BC=C3=9Fe\r\n"
              "\r\n");
    EXPECT_EQ(m_statusTexts, std::vector<std::string>{"Encoding text"});
}

TEST_F(MessageWriter, EmptyBodyGivesTheHeaderAndTheEndOfPartLine) {
    TLpMessage message;
    FillLikeTheWorkflow(message, "");
    message.MessageParts().Add<TLpText>().SetContentType("text/plain; charset=UTF-8");
    m_client.WriteMessage(message);
    const std::string tail =
        "Content-Disposition: inline\r\n"
        "\r\n"
        "\r\n";
    ASSERT_GE(m_handler.sent.size(), tail.size());
    EXPECT_EQ(m_handler.sent.substr(m_handler.sent.size() - tail.size()), tail);
}

TEST_F(MessageWriter, MultipartMessageByteForByte) {
    TempDir dir;
    std::string binary;
    for (int i = 0; i < 60; ++i) binary += static_cast<char>(i);
    TLpMessage message;
    FillLikeTheWorkflow(message, "Quarterly report");
    TLpText& text = message.MessageParts().Add<TLpText>(
        std::vector<std::string>{"<p>Hello Bob,</p>", ".hidden"});
    text.SetContentType("text/html; charset=UTF-8");
    message.MessageParts().Add<TLpAttachmentFile>(dir.File("data.bin", binary));
    message.MessageParts().Add<TLpAttachmentFile>(
        dir.File("\xC3\x9C"
                 "bersicht.txt",
                 "abc"));

    m_client.WriteMessage(message);

    EXPECT_EQ(m_handler.sent,
              "From: \"Alice Example\" <alice@example.test>\r\n"
              "Subject: Quarterly report\r\n"
              "To: bob@example.test\r\n"
              "Content-Type: multipart/mixed; charset=utf-8; "
              "boundary=\"0123456789=_abcdefghijklmnopqrstuv\"\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Transfer-Encoding: 8bit\r\n"
              "Date: Tue, 5 Mar 2024 14:03:09 +0000\r\n"
              "X-Mailer: Larkpost 1.0.0.0\r\n"
              "\r\n"
              "This is a multi-part message in MIME format\r\n"
              "\r\n"
              "--0123456789=_abcdefghijklmnopqrstuv\r\n"
              "Content-Type: text/html; charset=\"UTF-8\"\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n"
              "Content-Disposition: inline\r\n"
              "\r\n"
              "<p>Hello Bob,</p>\r\n"
              "=2Ehidden\r\n"
              "\r\n"
              "--0123456789=_abcdefghijklmnopqrstuv\r\n"
              "Content-Type: application/octet-stream;\r\n"
              "\tname=\"data.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment;\r\n"
              "\tfilename=\"data.bin\"\r\n"
              "\r\n"
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
              "OTo7\r\n"
              "\r\n"
              "--0123456789=_abcdefghijklmnopqrstuv\r\n"
              "Content-Type: text/plain;\r\n"
              "\tname=\"=?UTF-8?B?w5xiZXJzaWNodC50eHQ=?=\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment;\r\n"
              "\tfilename=\"=?UTF-8?B?w5xiZXJzaWNodC50eHQ=?=\"\r\n"
              "\r\n"
              "YWJj\r\n"
              "\r\n"
              "--0123456789=_abcdefghijklmnopqrstuv--\r\n"
              "\r\n");
    EXPECT_EQ(m_statusTexts, (std::vector<std::string>{"Encoding text", "Encoding attachment",
                                                       "Encoding attachment"}));
}

TEST_F(MessageWriter, FileNameNeverStartsAHeaderLine) {
    TempDir dir;
    TLpMessage message;
    FillLikeTheWorkflow(message, "x");
    message.MessageParts().Add<TLpText>().SetContentType("text/plain; charset=UTF-8");
    TLpAttachmentFile& file =
        message.MessageParts().Add<TLpAttachmentFile>(dir.File("a.bin", "abc"));
    file.SetFileName("evil\r\nBcc: victim@example.test\r\n\"q\".bin");
    m_client.WriteMessage(message);
    EXPECT_EQ(m_handler.sent.find("\r\nBcc:"), std::string::npos);
    EXPECT_NE(
        m_handler.sent.find("\tfilename=\"evil  Bcc: victim@example.test  \\\"q\\\".bin\"\r\n"),
        std::string::npos)
        << m_handler.sent;
}

TEST_F(MessageWriter, AttachmentRemovedBeforeSendingFailsAfterItsHeader) {
    TempDir dir;
    TLpMessage message;
    FillLikeTheWorkflow(message, "x");
    message.MessageParts().Add<TLpText>().SetContentType("text/plain; charset=UTF-8");
    const std::string path = dir.File("gone.pdf", "%PDF");
    message.MessageParts().Add<TLpAttachmentFile>(path);
    std::filesystem::remove(path);
    try {
        m_client.WriteMessage(message);
        ADD_FAILURE() << "no exception";
    } catch (const ELpFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + path + "\". No such file or directory");
    }
    const std::string tail = "\tfilename=\"gone.pdf\"\r\n\r\n";
    ASSERT_GE(m_handler.sent.size(), tail.size());
    EXPECT_EQ(m_handler.sent.substr(m_handler.sent.size() - tail.size()), tail);
}

TEST_F(MessageWriter, AttachmentDataLeavesInBlocksOfTheStreamThreshold) {
    TempDir dir;
    TLpMessage message;
    FillLikeTheWorkflow(message, "x");
    message.MessageParts().Add<TLpText>().SetContentType("text/plain; charset=UTF-8");
    message.MessageParts().Add<TLpAttachmentFile>(dir.File("big.bin", std::string(300000, 'x')));
    m_client.WriteMessage(message);
    // 300000 bytes give 5263 lines of 76 characters and CR LF, and one of 12: 410528 bytes.
    int blocks = 0;
    for (const int size : m_handler.sendSizes) blocks += size == 8192 ? 1 : 0;
    EXPECT_EQ(blocks, 410528 / 8192);
    EXPECT_FALSE(m_handler.IsWriteBuffering());
}

TEST_F(MessageWriter, UuencodedLineStartingWithAFullStopIsDotStuffed) {
    TempDir dir;
    TLpMessage message;
    FillLikeTheWorkflow(message, "x");
    message.SetEncoding(mePlainText);
    message.SetContentType("text/plain");
    message.Body() = {"See the attachment."};
    // 14 bytes: the uuencoded line's length character is ".".
    message.MessageParts().Add<TLpAttachmentFile>(dir.File("d.bin", "fourteen bytes"));
    m_client.WriteMessage(message);
    EXPECT_NE(m_handler.sent.find("\r\nbegin 644 d.bin\r\n..9F]U<G1E96X@8GET97,`\r\n`\r\nend\r\n"),
              std::string::npos)
        << m_handler.sent;
}

TEST(TCPStream, BuffersOnlyWhenItStartedBuffering) {
    CaptureHandler handler;
    handler.OpenHandler();
    TLpTCPClient connection;
    connection.SetIOHandler(&handler);
    {
        TLpTCPStream stream(connection);
        stream.write(std::string(20000, 'a').data(), 20000);
        EXPECT_EQ(handler.sendSizes, (std::vector<int>{8192, 8192}));
        EXPECT_TRUE(handler.IsWriteBuffering());
    }
    EXPECT_EQ(handler.sendSizes, (std::vector<int>{8192, 8192, 3616}));
    EXPECT_FALSE(handler.IsWriteBuffering());

    handler.sendSizes.clear();
    handler.BeginWriteBuffering(-1);
    {
        TLpTCPStream stream(connection);
        stream << "abc";
    }
    EXPECT_TRUE(handler.IsWriteBuffering());
    EXPECT_TRUE(handler.sendSizes.empty());
    handler.EndWriteBuffering();
    EXPECT_EQ(handler.sendSizes, std::vector<int>{3});
}

// Python's own MIME parser reads back what the writer produced: the test that our output is
// mail that real software understands, not just the bytes we expect.
class PythonReadback : public MessageWriter {
protected:
    void SetUp() override {
        if (std::system("python3 -c 'import email' >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "python3 not available";
        MessageWriter::SetUp();
    }

    // Writes the message, lets mime_readback.py compare it with the expectations (lines of
    // "key<TAB>value..."), and returns the script's verdict.
    std::string ReadBack(TLpMessage& message, const TempDir& dir, const std::string& expected) {
        m_client.WriteMessage(message);
        // The header charset came from the test's locale; the script runs in one that exists.
        ::setenv("LC_ALL", "C.UTF-8", 1);
        dir.File("message.eml", m_handler.sent);
        dir.File("expected.txt", expected);
        const std::string command = "python3 '" + kMailTestDir + "/mime_readback.py' '" +
                                    (dir.Path() / "message.eml").string() + "' '" +
                                    (dir.Path() / "expected.txt").string() + "' 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return "popen failed";
        std::string output;
        char buffer[4096];
        while (size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
        if (::pclose(pipe) != 0) output += "(script failed)";
        return output;
    }
};

const std::vector<std::string> kUnicodeBody = {
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln,",
    ".a line that starts with a full stop",
    "",
    std::string(100, 'x') + " long line, euro \xE2\x82\xAC, tab\tand trailing space ",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80",
};

std::string JoinedBody() {
    std::string text;
    for (const auto& line : kUnicodeBody) text += line + "\n";
    return text;
}

TEST_F(PythonReadback, PlainBodyWithoutAttachments) {
    TempDir dir;
    TLpMessage message;
    FillLikeTheWorkflow(message, "R\xC3\xA9sum\xC3\xA9 f\xC3\xBCr das Quartal");
    message.From().SetName("J\xC3\xB6rg M\xC3\xBCller");
    message.MessageParts().Add<TLpText>(kUnicodeBody).SetContentType("text/plain; charset=UTF-8");
    const std::string verdict = ReadBack(
        message, dir,
        "content_type\ttext/plain\n"
        "subject\tR\xC3\xA9sum\xC3\xA9 f\xC3\xBCr das Quartal\n"
        "from_name\tJ\xC3\xB6rg M\xC3\xBCller\n"
        "body_type\ttext/plain\n"
        // Without a closing boundary the empty line that ends every part stays in the body.
        "body_file\t" +
            dir.File("body.txt", JoinedBody() + "\n") + "\n");
    EXPECT_EQ(verdict, "readback ok\n");
}

TEST_F(PythonReadback, HtmlBodyWithBinaryAndNonAsciiNamedAttachments) {
    TempDir dir;
    std::string binary;
    for (int i = 0; i < 100003; ++i) binary += static_cast<char>((i * 2654435761u) >> 13);
    const std::string binaryPath = dir.File("payload.bin", binary);
    // Long enough to need several encoded words, which the writer separates by CR LF and a space.
    const std::string longName =
        "\xC3\x9C"
        "berweisungsbest\xC3\xA4tigung f\xC3\xBCr M\xC3\xA4rz \xE2\x80\x93 "
        "Jahresabschluss_2024_endg\xC3\xBCltig_\xC3\x9C"
        "bersicht.pdf";
    const std::string namedPath = dir.File(longName, "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");

    TLpMessage message;
    FillLikeTheWorkflow(message, "R\xC3\xA9sum\xC3\xA9 f\xC3\xBCr das Quartal");
    message.From().SetName("J\xC3\xB6rg M\xC3\xBCller");
    message.MessageParts().Add<TLpText>(kUnicodeBody).SetContentType("text/html; charset=UTF-8");
    message.MessageParts().Add<TLpAttachmentFile>(binaryPath);
    message.MessageParts().Add<TLpAttachmentFile>(namedPath);
    const std::string verdict = ReadBack(message, dir,
                                         "content_type\tmultipart/mixed\n"
                                         "subject\tR\xC3\xA9sum\xC3\xA9 f\xC3\xBCr das Quartal\n"
                                         "from_name\tJ\xC3\xB6rg M\xC3\xBCller\n"
                                         "body_type\ttext/html\n"
                                         "body_file\t" +
                                             dir.File("body.txt", JoinedBody()) +
                                             "\n"
                                             "attachment\tpayload.bin\t" +
                                             binaryPath +
                                             "\n"
                                             "attachment\t" +
                                             longName + "\t" + namedPath + "\n");
    EXPECT_NE(m_handler.sent.find("?=\r\n =?UTF-8?B?"), std::string::npos) << "name not split";
    EXPECT_EQ(verdict, "readback ok\n");
}

std::string Times(const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

// Subjects, display names and file names as a reader shows them, in the charset the locale
// picks: encoded words hold whole characters and, in ISO-2022-JP, end in ASCII; a character the
// charset lacks reads as "?" and spoils nothing around it; no header line passes 998 octets.
TEST_F(PythonReadback, HeaderWordsReadBackInEveryLocale) {
    struct Case {
        const char* name;
        const char* locale;
        std::string subject, fromName, fileName;
        std::string wantSubject, wantFromName, wantFileName;
    };
    const std::string mixed = Times("\xC3\xA4\xC3\xB6\xE2\x82\xAC\xF0\x9F\x98\x80", 20);
    const std::string longWord(1200, 'x');
    const Case cases[] = {
        {"long UTF-8 words", "C.UTF-8", mixed, "J\xC3\xB6rg " + mixed, mixed + ".txt", mixed,
         "J\xC3\xB6rg " + mixed, mixed + ".txt"},
        {"one word of 1200 characters", "C.UTF-8", longWord, longWord, "a.txt", longWord, longWord,
         "a.txt"},
        {"characters JIS lacks", "ja_JP.UTF-8", "会議 10時～12時", "山田太郎～事務局", "資料①.txt",
         "会議 10時?12時", "山田太郎?事務局", "資料?.txt"},
        {"long Japanese", "ja_JP.UTF-8", Times("会議の資料について、", 6),
         Times("株式会社山田商事", 5), "第3四半期の売上報告書と来期の予算計画について.txt",
         Times("会議の資料について、", 6), Times("株式会社山田商事", 5),
         "第3四半期の売上報告書と来期の予算計画について.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("LC_ALL", c.locale, 1);
        m_handler.sent.clear();
        TempDir dir;
        const std::string path = dir.File(c.fileName, "data");
        TLpMessage message;
        FillLikeTheWorkflow(message, c.subject);
        message.From().SetName(c.fromName);
        message.MessageParts().Add<TLpText>(kUnicodeBody).SetContentType(
            "text/plain; charset=UTF-8");
        message.MessageParts().Add<TLpAttachmentFile>(path);
        const std::string verdict = ReadBack(
            message, dir,
            "content_type\tmultipart/mixed\nsubject\t" + c.wantSubject + "\nfrom_name\t" +
                c.wantFromName + "\nbody_type\ttext/plain\nbody_file\t" +
                dir.File("body.txt", JoinedBody()) + "\nattachment\t" + c.wantFileName + "\t" +
                path + "\n");
        EXPECT_EQ(verdict, "readback ok\n");
        const std::string head = m_handler.sent.substr(0, m_handler.sent.find("\r\n\r\n"));
        for (size_t from = 0, end; from < head.size(); from = end + 2) {
            end = std::min(head.find("\r\n", from), head.size());
            EXPECT_LE(end - from, 998u) << head.substr(from, 60);
        }
    }
}

// A saved message is sent as the bytes of a file: a reader must not take base64 text for a
// message/rfc822 body (RFC 2046, 5.2.1), which it would show as an empty or garbled message.
TEST_F(PythonReadback, SavedMessagesGoAsFilesUnderTheirNames) {
    TempDir dir;
    const std::string saved = "From: a@b.test\r\nSubject: old\r\n\r\nkept as it was\r\n";
    const std::string emlPath = dir.File("saved.eml", saved);
    const std::string mhtPath = dir.File("page.mht", saved);
    TLpMessage message;
    FillLikeTheWorkflow(message, "Forwarded");
    message.MessageParts().Add<TLpText>(kUnicodeBody).SetContentType("text/plain; charset=UTF-8");
    message.MessageParts().Add<TLpAttachmentFile>(emlPath);
    message.MessageParts().Add<TLpAttachmentFile>(mhtPath);
    // Whatever the system's type tables say of .eml, a message type must not reach the wire.
    message.MessageParts()[1].SetContentType("message/rfc822");
    const std::string verdict =
        ReadBack(message, dir,
                 "content_type\tmultipart/mixed\nsubject\tForwarded\nfrom_name\tAlice Example\n"
                 "body_type\ttext/plain\nbody_file\t" +
                     dir.File("body.txt", JoinedBody()) + "\nattachment\tsaved.eml\t" + emlPath +
                     "\tapplication/octet-stream\nattachment\tpage.mht\t" + mhtPath +
                     "\tapplication/octet-stream\n");
    EXPECT_EQ(verdict, "readback ok\n");
    EXPECT_EQ(m_handler.sent.find("message/"), std::string::npos);
}

}  // namespace
}  // namespace larkpost
