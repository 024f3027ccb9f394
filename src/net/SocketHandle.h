// One socket and its local and peer addresses: create, bind (with a port range), connect,
// release, and the readability wait the I/O handler blocks on.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "net/Stack.h"

namespace larkpost {

enum TLpReuseSocket { rsOSDependent = 0, rsTrue = 1, rsFalse = 2 };

class TLpSocketHandle {
public:
    TLpSocketHandle() = default;
    ~TLpSocketHandle();
    TLpSocketHandle(const TLpSocketHandle&) = delete;
    TLpSocketHandle& operator=(const TLpSocketHandle&) = delete;

    int Handle() const noexcept { return m_handle; }
    bool HandleAllocated() const noexcept { return m_handleAllocated; }
    int SocketType() const noexcept { return m_socketType; }

    const std::string& IP() const noexcept { return m_ip; }
    void SetIP(const std::string& ip) { m_ip = ip; }
    uint16_t Port() const noexcept { return m_port; }
    void SetPort(uint16_t port) { m_port = port; }
    const std::string& PeerIP() const noexcept { return m_peerIP; }
    uint16_t PeerPort() const noexcept { return m_peerPort; }
    void SetPeer(const std::string& ip, uint16_t port, TLpIPVersion ipVersion);

    TLpIPVersion IPVersion() const noexcept { return m_ipVersion; }
    // Raises ELpCannotSetIPVersionWhenConnected while a socket is held and the version differs.
    void SetIPVersion(TLpIPVersion version);
    uint16_t ClientPortMin() const noexcept { return m_clientPortMin; }
    uint16_t ClientPortMax() const noexcept { return m_clientPortMax; }
    void SetClientPortMin(uint16_t v) { m_clientPortMin = v; }
    void SetClientPortMax(uint16_t v) { m_clientPortMax = v; }
    TLpReuseSocket ReuseSocket() const noexcept { return m_reuseSocket; }
    void SetReuseSocket(TLpReuseSocket v) { m_reuseSocket = v; }
    bool UseNagle() const noexcept { return m_useNagle; }
    // Writes the TCP no-delay option when a socket is held and the value changes.
    void SetUseNagle(bool v);
    bool BroadcastEnabled() const noexcept { return false; }

    // Handle -1, peer cleared, IPv4; resetLocal clears IP and Port too. The socket must have
    // been released.
    void Reset(bool resetLocal = true);

    // socketType: SOCK_STREAM for the client; protocol 0.
    void CreateSocket(int socketType, int protocol = 0);
    void BindLocal();
    void ConnectPeer();
    // The same, waiting at most timeoutMs (-1: as long as the platform waits); a connect still
    // pending then fails with socket error 10060.
    void ConnectPeer(int timeoutMs);
    void ReleaseSocket() noexcept;

    // -1 waits without limit. Raises ELpConnClosedGracefully when no socket is held.
    bool WaitReadable(int timeoutMs);
    // The count received, 0 at an orderly close; socket errors raise.
    int Receive(uint8_t* data, int length);
    // The count sent (possibly fewer than asked); socket errors raise. With timeoutMs above 0,
    // a socket that takes nothing for that long raises socket error 10060.
    int Send(const uint8_t* data, int length, int timeoutMs = -1);

    int GetSockOpt(int level, int name) const;
    void SetSockOpt(int level, int name, int value);

private:
    bool TryBind(uint16_t port);
    void ReadBackAddresses();

    int m_handle = -1;
    bool m_handleAllocated = false;
    int m_socketType = 0;
    std::string m_ip;
    uint16_t m_port = 0;
    std::string m_peerIP;
    uint16_t m_peerPort = 0;
    TLpIPVersion m_ipVersion = Lp_IPv4;
    uint16_t m_clientPortMin = 0;
    uint16_t m_clientPortMax = 0;
    TLpReuseSocket m_reuseSocket = rsOSDependent;
    bool m_useNagle = true;
    // Held while the socket is closed and while the addresses are read back after connect: the
    // connect thread may still be inside connect when the caller gives up and closes.
    std::mutex m_lock;
};

}  // namespace larkpost
