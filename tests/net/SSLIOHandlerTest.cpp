// The TLS handler against real peers on loopback: `openssl s_server` (modern, and limited to
// TLS 1.0) and the scripted fake server's StartTls step; a missing OpenSSL simulated with an
// empty library directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "net/Exceptions.h"
#include "net/OpenSSLLibrary.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "net/SSLSocket.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "larkpost-tls-XXXXXX").string();
        m_path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `openssl s_server` for one connection, with a fresh self-signed certificate (CN mx.test).
class OpenSslServer {
public:
    // certificateOptions go to `openssl req` (e.g. a subjectAltName).
    explicit OpenSslServer(std::vector<std::string> extraArgs,
                           const std::string& certificateOptions = "") {
        const std::string cert = CertPath();
        const std::string key = (m_dir.Path() / "key.pem").string();
        const std::string make =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=mx.test " +
            certificateOptions + " -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            m_error = "could not make a certificate";
            return;
        }
        m_port = FreeLoopbackPort();
        std::vector<std::string> args = {
            "openssl",  "s_server", "-accept", "127.0.0.1:" + std::to_string(m_port),
            "-cert",    cert,       "-key",    key,
            "-naccept", "1"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        m_output = m_dir.Path() / "server.out";
        m_pid = fork();
        if (m_pid == 0) {
            const int out = open(m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Output().find("ACCEPT") == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                m_error = "s_server did not start: " + Output();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~OpenSslServer() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    const std::string& Error() const { return m_error; }
    std::string CertPath() const { return (m_dir.Path() / "cert.pem").string(); }
    const fs::path& Dir() const { return m_dir.Path(); }
    uint16_t Port() const { return m_port; }
    std::string Output() const { return ReadFile(m_output); }
    // The output once the server has ended its one connection (at most timeoutMs later).
    std::string OutputAfterClose(int timeoutMs = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Output().find("CONNECTION CLOSED") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Output();
    }

private:
    TempDir m_dir;
    fs::path m_output;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_error;
};

struct Client {
    TLpSSLIOHandlerSocketOpenSSL handler;
    std::vector<std::string> info;

    Client(const std::string& host, uint16_t port, int readTimeout = 5000) {
        handler.SetHost(host);
        handler.SetPort(port);
        handler.SetReadTimeout(readTimeout);
        handler.OnStatusInfo = [this](const std::string& text) { info.push_back(text); };
    }
    // The explicit-TLS road: connect in plain text, then switch.
    void ConnectPlain() {
        handler.SetTlsActive(false);
        handler.OpenHandler();
    }
    std::vector<std::string> NonStatusTexts() const {
        std::vector<std::string> texts;
        for (const auto& t : info) {
            if (t.rfind("SSL status: ", 0) != 0) texts.push_back(t);
        }
        return texts;
    }
};

int SocketTimeoutMs(int fd, int option) {
    timeval tv{};
    socklen_t length = sizeof tv;
    getsockopt(fd, SOL_SOCKET, option, &tv, &length);
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

TEST(SSLIOHandler, HandshakeWithModernServerReportsCipherAndVerification) {
    OpenSslServer server({"-rev", "-tlsextdebug", "-msg"});
    ASSERT_EQ(server.Error(), "");
    Client client("127.0.0.1", server.Port());
    client.ConnectPlain();
    client.handler.SetTlsActive(true);
    ASSERT_TRUE(client.handler.TlsActive());

    // The handshake's progress, then the cipher text, then the verification result.
    ASSERT_FALSE(client.info.empty());
    EXPECT_EQ(client.info.front().rfind("SSL status: \"", 0), 0u) << client.info.front();
    const auto texts = client.NonStatusTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("Cipher: name = TLS_", 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find("; description = "), std::string::npos);
    EXPECT_NE(texts[0].find("\n; bits = 256; version = TLSv1.3; "), std::string::npos) << texts[0];
    EXPECT_EQ(texts[0].substr(texts[0].size() - 2), "; ");
    // A self-signed certificate made out for another name is accepted, and the log says so.
    EXPECT_EQ(texts[1], "Certificate verification: self-signed certificate (not enforced)");

    // Encrypted both ways: s_server -rev sends each line back reversed.
    client.handler.WriteLine("hello over tls");
    EXPECT_EQ(client.handler.ReadLine(), "slt revo olleh");

    const size_t textsBeforeClose = client.info.size();
    client.handler.CloseHandler();
    EXPECT_EQ(client.info.size(), textsBeforeClose) << "progress reported while closing";
    const std::string out = server.OutputAfterClose();
    EXPECT_NE(out.find("<<< TLS 1.3, Alert [length 0002], warning close_notify"), std::string::npos)
        << out;
    // The server name as typed, also for an address literal.
    EXPECT_NE(out.find(".....127.0.0.1"), std::string::npos) << out;
    EXPECT_NE(out.find("Protocol version: TLSv1.3"), std::string::npos) << out;
}

TEST(SSLIOHandler, SendsHostNameAsTypedAndKeepsTlsSocketTimeouts) {
    OpenSslServer server({"-rev", "-tlsextdebug"});
    ASSERT_EQ(server.Error(), "");
    struct Case {
        int readTimeout;
        int expectedMs;
    };
    Client client("LocalHost", server.Port(), 0);
    client.ConnectPlain();
    const int fd = client.handler.Binding()->Handle();
    EXPECT_EQ(SocketTimeoutMs(fd, SO_RCVTIMEO), 0);
    client.handler.SetTlsActive(true);
    // ReadTimeout 0 means no read limit, yet OpenSSL's own waits are bounded by 30 s.
    EXPECT_EQ(SocketTimeoutMs(fd, SO_RCVTIMEO), 30000);
    EXPECT_EQ(SocketTimeoutMs(fd, SO_SNDTIMEO), 30000);
    client.handler.WriteLine("abc");
    EXPECT_EQ(client.handler.ReadLine(), "cba");
    client.handler.SetTlsActive(false);
    EXPECT_EQ(SocketTimeoutMs(fd, SO_RCVTIMEO), 0);
    EXPECT_EQ(SocketTimeoutMs(fd, SO_SNDTIMEO), 0);
    client.handler.CloseHandler();
    EXPECT_NE(server.OutputAfterClose().find(".....LocalHost"), std::string::npos)
        << server.Output();
}

// The server name extension carries ASCII host names only, and a certificate names an IPv6
// server by its address, never in brackets.
TEST(SSLIOHandler, ServerNameIsTheFormTheHostIsLookedUpBy) {
    struct Case {
        const char* host;
        const char* name;
    };
    const Case cases[] = {
        {"LocalHost", "LocalHost"},
        {"127.0.0.1", "127.0.0.1"},
        {"[::1]", "::1"},
        {"::1", "::1"},
        {"[mx.test]", "[mx.test]"},
        {"b\xC3\xBC" "cher.example", "xn--bcher-kva.example"},
        {"\xFF.example", "\xFF.example"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(TLpSSLSocket::ServerName(c.host), c.name);
    }
}

TEST(SSLIOHandler, Tls10OnlyServerNeedsSecurityLevelZero) {
    // OpenSSL 3 allows TLS 1.0 only at security level 0; the default context does not lower
    // it, so the handshake fails with OpenSSL's reason.
    {
        OpenSslServer server({"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"});
        ASSERT_EQ(server.Error(), "");
        Client client("127.0.0.1", server.Port());
        client.ConnectPlain();
        try {
            client.handler.SetTlsActive(true);
            FAIL() << "handshake succeeded";
        } catch (const ELpOpenSSLError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("Error connecting with SSL.\r\nerror:", 0), 0u) << message;
            EXPECT_STREQ(e.ClassName(), "ELpOSSLUnderlyingCryptoError");
        } catch (const ELpSocketError& e) {
            // s_server closes at once after refusing; now and then the reset overtakes its alert.
            EXPECT_EQ(e.ErrorCode(), 10054) << e.what();
        }
        EXPECT_FALSE(client.handler.TlsActive());
        EXPECT_TRUE(client.NonStatusTexts().empty());
        client.handler.CloseHandler();
    }
    // Where the cipher list permits it, the same server is reached with TLS 1.0.
    {
        OpenSslServer server({"-tls1", "-cipher", "DEFAULT@SECLEVEL=0", "-rev"});
        ASSERT_EQ(server.Error(), "");
        Client client("127.0.0.1", server.Port());
        client.handler.SSLOptions().SetCipherList("DEFAULT:@SECLEVEL=0");
        client.ConnectPlain();
        client.handler.SetTlsActive(true);
        const auto texts = client.NonStatusTexts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts[0].rfind("Cipher: name = ", 0), 0u) << texts[0];
        client.handler.WriteLine("old");
        EXPECT_EQ(client.handler.ReadLine(), "dlo");
        client.handler.CloseHandler();
        EXPECT_NE(server.OutputAfterClose().find("Protocol version: TLSv1\n"), std::string::npos)
            << server.Output();
    }
}

TEST(SSLIOHandler, EnforcedVerificationChecksChainAndAddress) {
    struct Case {
        const char* name;
        bool trustServer;
        bool hook;
        bool connects;
        std::string verification;
    };
    const Case cases[] = {
        {"trusted root, address in the certificate", true, false, true,
         "Certificate verification: ok"},
        {"unknown root", false, false, false, ""},
        {"unknown root, hook accepts", false, true, true,
         "Certificate verification: self-signed certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpenSslServer server({"-rev"}, "-addext subjectAltName=IP:127.0.0.1");
        ASSERT_EQ(server.Error(), "");
        Client client("127.0.0.1", server.Port());
        client.handler.SSLOptions().SetVerifyMode({sslvrfPeer});
        client.handler.SSLOptions().SetVerifyDepth(4);
        if (c.trustServer) client.handler.SSLOptions().SetRootCertFile(server.CertPath());
        std::vector<std::string> seen;
        if (c.hook) {
            client.handler.OnVerifyPeer = [&](TLpX509* certificate, bool ok, int depth, int error) {
                seen.push_back(certificate->Subject() + " ok=" + std::to_string(ok) + " depth=" +
                               std::to_string(depth) + " error=" + std::to_string(error));
                return true;
            };
        }
        client.ConnectPlain();
        try {
            client.handler.SetTlsActive(true);
            EXPECT_TRUE(c.connects);
            const auto texts = client.NonStatusTexts();
            ASSERT_EQ(texts.size(), 2u);
            EXPECT_EQ(texts[1], c.verification);
            client.handler.WriteLine("abc");
            EXPECT_EQ(client.handler.ReadLine(), "cba");
        } catch (const ELpOpenSSLError& e) {
            EXPECT_FALSE(c.connects) << e.what();
            EXPECT_NE(std::string(e.what()).find("certificate verify failed"), std::string::npos)
                << e.what();
        }
        if (c.hook) {
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.front(), "/CN=mx.test ok=0 depth=0 error=18");
        }
        client.handler.CloseHandler();
    }
}

TEST(SSLIOHandler, ClientCertificateFromPkcs12AndKeyFileErrors) {
    OpenSslServer server({"-rev", "-Verify", "1"});
    ASSERT_EQ(server.Error(), "");
    const fs::path p12 = server.Dir() / "client.p12";
    const std::string make =
        "cd " + server.Dir().string() +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=client.test"
        " -keyout ck.pem -out cc.pem >/dev/null 2>&1"
        " && openssl pkcs12 -export -in cc.pem -inkey ck.pem -passout pass:secret -out client.p12";
    ASSERT_EQ(std::system(make.c_str()), 0);

    Client client("127.0.0.1", server.Port());
    client.handler.SSLOptions().SetCertFile(p12.string());
    client.handler.SSLOptions().SetKeyFile(p12.string());
    client.handler.OnGetPassword = [](std::string& password) { password = "secret"; };
    client.ConnectPlain();
    client.handler.SetTlsActive(true);
    client.handler.WriteLine("abc");
    EXPECT_EQ(client.handler.ReadLine(), "cba");
    client.handler.CloseHandler();
    EXPECT_NE(server.OutputAfterClose().find("CN = client.test"), std::string::npos)
        << server.Output();

    // The files are read when the connection opens; a failure there closes nothing by itself
    // and names the file kind.
    struct Case {
        const char* name;
        std::string certFile;
        std::string keyFile;
        std::string dhFile;
        std::string password;
        std::string message;
    };
    const std::string missing = (server.Dir() / "missing.pem").string();
    const Case cases[] = {
        {"wrong PKCS #12 password", p12.string(), "", "", "wrong",
         "Could not load certificate.\r\n"},
        {"missing certificate", missing, "", "", "", "Could not load certificate.\r\n"},
        {"key of another certificate", server.CertPath(), (server.Dir() / "ck.pem").string(), "",
         "", "Could not load key, check password.\r\n"},
        {"missing DH parameters", "", "", missing, "", "Could not load DH Parameters.\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer plain({S("220 mx.test ESMTP\r\n")});
        Client failing(ScriptedSmtpServer::Host(), plain.Port());
        failing.handler.SSLOptions().SetCertFile(c.certFile);
        failing.handler.SSLOptions().SetKeyFile(c.keyFile);
        failing.handler.SSLOptions().SetDHParamsFile(c.dhFile);
        failing.handler.OnGetPassword = [&](std::string& password) { password = c.password; };
        try {
            failing.ConnectPlain();
            ADD_FAILURE() << "files accepted";
        } catch (const ELpOpenSSLAPICryptoError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
            EXPECT_NE(e.ErrorCode(), 0u);
        }
        failing.handler.CloseHandler();
        plain.Finish();
    }
}

TEST(SSLIOHandler, StartTlsWithScriptedServer) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("STARTTLS\r\n"),
        S("220 2.0.0 Ready to start TLS\r\n"),
        StartTls(),
        C("EHLO client.test\r\n"),
        S("250 mx.test\r\n"),
    });
    Client client(ScriptedSmtpServer::Host(), server.Port());
    client.ConnectPlain();
    EXPECT_EQ(client.handler.ReadLine(), "220 mx.test ESMTP");
    client.handler.WriteLine("STARTTLS");
    EXPECT_EQ(client.handler.ReadLine(), "220 2.0.0 Ready to start TLS");
    client.handler.SetTlsActive(true);
    client.handler.WriteLine("EHLO client.test");
    EXPECT_EQ(client.handler.ReadLine(), "250 mx.test");
    client.handler.CloseHandler();
    EXPECT_EQ(server.Finish(), "");
}

TEST(SSLIOHandler, SilentPeerAfterTheHandshakeTimesOut) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        StartTls(),
        S("250-first\r\n"),
        Silent(10000),
    });
    // The handshake gets room: the fake server makes its RSA key first, which takes more than a
    // second on a busy machine. Only the silence after it is measured.
    Client client(ScriptedSmtpServer::Host(), server.Port(), 30000);
    client.ConnectPlain();
    EXPECT_EQ(client.handler.ReadLine(), "220 mx.test ESMTP");
    client.handler.SetTlsActive(true);
    EXPECT_EQ(client.handler.ReadLineWait(), "250-first");
    client.handler.SetReadTimeout(1000);
    const auto start = std::chrono::steady_clock::now();
    try {
        client.handler.ReadLineWait();
        FAIL() << "a line arrived";
    } catch (const ELpReadTimeout& e) {
        EXPECT_STREQ(e.what(), "Read timed out.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    client.handler.CloseHandler();
    server.Finish();
}

TEST(SSLIOHandler, StalledHandshakeEndsAtTheReadTimeout) {
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        Silent(10000),
    });
    Client client(ScriptedSmtpServer::Host(), server.Port(), 1000);
    client.ConnectPlain();
    EXPECT_EQ(client.handler.ReadLine(), "220 mx.test ESMTP");
    const auto start = std::chrono::steady_clock::now();
    // The time-out it is, not OpenSSL's "try again" code read as an error text.
    try {
        client.handler.SetTlsActive(true);
        FAIL() << "handshake succeeded";
    } catch (const ELpSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10060);
        EXPECT_STREQ(e.what(), "Socket Error # 10060\r\nConnection timed out.");
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_FALSE(client.handler.TlsActive());
    client.handler.CloseHandler();
    server.Finish();
}

// Runs in a process of its own: a library that loaded once stays loaded for the process.
void PlainSessionWithoutOpenSsl(const std::string& emptyDir) {
    SetOpenSSLLibraryDirectory(emptyDir);
    ScriptedSmtpServer server({
        S("220 mx.test ESMTP\r\n"),
        C("EHLO client.test\r\n"),
        S("250 mx.test\r\n"),
    });
    Client client(ScriptedSmtpServer::Host(), server.Port());
    client.ConnectPlain();
    if (client.handler.TlsContext() != nullptr) _exit(10);
    if (client.handler.ReadLine() != "220 mx.test ESMTP") _exit(11);
    client.handler.WriteLine("EHLO client.test");
    if (client.handler.ReadLine() != "250 mx.test") _exit(12);
    try {
        client.handler.SetTlsActive(true);
        _exit(13);
    } catch (const ELpOSSLCouldNotLoadSSLLibrary& e) {
        if (std::string(e.what()) != "Could not load SSL library.") _exit(14);
    }
    if (client.handler.TlsActive()) _exit(15);
    client.handler.CloseHandler();
    if (server.Finish() != "") _exit(16);
    if (TlsLoadFailures().empty()) _exit(17);

    // Each new connection tries again: with the directory put right, TLS works.
    SetOpenSSLLibraryDirectory("");
    OpenSslServer tls({"-rev"});
    Client again("127.0.0.1", tls.Port());
    again.ConnectPlain();
    again.handler.SetTlsActive(true);
    again.handler.WriteLine("back");
    if (again.handler.ReadLine() != "kcab") _exit(18);
    again.handler.CloseHandler();
    _exit(0);
}

TEST(SSLIOHandlerDeathTest, WithoutOpenSslPlainWorksAndTheSwitchFails) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir empty;
    EXPECT_EXIT(PlainSessionWithoutOpenSsl(empty.Path().string()), ::testing::ExitedWithCode(0),
                "");
}

TEST(SSLOptions, MethodAndVersionsFollowEachOther) {
    TLpSSLOptions options;
    EXPECT_EQ(options.Method(), sslvSSLv23);
    EXPECT_EQ(options.SSLVersions(),
              (TLpSSLVersions{sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3}));
    options.SetMethod(sslvTLSv1_2);
    EXPECT_EQ(options.SSLVersions(), TLpSSLVersions{sslvTLSv1_2});
    options.SetSSLVersions({sslvTLSv1});
    EXPECT_EQ(options.Method(), sslvTLSv1);
    options.SetSSLVersions({sslvSSLv23});
    EXPECT_EQ(options.Method(), sslvSSLv23);
    EXPECT_EQ(options.SSLVersions(), TLpSSLOptions::AllVersions());
    options.SetSSLVersions({sslvSSLv23, sslvTLSv1_2});
    EXPECT_EQ(options.SSLVersions(), TLpSSLVersions{sslvTLSv1_2});
    EXPECT_EQ(options.Method(), sslvSSLv23);
    options.SetMethod(sslvSSLv23);
    EXPECT_EQ(options.SSLVersions().count(sslvSSLv23), 0u);

    TLpSSLOptions copy;
    options.SetCipherList("HIGH");
    options.SetVerifyDepth(3);
    options.SetMethod(sslvTLSv1_1);
    options.AssignTo(copy);
    EXPECT_EQ(copy.Method(), sslvTLSv1_1);
    EXPECT_EQ(copy.SSLVersions(), TLpSSLVersions{sslvTLSv1_1});
    EXPECT_EQ(copy.CipherList(), "HIGH");
    EXPECT_EQ(copy.VerifyDepth(), 3);
}

}  // namespace
}  // namespace larkpost
