// A scripted SMTP peer on a loopback ephemeral port for byte-exact protocol tests. The script is
// a list of steps: S("...") the server sends, C("...") the client must send exactly (CR LF
// included), Delay, CloseNow, Silent, StartTls, NextConnection. The server runs on its own thread, never asserts
// there, and bounds every wait; Finish() returns "" or the first difference with a transcript
// whose line ends are visible.
//
//   ScriptedSmtpServer server({
//       S("220 mx.test ESMTP\r\n"),
//       C("EHLO client.test\r\n"),   S("250 mx.test\r\n"),
//   });
//   client.SetPort(server.Port());  ...
//   EXPECT_EQ(server.Finish(), "");
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace larkpost {

struct ScriptStep {
    enum class Kind { Send, Expect, ExpectUntil, Delay, Close, Silent, StartTls, NextConnection };
    Kind kind = Kind::Send;
    std::string bytes;
    // Delay and Silent: the time; Send: the pause before each further piece (see SDrip).
    int ms = 0;
    // Send in pieces of this many bytes (0: all at once).
    size_t pieceSize = 0;
};

// The server sends these bytes.
ScriptStep S(std::string bytes);
// The client must send exactly these bytes next (a whole DATA payload with its "\r\n.\r\n"
// may be one step).
ScriptStep C(std::string bytes);
// The client sends anything that ends with these bytes (a message whose exact bytes the test
// cannot know, up to its "\r\n.\r\n"); Received() holds it.
ScriptStep CUntil(std::string end);
// The server waits, reading nothing.
ScriptStep Delay(int ms);
// The server closes the connection (orderly: FIN after what was sent).
ScriptStep CloseNow();
// The server hangs: sends nothing, records what arrives, until the client closes or ms pass.
ScriptStep Silent(int ms = 30000);
// A line of length bytes ('x', then the given end), for the line-length limit.
ScriptStep SLongLine(size_t length, std::string end = "\r\n");
// The bytes in pieces of pieceSize with intervalMs between them, for slow peers.
ScriptStep SDrip(std::string bytes, size_t pieceSize, int intervalMs);
// The server side of a TLS handshake (a throwaway self-signed certificate, TLS 1.0 to 1.3); the
// steps after it go through TLS.
ScriptStep StartTls();
// The client must close this connection without sending more; the server then accepts the
// client's next connection and the steps after this one run on it (a retry).
ScriptStep NextConnection();

struct ScriptedSmtpServerOptions {
    // How long a C step waits for the client's bytes.
    int stepTimeoutMs = 5000;
    // How long the server waits for the client to connect.
    int acceptTimeoutMs = 10000;
    // After the last step: how long to wait for the client to close before Finish reports.
    int closeWaitMs = 2000;
    // Listen on the IPv6 loopback address ::1 instead of 127.0.0.1.
    bool ipv6 = false;
};

class ScriptedSmtpServer {
public:
    explicit ScriptedSmtpServer(std::vector<ScriptStep> script,
                                ScriptedSmtpServerOptions options = {});
    // For scripts whose bytes name the server's own port (OAUTHBEARER's port=): the script is
    // made once the port is known, before the server plays it.
    explicit ScriptedSmtpServer(std::function<std::vector<ScriptStep>(uint16_t port)> scriptFor,
                                ScriptedSmtpServerOptions options = {});
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    static const char* Host() { return "127.0.0.1"; }
    uint16_t Port() const;

    // Waits (at most timeoutMs) for the script to end and the client to close, then "" when the
    // client sent exactly what the script expected and nothing more; otherwise the first
    // difference and the transcript.
    std::string Finish(int timeoutMs = 10000);
    // Everything received from the client so far (decrypted after StartTls).
    std::string Received() const;
    // "S: ..." and "C: ..." lines with CR and LF shown as \r and \n.
    std::string Transcript() const;
    // CR, LF and other control bytes made visible.
    static std::string Visible(const std::string& bytes);

    // A loopback port on which nothing listens (connects to it are refused).
    static uint16_t UnusedPort();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace larkpost
