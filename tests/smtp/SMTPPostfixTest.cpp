// The SMTP session against a real Postfix with Cyrus SASL on loopback: STARTTLS with a
// self-signed certificate, AUTH LOGIN and the SASL mechanisms, Postfix's own refusals, and the
// delivered message read back with Python's MIME parser.
//
// Under ctest the instance is started and stopped by fixtures and found through
// LARKPOST_POSTFIX_DIR; run directly, the suite starts an instance of its own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mail/Message.h"
#include "mail/MessagePart.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "smtp/SASLMechanisms.h"
#include "smtp/SMTP.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

const std::string kScript = LARKPOST_POSTFIX_SCRIPT;
const std::string kReadback = LARKPOST_READBACK_SCRIPT;

// The running instance's ports.env as a map.
class Postfix {
public:
    static Postfix& Get() {
        static Postfix instance;
        return instance;
    }
    bool Ready() const { return !m_values.empty(); }
    const std::string& Error() const { return m_error; }
    uint16_t Port(const std::string& name) const { return static_cast<uint16_t>(std::stoi(m_values.at(name))); }
    const std::string& Value(const std::string& name) const { return m_values.at(name); }

    ~Postfix() {
        if (m_ownDir.empty()) return;
        const std::string command = kScript + " clean " + m_ownDir + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not stop %s\n", m_ownDir.c_str());
    }

private:
    Postfix() {
        std::string dir;
        if (const char* shared = std::getenv("LARKPOST_POSTFIX_DIR")) dir = shared;
        if (dir.empty() || !fs::exists(dir + "/ports.env")) {
            if (::geteuid() != 0) {
                m_error = "a private Postfix needs root";
                return;
            }
            dir = (fs::temp_directory_path() / ("larkpost-postfix-" + std::to_string(::getpid()))).string();
            const std::string command = kScript + " start " + dir;
            if (std::system(command.c_str()) != 0) {
                m_error = "postfix.sh start failed";
                return;
            }
            m_ownDir = dir;
        }
        std::ifstream in(dir + "/ports.env");
        std::string line;
        while (std::getline(in, line)) {
            const auto eq = line.find('=');
            if (eq != std::string::npos) m_values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    std::map<std::string, std::string> m_values;
    std::string m_ownDir;
    std::string m_error;
};

// One recipient address per call, unique across the test processes sharing the instance.
std::string UniqueAddress(const std::string& what) {
    static std::atomic<int> counter{0};
    return what + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "@dest.test";
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out;
}

// What the readback script printed for the messages delivered to one address.
std::multimap<std::string, std::string> ReadBack(const std::string& address) {
    const std::string command =
        "python3 " + kReadback + " " + Postfix::Get().Value("MAILDIR") + " '" + address + "' 20";
    std::multimap<std::string, std::string> facts;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return facts;
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) facts.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
    return facts;
}

std::string Fact(const std::multimap<std::string, std::string>& facts, const std::string& key) {
    const auto it = facts.find(key);
    return it == facts.end() ? "<missing>" : it->second;
}

// The maillog line of one queued message shows how its sender logged in.
std::string SaslMethodOf(const std::string& queueId) {
    std::ifstream log(Postfix::Get().Value("MAILLOG"));
    std::string line;
    while (std::getline(log, line)) {
        if (line.find(" " + queueId + ": client=") == std::string::npos) continue;
        const auto at = line.find("sasl_method=");
        if (at == std::string::npos) return "<none>";
        const auto end = line.find(',', at);
        return line.substr(at + 12, end == std::string::npos ? std::string::npos : end - at - 12);
    }
    return "<no line>";
}

// "2.0.0 Ok: queued as 4Xk2..." loses its enhanced code in the reply: the last word is the id.
std::string QueueId(TLpSMTP& smtp) {
    const auto& text = smtp.LastReply().Text();
    if (text.empty()) return std::string();
    const std::string& line = text.front();
    return line.substr(line.rfind(' ') + 1);
}

struct Session {
    TLpSSLIOHandlerSocketOpenSSL handler;
    TLpSMTP smtp;
    TLpUserPassProvider credentials;
    std::vector<std::string> tlsInfo;

    explicit Session(uint16_t port) {
        handler.OnStatusInfo = [this](const std::string& text) { tlsInfo.push_back(text); };
        smtp.SetIOHandler(&handler);
        smtp.SetUseTLS(utUseExplicitTLS);
        smtp.SetHost("127.0.0.1");
        smtp.SetPort(port);
        smtp.SetReadTimeout(20000);
        smtp.SetHeloName("client.test");
        smtp.SetMailAgent("Larkpost test");
        smtp.SetAuthType(satNone);
    }
    ~Session() {
        try {
            smtp.CloseConnection();
        } catch (...) {
        }
    }
    void LogInWith(TLpSMTPAuthenticationType type, const std::string& password) {
        smtp.SetAuthType(type);
        smtp.SetUsername(Postfix::Get().Value("SASL_USER"));
        smtp.SetPassword(password);
        credentials.SetUsername(Postfix::Get().Value("SASL_USER"));
        credentials.SetPassword(password);
    }
};

// The message as the send workflow builds it.
void FillLikeTheWorkflow(TLpMessage& message, const std::string& to, const std::string& subject,
                         const std::vector<std::string>& body) {
    message.SetConvertPreamble(false);
    message.SetEncoding(meMIME);
    message.SetCharSet("utf-8");
    message.SetContentTransferEncoding("8bit");
    message.SetContentType("multipart/mixed");
    message.SetSubject(subject);
    message.From().SetName("Alice Example");
    message.From().SetAddress("alice@example.test");
    message.Recipients().ParseAddressList(to);
    message.MessageParts().Add<TLpText>(body).SetContentType("text/plain; charset=UTF-8");
}

class SMTPPostfix : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Postfix::Get().Ready()) GTEST_SKIP() << Postfix::Get().Error();
    }
};

TEST_F(SMTPPostfix, StartTlsAndAuthLoginDeliverToEveryRecipient) {
    const fs::path dir = fs::temp_directory_path() / ("larkpost-pf-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string binary;
    for (int i = 0; i < 40000; ++i) binary += static_cast<char>((i * 7) & 0xFF);
    std::ofstream(dir / "data.bin", std::ios::binary) << binary;

    const std::string to = UniqueAddress("to"), cc = UniqueAddress("cc"), bcc = UniqueAddress("bcc");
    Session session(Postfix::Get().Port("TLS_PORT"));
    session.LogInWith(satDefault, Postfix::Get().Value("SASL_PASSWORD"));
    session.smtp.EstablishConnection();
    TLpMessage message;
    FillLikeTheWorkflow(message, to, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 report",
                        {"Hello,", ".a line with a leading dot", "\xE2\x82\xAC 100"});
    message.CCList().ParseAddressList(cc);
    message.BccList().ParseAddressList(bcc);
    message.MessageParts().Add<TLpAttachmentFile>((dir / "data.bin").string());
    session.smtp.SubmitMessage(message);
    const std::string queueId = QueueId(session.smtp);
    EXPECT_TRUE(session.handler.TlsActive());
    EXPECT_TRUE(session.smtp.LoggedIn());
    session.smtp.CloseConnection();

    const auto facts = ReadBack(to);
    EXPECT_EQ(Fact(facts, "count"), "1");
    EXPECT_EQ(Fact(facts, "subject"), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 report");
    EXPECT_EQ(Fact(facts, "from"), "Alice Example <alice@example.test>");
    EXPECT_EQ(Fact(facts, "to"), to);
    EXPECT_EQ(Fact(facts, "cc"), cc);
    EXPECT_EQ(Fact(facts, "bcc"), "<none>");
    EXPECT_EQ(Fact(facts, "x-mailer"), "Larkpost test");
    EXPECT_EQ(Fact(facts, "body"), Escaped("Hello,\n.a line with a leading dot\n\xE2\x82\xAC 100\n"));
    std::ostringstream sha;
    {
        const std::string command = "sha256sum " + (dir / "data.bin").string();
        FILE* pipe = ::popen(command.c_str(), "r");
        char hex[65] = {};
        if (pipe && std::fread(hex, 1, 64, pipe) == 64) sha << hex;
        if (pipe) ::pclose(pipe);
    }
    EXPECT_EQ(Fact(facts, "attachment"), "data.bin\t40000\t" + sha.str());
    EXPECT_EQ(Fact(ReadBack(cc), "count"), "1");
    const auto hidden = ReadBack(bcc);
    EXPECT_EQ(Fact(hidden, "count"), "1");
    EXPECT_EQ(Fact(hidden, "bcc"), "<none>");
    EXPECT_EQ(SaslMethodOf(queueId), "LOGIN");
    bool sawCipher = false;
    for (const auto& text : session.tlsInfo) sawCipher |= text.rfind("Cipher: name = ", 0) == 0;
    EXPECT_TRUE(sawCipher);
    fs::remove_all(dir);
}

TEST_F(SMTPPostfix, EachSaslMechanismLogsInAfterStartTls) {
    for (const char* mechanism : {"PLAIN", "LOGIN", "CRAM-MD5", "DIGEST-MD5", "OTP"}) {
        SCOPED_TRACE(mechanism);
        TLpSASLPlain plain;
        TLpSASLLogin login;
        TLpSASLCRAMMD5 cramMd5;
        TLpSASLDigest digest;
        TLpSASLOTP otp;
        Session session(Postfix::Get().Port("TLS_PORT"));
        session.LogInWith(satSASL, Postfix::Get().Value("SASL_PASSWORD"));
        for (TLpSASLUserPass* m : std::initializer_list<TLpSASLUserPass*>{&plain, &login, &cramMd5, &digest, &otp}) {
            m->SetUserPassProvider(&session.credentials);
            if (m->MechanismName() == mechanism) session.smtp.SASLMechanisms().Add(m);
        }
        ASSERT_EQ(session.smtp.SASLMechanisms().Count(), 1);
        const std::string to = UniqueAddress("sasl");
        session.smtp.EstablishConnection();
        TLpMessage message;
        FillLikeTheWorkflow(message, to, mechanism, {"Logged in."});
        session.smtp.SubmitMessage(message);
        EXPECT_EQ(SaslMethodOf(QueueId(session.smtp)), mechanism);
        session.smtp.CloseConnection();
        EXPECT_EQ(Fact(ReadBack(to), "subject"), mechanism);
    }
}

TEST_F(SMTPPostfix, WrongPasswordCarriesPostfixsText) {
    for (TLpSMTPAuthenticationType type : {satDefault, satSASL}) {
        SCOPED_TRACE(type);
        TLpSASLPlain plain;
        Session session(Postfix::Get().Port("TLS_PORT"));
        session.LogInWith(type, "not the password");
        plain.SetUserPassProvider(&session.credentials);
        session.smtp.SASLMechanisms().Add(&plain);
        session.smtp.EstablishConnection();
        TLpMessage message;
        FillLikeTheWorkflow(message, UniqueAddress("refused"), "never sent", {"x"});
        try {
            session.smtp.SubmitMessage(message);
            ADD_FAILURE() << "no error";
        } catch (const ELpSMTPReplyError& e) {
            EXPECT_EQ(std::string(e.what()), "Error: authentication failed: authentication failure\r\n");
            EXPECT_EQ(e.ReplyCode(), 535);
            EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), "5.7.8");
        }
        EXPECT_TRUE(session.smtp.IsConnected());
    }
}

// Without a login the TLS port relays nothing: every recipient is refused, RSET follows, and
// the error is Postfix's text for the last one.
TEST_F(SMTPPostfix, UnauthenticatedRecipientsAreRefused) {
    Session session(Postfix::Get().Port("TLS_PORT"));
    std::vector<std::string> refused;
    session.smtp.OnFailedRecipient = [&](TLpBaseComponent*, const std::string& address,
                                         const std::string& code, const std::string&, bool&) {
        refused.push_back(address + " " + code);
    };
    const std::string a = UniqueAddress("a"), b = UniqueAddress("b");
    session.smtp.EstablishConnection();
    TLpMessage message;
    FillLikeTheWorkflow(message, a + ", " + b, "never sent", {"x"});
    try {
        session.smtp.SubmitMessage(message);
        ADD_FAILURE() << "no error";
    } catch (const ELpSMTPReplyError& e) {
        EXPECT_EQ(std::string(e.what()), "<" + b + ">: Recipient address rejected: Access denied\r\n");
        EXPECT_EQ(e.ReplyCode(), 554);
    }
    EXPECT_EQ(refused, (std::vector<std::string>{a + " 554", b + " 554"}));
    EXPECT_TRUE(session.handler.TlsActive());
    EXPECT_TRUE(session.smtp.IsConnected());
}

TEST_F(SMTPPostfix, RefusedRecipientAmongOthersTheOthersReceive) {
    const std::string a = UniqueAddress("a");
    const std::string refusedAddress = "refused@" + std::to_string(::getpid()) + "-mixed.test";
    const std::string b = UniqueAddress("b");
    Session session(Postfix::Get().Port("PLAIN_PORT"));
    std::vector<std::string> refused;
    session.smtp.OnFailedRecipient = [&](TLpBaseComponent*, const std::string& address,
                                         const std::string& code, const std::string& text, bool&) {
        refused.push_back(address + " " + code + " " + text);
    };
    session.smtp.EstablishConnection();
    TLpMessage message;
    FillLikeTheWorkflow(message, a + ", " + refusedAddress + ", " + b, "two of three", {"x"});
    session.smtp.SubmitMessage(message);
    session.smtp.CloseConnection();
    EXPECT_EQ(refused, std::vector<std::string>{refusedAddress + " 550 <" + refusedAddress +
                                                ">: Recipient address rejected: Mailbox unavailable\r\n"});
    EXPECT_EQ(Fact(ReadBack(a), "count"), "1");
    EXPECT_EQ(Fact(ReadBack(b), "count"), "1");
}

TEST_F(SMTPPostfix, PlainPortWithoutStartTlsStillDelivers) {
    const std::string to = UniqueAddress("plain");
    Session session(Postfix::Get().Port("PLAIN_PORT"));
    session.smtp.EstablishConnection();
    EXPECT_FALSE(session.smtp.SupportsTLS());
    TLpMessage message;
    FillLikeTheWorkflow(message, to, "plain text", {"No TLS here."});
    session.smtp.SubmitMessage(message);
    EXPECT_FALSE(session.handler.TlsActive());
    session.smtp.CloseConnection();
    // A single-part message keeps the writer's end-of-part empty line in its body.
    EXPECT_EQ(Fact(ReadBack(to), "body"), "No TLS here.\\n\\n");
}

TEST_F(SMTPPostfix, AuthLoginWithoutTls) {
    const std::string to = UniqueAddress("auth");
    Session session(Postfix::Get().Port("AUTH_PORT"));
    session.LogInWith(satDefault, Postfix::Get().Value("SASL_PASSWORD"));
    session.smtp.EstablishConnection();
    TLpMessage message;
    FillLikeTheWorkflow(message, to, "auth in plain text", {"x"});
    session.smtp.SubmitMessage(message);
    EXPECT_EQ(SaslMethodOf(QueueId(session.smtp)), "LOGIN");
    EXPECT_FALSE(session.handler.TlsActive());
    session.smtp.CloseConnection();
    EXPECT_EQ(Fact(ReadBack(to), "count"), "1");
}

}  // namespace
}  // namespace larkpost
