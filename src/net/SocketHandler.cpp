#include "net/SocketHandler.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/Exceptions.h"

namespace larkpost {

TLpIOHandlerSocket::TLpIOHandlerSocket() = default;

TLpIOHandlerSocket::~TLpIOHandlerSocket() {
    if (m_binding) m_binding->ReleaseSocket();
}

void TLpIOHandlerSocket::OpenHandler() {
    TLpIOHandler::OpenHandler();
    if (!m_binding)
        m_binding = std::make_unique<TLpSocketHandle>();
    else
        m_binding->Reset();
    m_binding->SetClientPortMin(m_boundPortMin);
    m_binding->SetClientPortMax(m_boundPortMax);
    if (!Host().empty() && Port() > 0) ConnectSocket();
}

void TLpIOHandlerSocket::CloseHandler() {
    if (m_binding) m_binding->ReleaseSocket();
    TLpIOHandler::CloseHandler();
}

bool TLpIOHandlerSocket::IsConnected() {
    // A zero-time poll notices a peer that has closed (or reset) since the last read.
    try {
        FillInputBuffer(false, 0, false);
    } catch (const ELpSocketError&) {
        SetClosedGracefully(true);
        CloseHandler();
    }
    return (SocketAvailable() && TLpIOHandler::IsConnected()) || !InputBufferEmpty();
}

void TLpIOHandlerSocket::CheckPeerClosed(bool raiseIfDisconnected, bool ignoreBuffer) {
    TLpIOHandler::CheckPeerClosed(raiseIfDisconnected, ignoreBuffer);
}

bool TLpIOHandlerSocket::WaitReadable(int timeoutMs) {
    if (!m_binding) throw ELpConnClosedGracefully("Connection Closed Gracefully.");
    return m_binding->WaitReadable(timeoutMs);
}

void TLpIOHandlerSocket::ConnectSocket() {
    CreateAndBindSocket(m_ipVersion);
}

void TLpIOHandlerSocket::CreateAndBindSocket(TLpIPVersion version) {
    if (!m_binding) m_binding = std::make_unique<TLpSocketHandle>();
    if (OnBeforeBind) OnBeforeBind(this);
    m_binding->SetIPVersion(version);
    m_binding->CreateSocket(SOCK_STREAM, 0);
    if (OnSocketAllocated) OnSocketAllocated(this);
    if (!m_boundIP.empty()) m_binding->SetIP(m_boundIP);
    m_binding->SetPort(m_boundPort);
    m_binding->SetClientPortMin(m_boundPortMin);
    m_binding->SetClientPortMax(m_boundPortMax);
    m_binding->SetReuseSocket(m_reuseSocket);
    m_binding->BindLocal();
    m_binding->SetUseNagle(m_useNagle);
    if (OnAfterBind) OnAfterBind(this);
}

std::string TLpIOHandlerSocket::Destination() const {
    std::string d = Host();
    if (Port() > 0 && Port() != m_defaultPort) d += ":" + std::to_string(Port());
    return d;
}

void TLpIOHandlerSocket::SetDestination(const std::string& destination) {
    size_t colon = destination.rfind(':');
    if (colon == std::string::npos) return;
    SetHost(destination.substr(0, colon));
    std::string portText = destination.substr(colon + 1);
    size_t b = portText.find_first_not_of(" \t");
    size_t e = portText.find_last_not_of(" \t");
    portText = b == std::string::npos ? std::string() : portText.substr(b, e - b + 1);
    if (portText.size() > 255) portText.resize(255);
    bool numeric =
        !portText.empty() && portText.size() <= 9 &&
        std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
    SetPort(numeric ? std::stoi(portText) : m_defaultPort);
}

int TLpIOHandlerSocket::ReceiveFromSocket(uint8_t* data, int length) {
    return m_binding->Receive(data, length);
}

int TLpIOHandlerSocket::SendToSocket(const uint8_t* data, int length) {
    return m_binding->Send(data, length, ReadTimeout());
}

bool TLpIOHandlerSocket::SocketAvailable() {
    return m_binding && m_binding->HandleAllocated();
}

int TLpIOHandlerSocket::ErrorCodeOf(int) {
    int code = TLpStack::LastError();
    switch (code) {
        case lpsock::kShutdown:
        case lpsock::kConnectionAborted:
        case lpsock::kConnectionReset:
        case lpsock::kTimedOut:
            return code;
        default:
            TLpStack::ThrowSocketError(code);
    }
}

void TLpIOHandlerSocket::RaiseSocketFailure(int code) {
    TLpStack::ThrowSocketError(code);
}

// ---- Stack handler --------------------------------------------------------------------------

void TLpIOHandlerStack::ConnectSocket() {
    TLpIOHandlerSocket::ConnectSocket();
    const std::vector<TLpSocketAddress> addresses = PeerAddresses();
    if (addresses.size() == 1) {
        const TLpSocketAddress& peer = addresses.front();
        if (peer.IPVersion != m_binding->IPVersion()) {
            m_binding->Reset();
            CreateAndBindSocket(peer.IPVersion);
        }
        m_binding->SetPeer(peer.IP, static_cast<uint16_t>(Port()), peer.IPVersion);
        ReportStatus(hsConnecting, peer.IP);
        if (ConnectTimeout() != 0) {
            ConnectWithTimeout();
            return;
        }
        m_binding->ConnectPeer();
        return;
    }
    // RFC 5321, 5.1: when one address of the host fails, the client tries the next. No address
    // may hold the others up for the platform's whole connect wait.
    int limit = ConnectTimeout();
    if (limit == 0) limit = ReadTimeout() > 0 ? ReadTimeout() : -1;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const TLpSocketAddress& peer = addresses[i];
        try {
            if (i > 0 || peer.IPVersion != m_binding->IPVersion()) {
                m_binding->Reset();
                CreateAndBindSocket(peer.IPVersion);
            }
            m_binding->SetPeer(peer.IP, static_cast<uint16_t>(Port()), peer.IPVersion);
            ReportStatus(hsConnecting, peer.IP);
            m_binding->ConnectPeer(limit);
            return;
        } catch (const ELpSocketError&) {
            if (i + 1 == addresses.size()) throw;
        } catch (const ELpSocketHandleError&) {
            if (i + 1 == addresses.size()) throw;
        }
    }
}

std::vector<TLpSocketAddress> TLpIOHandlerStack::PeerAddresses() {
    // A literal is the address itself, with no resolving reported; the plain form of an IPv4
    // literal, since the text may hold blanks, a sign or leading zeros.
    if (IPVersion() == Lp_IPv4) {
        std::string literal = TLpStack::IPv4LiteralAddress(Host());
        if (!literal.empty()) return {{Lp_IPv4, literal}};
    }
    const std::string literal = TLpStack::IPv6HostLiteral(Host());
    if (!literal.empty()) return {{Lp_IPv6, literal}};
    ReportStatus(hsResolving, Host());
    TLpStack& stack = TLpStack::Instance();
    if (IPVersion() != Lp_IPv4) return {{Lp_IPv6, stack.ResolveAddress(Host(), Lp_IPv6)}};
    std::string upper = Host();
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "LOCALHOST") return {{Lp_IPv4, "127.0.0.1"}};
    return stack.LookupHostAddresses(Host(), AF_UNSPEC);
}

namespace {

// The worker that runs a connect under a time-out. It catches every failure and records it; the
// waiting thread reads the record once the worker has ended.
class TLpConnectThread {
public:
    explicit TLpConnectThread(TLpSocketHandle* binding)
        : m_thread([this, binding] { Execute(binding); }) {}
    ~TLpConnectThread() {
        if (m_thread.joinable()) m_thread.join();
    }

    // Waits up to ms (or without limit for a negative value); true once the connect has ended.
    bool WaitDone(int ms) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (ms < 0) {
            m_doneSignal.wait(lock, [this] { return m_done; });
            return true;
        }
        return m_doneSignal.wait_for(lock, std::chrono::milliseconds(ms),
                                     [this] { return m_done; });
    }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

    bool failed = false;
    bool hasCode = false;
    int code = 0;
    std::string message;

private:
    void Execute(TLpSocketHandle* binding) {
        bool f = false, h = false;
        int c = 0;
        std::string text;
        try {
            binding->ConnectPeer();
        } catch (const ELpSocketError& e) {
            f = true;
            text = e.what();
            // 10009 and 10038 are what closing the socket on time-out leaves behind.
            if (e.ErrorCode() != lpsock::kBadFile && e.ErrorCode() != lpsock::kNotSocket) {
                h = true;
                c = e.ErrorCode();
            }
        } catch (const std::exception& e) {
            f = true;
            text = e.what();
        }
        std::lock_guard<std::mutex> guard(m_lock);
        failed = f;
        hasCode = h;
        code = c;
        message = text;
        m_done = true;
        m_doneSignal.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_doneSignal;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace

// The calling thread waits in slices of 125 ms; on time-out the socket is shut down and closed,
// which ends the blocked connect.
void TLpIOHandlerStack::ConnectWithTimeout() {
    TLpSocketHandle* binding = m_binding.get();
    TLpConnectThread worker(binding);
    const bool unlimited = ConnectTimeout() < 0;
    int remaining = ConnectTimeout();
    bool done = false;
    while (!done) {
        int slice = unlimited ? 125 : std::min(125, remaining);
        done = worker.WaitDone(slice);
        if (done || unlimited) continue;
        remaining -= slice;
        if (remaining <= 0) break;
    }
    if (!done) {
        // A shutdown wakes a connect that is still waiting for the peer's answer.
        if (binding->HandleAllocated()) ::shutdown(binding->Handle(), SHUT_RDWR);
        CloseHandler();
        worker.Join();
        throw ELpConnectTimeout("Connect timed out.");
    }
    worker.Join();
    if (!worker.failed) return;
    if (worker.hasCode) throw ELpSocketError(worker.code, worker.message);
    throw ELpConnectException(worker.message);
}

}  // namespace larkpost
