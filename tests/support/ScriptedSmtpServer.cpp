// The scripted peer's thread reads and writes the accepted connection step by step; every wait
// polls the connection together with a stop pipe, so Finish and the destructor can always end it.
#include "ScriptedSmtpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace larkpost {

ScriptStep S(std::string bytes) {
    ScriptStep s;
    s.kind = ScriptStep::Kind::Send;
    s.bytes = std::move(bytes);
    return s;
}

ScriptStep C(std::string bytes) {
    ScriptStep s;
    s.kind = ScriptStep::Kind::Expect;
    s.bytes = std::move(bytes);
    return s;
}

ScriptStep Delay(int ms) {
    ScriptStep s;
    s.kind = ScriptStep::Kind::Delay;
    s.ms = ms;
    return s;
}

ScriptStep CloseNow() {
    ScriptStep s;
    s.kind = ScriptStep::Kind::Close;
    return s;
}

ScriptStep CUntil(std::string end) {
    ScriptStep s;
    s.kind = ScriptStep::Kind::ExpectUntil;
    s.bytes = std::move(end);
    return s;
}

ScriptStep NextConnection() {
    ScriptStep s;
    s.kind = ScriptStep::Kind::NextConnection;
    return s;
}

ScriptStep Silent(int ms) {
    ScriptStep s;
    s.kind = ScriptStep::Kind::Silent;
    s.ms = ms;
    return s;
}

ScriptStep SLongLine(size_t length, std::string end) {
    return S(std::string(length, 'x') + end);
}

ScriptStep SDrip(std::string bytes, size_t pieceSize, int intervalMs) {
    ScriptStep s = S(std::move(bytes));
    s.pieceSize = pieceSize;
    s.ms = intervalMs;
    return s;
}

ScriptStep StartTls() {
    ScriptStep s;
    s.kind = ScriptStep::Kind::StartTls;
    return s;
}

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const char* KindName(ScriptStep::Kind k) {
    switch (k) {
        case ScriptStep::Kind::Send:
            return "S";
        case ScriptStep::Kind::Expect:
            return "C";
        case ScriptStep::Kind::ExpectUntil:
            return "CUntil";
        case ScriptStep::Kind::Delay:
            return "Delay";
        case ScriptStep::Kind::Close:
            return "CloseNow";
        case ScriptStep::Kind::Silent:
            return "Silent";
        case ScriptStep::Kind::StartTls:
            return "StartTls";
        case ScriptStep::Kind::NextConnection:
            return "NextConnection";
    }
    return "?";
}

// One throwaway certificate per process: RSA 2048, self-signed, CN mx.test.
struct TlsIdentity {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    std::string error;
};

const TlsIdentity& Identity() {
    static TlsIdentity identity;
    static std::once_flag once;
    std::call_once(once, [] {
        identity.key = EVP_RSA_gen(2048);
        if (!identity.key) {
            identity.error = "key generation failed";
            return;
        }
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
        X509_set_pubkey(x, identity.key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("mx.test"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        if (!X509_sign(x, identity.key, EVP_sha256())) {
            identity.error = "certificate signing failed";
            X509_free(x);
            return;
        }
        identity.cert = x;
    });
    return identity;
}

std::string OpenSslErrors() {
    std::string out;
    unsigned long e;
    char text[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, text, sizeof text);
        if (!out.empty()) out += "; ";
        out += text;
    }
    return out.empty() ? "no OpenSSL error recorded" : out;
}

}  // namespace

struct ScriptedSmtpServer::Impl {
    std::vector<ScriptStep> script;
    ScriptedSmtpServerOptions options;
    int listenFd = -1;
    int connFd = -1;
    int stopPipe[2] = {-1, -1};
    uint16_t port = 0;
    SSL_CTX* sslCtx = nullptr;
    SSL* ssl = nullptr;
    std::thread thread;
    std::atomic<bool> finishing{false};

    mutable std::mutex lock;
    std::condition_variable doneSignal;
    bool done = false;
    size_t currentStep = 0;
    std::string failure;
    std::string received;
    struct Entry {
        char who;
        std::string bytes;
    };
    std::vector<Entry> transcript;

    void Fail(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) failure = text;
    }
    void Record(char who, const std::string& bytes) {
        if (bytes.empty()) return;
        std::lock_guard<std::mutex> guard(lock);
        if (who == 'C') received += bytes;
        if (!transcript.empty() && transcript.back().who == who)
            transcript.back().bytes += bytes;
        else
            transcript.push_back({who, bytes});
    }
    bool StopRequested() const {
        pollfd p{stopPipe[0], POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    // Sleeps up to ms; false when a stop was requested meanwhile.
    bool Sleep(int ms) {
        pollfd p{stopPipe[0], POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }

    // Waits until the connection has bytes (or TLS holds some): 1 readable, 0 time-out,
    // -1 stop requested.
    int WaitReadable(int timeoutMs) {
        if (ssl && SSL_pending(ssl) > 0) return 1;
        pollfd p[2] = {{connFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        int rc;
        do {
            rc = ::poll(p, 2, timeoutMs < 0 ? -1 : timeoutMs);
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0) return 0;
        if (p[1].revents) return -1;
        return 1;
    }
    // Bytes read, 0 at the client's close, -1 on an error.
    int ReadSome(char* buffer, int size) {
        if (ssl) {
            int n = SSL_read(ssl, buffer, size);
            if (n > 0) return n;
            int e = SSL_get_error(ssl, n);
            return e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL ? 0 : -1;
        }
        ssize_t n;
        do {
            n = ::recv(connFd, buffer, size, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == ECONNRESET) return 0;
        return static_cast<int>(n);
    }
    bool WriteAll(const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            int n;
            if (ssl) {
                n = SSL_write(ssl, bytes.data() + off, static_cast<int>(bytes.size() - off));
            } else {
                ssize_t w;
                do {
                    w = ::send(connFd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
                } while (w < 0 && errno == EINTR);
                n = static_cast<int>(w);
            }
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    bool Accept() {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        int rc = ::poll(p, 2, options.acceptTimeoutMs);
        if (rc <= 0 || p[1].revents) {
            Fail("the client never connected (waited " +
                 std::to_string(rc == 0 ? options.acceptTimeoutMs : 0) + " ms or stopped)");
            return false;
        }
        connFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connFd < 0) {
            Fail(std::string("accept failed: ") + std::strerror(errno));
            return false;
        }
        return true;
    }

    bool RunSend(size_t index, const ScriptStep& step) {
        size_t piece = step.pieceSize ? step.pieceSize : step.bytes.size();
        for (size_t off = 0; off < step.bytes.size(); off += piece) {
            if (off > 0 && !Sleep(step.ms)) return false;
            std::string part = step.bytes.substr(off, piece);
            if (!WriteAll(part)) {
                Fail("step " + std::to_string(index + 1) +
                     " (S): the client had closed the connection before the server sent " +
                     Visible(part));
                return false;
            }
            Record('S', part);
        }
        return true;
    }

    bool RunExpect(size_t index, const ScriptStep& step) {
        const std::string& expected = step.bytes;
        std::string got;
        auto start = Clock::now();
        char buffer[8192];
        auto where = [&] { return "step " + std::to_string(index + 1) + " (C): "; };
        while (got.size() < expected.size()) {
            int64_t left = options.stepTimeoutMs - MsSince(start);
            int w = left > 0 ? WaitReadable(static_cast<int>(left)) : 0;
            if (w < 0) {
                Record('C', got);
                Fail(where() + "stopped while waiting for " + Visible(expected) + "; got " +
                     Visible(got));
                return false;
            }
            if (w == 0) {
                Record('C', got);
                Fail(where() + "timed out after " + std::to_string(options.stepTimeoutMs) +
                     " ms waiting for " + Visible(expected) + "; got " + Visible(got));
                return false;
            }
            // Never read past this step's bytes: what follows belongs to the next steps.
            int want = static_cast<int>(std::min(sizeof buffer, expected.size() - got.size()));
            int n = ReadSome(buffer, want);
            if (n <= 0) {
                Record('C', got);
                Fail(where() + "the client closed the connection; expected " + Visible(expected) +
                     ", got " + Visible(got));
                return false;
            }
            size_t before = got.size();
            got.append(buffer, n);
            for (size_t i = before; i < got.size(); ++i) {
                if (got[i] == expected[i]) continue;
                // Read the rest of the line the client was sending, to show it whole.
                auto tailStart = Clock::now();
                while (got.find('\n', i) == std::string::npos && MsSince(tailStart) < 200 &&
                       WaitReadable(50) > 0) {
                    int m = ReadSome(buffer, 1);
                    if (m <= 0) break;
                    got.append(buffer, m);
                }
                Record('C', got);
                Fail(where() + "expected " + Visible(expected) + " but the client sent " +
                     Visible(got) + " (first difference at byte " + std::to_string(i) + ")");
                return false;
            }
        }
        Record('C', got);
        return true;
    }

    bool RunSilent(const ScriptStep& step) {
        auto start = Clock::now();
        char buffer[8192];
        for (;;) {
            int64_t left = step.ms - MsSince(start);
            if (left <= 0) return true;
            int w = WaitReadable(static_cast<int>(left));
            if (w < 0) return false;
            if (w == 0) return true;
            int n = ReadSome(buffer, sizeof buffer);
            if (n <= 0) return true;
            Record('C', std::string(buffer, n));
        }
    }

    bool RunStartTls(size_t index) {
        const TlsIdentity& id = Identity();
        auto fail = [&](const std::string& why) {
            Fail("step " + std::to_string(index + 1) + " (StartTls): " + why);
            return false;
        };
        if (!id.cert) return fail(id.error);
        if (!sslCtx) {
            sslCtx = SSL_CTX_new(TLS_server_method());
            if (!sslCtx) return fail(OpenSslErrors());
            // Old clients too: TLS 1.0 and 1.1 need security level 0.
            SSL_CTX_set_security_level(sslCtx, 0);
            SSL_CTX_set_min_proto_version(sslCtx, TLS1_VERSION);
            SSL_CTX_set_cipher_list(sslCtx, "ALL:@SECLEVEL=0");
            if (SSL_CTX_use_certificate(sslCtx, id.cert) != 1 ||
                SSL_CTX_use_PrivateKey(sslCtx, id.key) != 1)
                return fail(OpenSslErrors());
        }
        ssl = SSL_new(sslCtx);
        SSL_set_fd(ssl, connFd);
        // The handshake blocks; the socket's own time-outs bound it.
        timeval tv{options.stepTimeoutMs / 1000, (options.stepTimeoutMs % 1000) * 1000};
        setsockopt(connFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(connFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ERR_clear_error();
        if (SSL_accept(ssl) != 1) {
            std::string why = OpenSslErrors();
            SSL_free(ssl);
            ssl = nullptr;
            return fail("handshake failed: " + why);
        }
        Record('S', "<TLS handshake done: " + std::string(SSL_get_version(ssl)) + ">\n");
        return true;
    }

    bool RunExpectUntil(size_t index, const ScriptStep& step) {
        const std::string& end = step.bytes;
        std::string got;
        auto start = Clock::now();
        char buffer[65536];
        // Read greedily: a client waits for the reply before it sends anything after the end.
        while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
            int64_t left = options.stepTimeoutMs - MsSince(start);
            int w = left > 0 ? WaitReadable(static_cast<int>(left)) : 0;
            if (w <= 0) {
                Record('C', got);
                Fail("step " + std::to_string(index + 1) + " (CUntil): " +
                     (w < 0 ? "stopped" : "timed out") + " waiting for " + Visible(end) +
                     " after " + std::to_string(got.size()) + " bytes");
                return false;
            }
            int n = ReadSome(buffer, sizeof buffer);
            if (n <= 0) {
                Record('C', got);
                Fail("step " + std::to_string(index + 1) + " (CUntil): the client closed the " +
                     "connection before sending " + Visible(end));
                return false;
            }
            got.append(buffer, n);
        }
        Record('C', got);
        return true;
    }

    bool RunNextConnection(size_t index) {
        auto start = Clock::now();
        char buffer[8192];
        std::string extra;
        auto where = [&] { return "step " + std::to_string(index + 1) + " (NextConnection): "; };
        // After CloseNow there is nothing to wait for.
        for (; connFd >= 0;) {
            int64_t left = options.stepTimeoutMs - MsSince(start);
            int w = left > 0 ? WaitReadable(static_cast<int>(left)) : 0;
            if (w < 0) return false;
            if (w == 0) {
                Record('C', extra);
                Fail(where() + "the client did not close the connection within " +
                     std::to_string(options.stepTimeoutMs) + " ms");
                return false;
            }
            int n = ReadSome(buffer, sizeof buffer);
            if (n <= 0) break;
            extra.append(buffer, n);
        }
        if (!extra.empty()) {
            Record('C', extra);
            Fail(where() + "the client sent more before it closed: " + Visible(extra));
            return false;
        }
        CloseConnection();
        Record('S', "<next connection>\n");
        return Accept();
    }

    void AfterScript() {
        auto start = Clock::now();
        char buffer[8192];
        std::string extra;
        for (;;) {
            int64_t limit = finishing ? 20 : options.closeWaitMs - MsSince(start);
            if (limit <= 0) break;
            int w = WaitReadable(static_cast<int>(limit));
            if (w < 0) {
                // Stopped: the stop pipe stays readable, so waiting on it again would spin.
                // Take only what is already on its way, then end.
                pollfd p{connFd, POLLIN, 0};
                while (extra.size() < (1u << 20) &&
                       ((ssl && SSL_pending(ssl) > 0) || ::poll(&p, 1, 20) > 0)) {
                    int n = ReadSome(buffer, sizeof buffer);
                    if (n <= 0) break;
                    extra.append(buffer, n);
                }
                break;
            }
            if (w == 0) {
                if (finishing) break;
                continue;
            }
            int n = ReadSome(buffer, sizeof buffer);
            if (n <= 0) break;
            extra.append(buffer, n);
        }
        if (!extra.empty()) {
            Record('C', extra);
            Fail("after the last step the client sent more: " + Visible(extra));
        }
    }

    void CloseConnection() {
        if (ssl) {
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (connFd >= 0) {
            ::shutdown(connFd, SHUT_RDWR);
            ::close(connFd);
            connFd = -1;
        }
    }

    void Run() {
        bool ok = Accept();
        bool closed = false;
        for (size_t i = 0; ok && i < script.size(); ++i) {
            {
                std::lock_guard<std::mutex> guard(lock);
                currentStep = i;
            }
            const ScriptStep& step = script[i];
            switch (step.kind) {
                case ScriptStep::Kind::Send:
                    ok = RunSend(i, step);
                    break;
                case ScriptStep::Kind::Expect:
                    ok = RunExpect(i, step);
                    break;
                case ScriptStep::Kind::ExpectUntil:
                    ok = RunExpectUntil(i, step);
                    break;
                case ScriptStep::Kind::Delay:
                    ok = Sleep(step.ms);
                    break;
                case ScriptStep::Kind::Silent:
                    ok = RunSilent(step);
                    break;
                case ScriptStep::Kind::StartTls:
                    ok = RunStartTls(i);
                    break;
                case ScriptStep::Kind::NextConnection:
                    ok = RunNextConnection(i);
                    closed = false;
                    break;
                case ScriptStep::Kind::Close:
                    Record('S', "<server closes>\n");
                    if (ssl) SSL_shutdown(ssl);
                    CloseConnection();
                    closed = true;
                    break;
            }
            if (!ok && StopRequested() && failureEmpty())
                Fail("stopped at step " + std::to_string(i + 1) + " (" + KindName(step.kind) + ")");
        }
        if (ok) {
            std::lock_guard<std::mutex> guard(lock);
            currentStep = script.size();
        }
        if (ok && !closed && connFd >= 0) AfterScript();
        CloseConnection();
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        doneSignal.notify_all();
    }

    bool failureEmpty() {
        std::lock_guard<std::mutex> guard(lock);
        return failure.empty();
    }

    void Stop() {
        if (stopPipe[1] >= 0) {
            char c = 1;
            (void)!::write(stopPipe[1], &c, 1);
        }
    }
};

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<ScriptStep> script,
                                       ScriptedSmtpServerOptions options)
    : ScriptedSmtpServer([&script](uint16_t) { return std::move(script); }, options) {}

ScriptedSmtpServer::ScriptedSmtpServer(
    std::function<std::vector<ScriptStep>(uint16_t port)> scriptFor,
    ScriptedSmtpServerOptions options)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->options = options;
    if (::pipe2(m_impl->stopPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    sockaddr_storage storage{};
    socklen_t length;
    if (options.ipv6) {
        auto* addr6 = reinterpret_cast<sockaddr_in6*>(&storage);
        addr6->sin6_family = AF_INET6;
        addr6->sin6_addr = in6addr_loopback;
        length = sizeof *addr6;
    } else {
        auto* addr = reinterpret_cast<sockaddr_in*>(&storage);
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *addr;
    }
    m_impl->listenFd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_impl->listenFd < 0 ||
        ::bind(m_impl->listenFd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(m_impl->listenFd, 8) != 0)
        throw std::runtime_error(std::string("fake server: cannot listen: ") +
                                 std::strerror(errno));
    ::getsockname(m_impl->listenFd, reinterpret_cast<sockaddr*>(&storage), &length);
    m_impl->port = ntohs(options.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    m_impl->script = scriptFor(m_impl->port);
    m_impl->thread = std::thread([impl = m_impl.get()] { impl->Run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    m_impl->finishing = true;
    m_impl->Stop();
    if (m_impl->thread.joinable()) m_impl->thread.join();
    if (m_impl->sslCtx) SSL_CTX_free(m_impl->sslCtx);
    if (m_impl->listenFd >= 0) ::close(m_impl->listenFd);
    for (int fd : m_impl->stopPipe)
        if (fd >= 0) ::close(fd);
}

uint16_t ScriptedSmtpServer::Port() const {
    return m_impl->port;
}

std::string ScriptedSmtpServer::Finish(int timeoutMs) {
    m_impl->finishing = true;
    bool finished;
    {
        std::unique_lock<std::mutex> lock(m_impl->lock);
        finished = m_impl->doneSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                               [&] { return m_impl->done; });
    }
    if (!finished) {
        size_t step;
        {
            std::lock_guard<std::mutex> guard(m_impl->lock);
            step = m_impl->currentStep;
        }
        std::string at = step < m_impl->script.size()
                             ? "step " + std::to_string(step + 1) + " (" +
                                   KindName(m_impl->script[step].kind) + " " +
                                   Visible(m_impl->script[step].bytes) + ")"
                             : "the end of the script";
        m_impl->Fail("the script did not finish within " + std::to_string(timeoutMs) +
                     " ms: waiting at " + at);
        m_impl->Stop();
    }
    if (m_impl->thread.joinable()) m_impl->thread.join();
    std::lock_guard<std::mutex> guard(m_impl->lock);
    if (m_impl->failure.empty()) return std::string();
    std::string transcript;
    for (const auto& e : m_impl->transcript) {
        size_t pos = 0;
        while (pos < e.bytes.size()) {
            size_t lf = e.bytes.find('\n', pos);
            size_t end = lf == std::string::npos ? e.bytes.size() : lf + 1;
            std::string line = Visible(e.bytes.substr(pos, end - pos));
            if (line.size() > 200)
                line = line.substr(0, 160) + "... (" + std::to_string(end - pos) + " bytes)";
            transcript += std::string(1, e.who) + ": " + line + "\n";
            pos = end;
        }
    }
    return m_impl->failure + "\nTranscript:\n" + transcript;
}

std::string ScriptedSmtpServer::Received() const {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    return m_impl->received;
}

std::string ScriptedSmtpServer::Transcript() const {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    std::string out;
    for (const auto& e : m_impl->transcript)
        out += std::string(1, e.who) + ": " + Visible(e.bytes) + "\n";
    return out;
}

std::string ScriptedSmtpServer::Visible(const std::string& bytes) {
    std::string out;
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

uint16_t ScriptedSmtpServer::UnusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace larkpost
