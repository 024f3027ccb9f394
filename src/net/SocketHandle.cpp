#include "net/SocketHandle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/Exceptions.h"

namespace larkpost {

namespace {

// The address structure for an address text and port; false when the text does not parse.
bool MakeAddress(const std::string& ip, uint16_t port, TLpIPVersion version,
                 sockaddr_storage& storage, socklen_t& length) {
    std::memset(&storage, 0, sizeof storage);
    if (version == Lp_IPv6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        if (!ip.empty() && inet_pton(AF_INET6, ip.c_str(), &sin6->sin6_addr) != 1) return false;
        length = sizeof(sockaddr_in6);
        return true;
    }
    auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    if (!ip.empty() && inet_pton(AF_INET, ip.c_str(), &sin->sin_addr) != 1) return false;
    length = sizeof(sockaddr_in);
    return true;
}

void AddressText(const sockaddr_storage& storage, std::string& ip, uint16_t& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text);
        ip = TLpStack::CanonicalIPv6(text);
        port = ntohs(sin6->sin6_port);
        return;
    }
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    ip = text;
    port = ntohs(sin->sin_port);
}

}  // namespace

TLpSocketHandle::~TLpSocketHandle() {
    ReleaseSocket();
}

void TLpSocketHandle::SetPeer(const std::string& ip, uint16_t port, TLpIPVersion ipVersion) {
    m_peerIP = ip;
    m_peerPort = port;
    m_ipVersion = ipVersion;
}

void TLpSocketHandle::SetIPVersion(TLpIPVersion version) {
    if (version == m_ipVersion) return;
    if (m_handleAllocated)
        throw ELpCannotSetIPVersionWhenConnected("Cannot change IPVersion when connected");
    m_ipVersion = version;
}

void TLpSocketHandle::SetUseNagle(bool v) {
    if (v == m_useNagle) return;
    m_useNagle = v;
    if (m_handleAllocated && m_socketType == SOCK_STREAM)
        SetSockOpt(IPPROTO_TCP, TCP_NODELAY, v ? 0 : 1);
}

void TLpSocketHandle::Reset(bool resetLocal) {
    ReleaseSocket();
    m_handle = -1;
    m_handleAllocated = false;
    m_peerIP.clear();
    m_peerPort = 0;
    m_ipVersion = Lp_IPv4;
    if (resetLocal) {
        m_ip.clear();
        m_port = 0;
    }
}

void TLpSocketHandle::CreateSocket(int socketType, int protocol) {
    ReleaseSocket();
    int family = m_ipVersion == Lp_IPv6 ? AF_INET6 : AF_INET;
    int fd = ::socket(family, socketType | SOCK_CLOEXEC, protocol);
    if (fd < 0) TLpStack::RaiseLastSocketError();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_handle = fd;
        m_handleAllocated = true;
    }
    m_socketType = GetSockOpt(SOL_SOCKET, SO_TYPE);
    if (m_socketType == SOCK_STREAM) m_useNagle = GetSockOpt(IPPROTO_TCP, TCP_NODELAY) == 0;
}

bool TLpSocketHandle::TryBind(uint16_t port) {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!MakeAddress(m_ip, port, m_ipVersion, storage, length)) return false;
    if (::bind(m_handle, reinterpret_cast<sockaddr*>(&storage), length) != 0) return false;
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(m_handle, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
        return false;
    AddressText(local, m_ip, m_port);
    return true;
}

void TLpSocketHandle::BindLocal() {
    SetSockOpt(SOL_SOCKET, SO_REUSEADDR, m_reuseSocket == rsTrue ? 1 : 0);
    if (m_port == 0 && m_clientPortMin != 0 && m_clientPortMax != 0) {
        if (m_clientPortMax < m_clientPortMin)
            throw ELpInvalidPortRange("Invalid Port Range (" + std::to_string(m_clientPortMin) +
                                      " - " + std::to_string(m_clientPortMax) + ")");
        for (int port = m_clientPortMax; port >= m_clientPortMin; --port)
            if (TryBind(static_cast<uint16_t>(port))) return;
        throw ELpCanNotBindPortInRange("Can not bind in port range (" +
                                       std::to_string(m_clientPortMin) + " - " +
                                       std::to_string(m_clientPortMax) + ")");
    }
    if (!TryBind(m_port))
        throw ELpCouldNotBindSocket("Could not bind socket. Address and port are already in use.");
}

void TLpSocketHandle::ConnectPeer() {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!MakeAddress(m_peerIP, m_peerPort, m_ipVersion, storage, length))
        TLpStack::ThrowSocketError(lpsock::kInvalidArgument);
    int rc;
    do {
        rc = ::connect(m_handle, reinterpret_cast<sockaddr*>(&storage), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) TLpStack::RaiseLastSocketError();
    ReadBackAddresses();
}

void TLpSocketHandle::ConnectPeer(int timeoutMs) {
    if (timeoutMs < 0) {
        ConnectPeer();
        return;
    }
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!MakeAddress(m_peerIP, m_peerPort, m_ipVersion, storage, length))
        TLpStack::ThrowSocketError(lpsock::kInvalidArgument);
    // Non-blocking only for the connect itself: every later wait has its own limit.
    const int flags = ::fcntl(m_handle, F_GETFL);
    if (flags < 0 || ::fcntl(m_handle, F_SETFL, flags | O_NONBLOCK) != 0)
        TLpStack::RaiseLastSocketError();
    int rc = ::connect(m_handle, reinterpret_cast<sockaddr*>(&storage), length);
    int error = rc == 0 ? 0 : errno;
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        pollfd pfd{m_handle, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&pfd, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            error = errno;
        } else if (ready == 0) {
            error = ETIMEDOUT;
        } else {
            socklen_t size = sizeof error;
            if (::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        }
    }
    ::fcntl(m_handle, F_SETFL, flags);
    if (error != 0) TLpStack::ThrowSocketError(TLpStack::TranslateErrno(error));
    ReadBackAddresses();
}

void TLpSocketHandle::ReadBackAddresses() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_handleAllocated) return;
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(m_handle, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        AddressText(addr, m_ip, m_port);
    length = sizeof addr;
    if (::getpeername(m_handle, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        AddressText(addr, m_peerIP, m_peerPort);
}

void TLpSocketHandle::ReleaseSocket() noexcept {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_handleAllocated) return;
    m_handleAllocated = false;
    ::shutdown(m_handle, SHUT_WR);
    ::close(m_handle);
    m_handle = -1;
}

bool TLpSocketHandle::WaitReadable(int timeoutMs) {
    if (!m_handleAllocated) throw ELpConnClosedGracefully("Connection Closed Gracefully.");
    // poll in place of select: no limit on the descriptor's number.
    pollfd pfd{m_handle, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) TLpStack::RaiseLastSocketError();
    return rc > 0;
}

int TLpSocketHandle::Receive(uint8_t* data, int length) {
    ssize_t n;
    do {
        n = ::recv(m_handle, data, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) TLpStack::RaiseLastSocketError();
    return static_cast<int>(n);
}

int TLpSocketHandle::Send(const uint8_t* data, int length, int timeoutMs) {
    ssize_t n;
    if (timeoutMs > 0) {
        // A peer that stops reading fills both socket buffers; a blocking send would then wait
        // for as long as the peer likes. Wait for room within the limit and send what fits.
        for (;;) {
            pollfd pfd{m_handle, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&pfd, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            if (ready < 0) TLpStack::RaiseLastSocketError();
            if (ready == 0) TLpStack::ThrowSocketError(lpsock::kTimedOut);
            do {
                n = ::send(m_handle, data, static_cast<size_t>(length),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n >= 0) return static_cast<int>(n);
            if (errno != EAGAIN && errno != EWOULDBLOCK) TLpStack::RaiseLastSocketError();
        }
    }
    do {
        // MSG_NOSIGNAL: a peer that has gone must give an error, not end the process.
        n = ::send(m_handle, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) TLpStack::RaiseLastSocketError();
    return static_cast<int>(n);
}

int TLpSocketHandle::GetSockOpt(int level, int name) const {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(m_handle, level, name, &value, &length) != 0) TLpStack::RaiseLastSocketError();
    return value;
}

void TLpSocketHandle::SetSockOpt(int level, int name, int value) {
    if (::setsockopt(m_handle, level, name, &value, sizeof value) != 0)
        TLpStack::RaiseLastSocketError();
}

}  // namespace larkpost
