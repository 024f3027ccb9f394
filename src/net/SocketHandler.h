// The socket-backed I/O handler: owns one TLpSocketHandle (the binding), opens it by creating,
// binding and connecting a TCP socket, and supplies the socket-facing steps of TLpIOHandler.
// TLpIOHandlerStack adds name resolution and the connect (with the optional connect time-out
// thread); the TLS handler derives from it and wraps ConnectSocket and the five steps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/IOHandler.h"
#include "net/SocketHandle.h"
#include "net/Stack.h"

namespace larkpost {

class TLpIOHandlerSocket : public TLpIOHandler {
public:
    TLpIOHandlerSocket();
    ~TLpIOHandlerSocket() override;

    void OpenHandler() override;
    // Releases the socket, then the base close.
    void CloseHandler() override;
    // Polls the socket without waiting first, so a peer that has closed is noticed.
    bool IsConnected() override;
    void CheckPeerClosed(bool raiseIfDisconnected, bool ignoreBuffer) override;
    bool WaitReadable(int timeoutMs) override;

    // Create, bind and (in the stack handler) resolve and connect.
    virtual void ConnectSocket();

    // The socket; made on the first open, reset on later ones.
    TLpSocketHandle* Binding() noexcept { return m_binding.get(); }

    // Host and port joined by ":"; setting it splits at the last ":".
    std::string Destination() const;
    void SetDestination(const std::string& destination);
    uint16_t DefaultPort() const noexcept { return m_defaultPort; }
    void SetDefaultPort(uint16_t v) { m_defaultPort = v; }
    const std::string& BoundIP() const noexcept { return m_boundIP; }
    void SetBoundIP(const std::string& v) { m_boundIP = v; }
    uint16_t BoundPort() const noexcept { return m_boundPort; }
    void SetBoundPort(uint16_t v) { m_boundPort = v; }
    uint16_t BoundPortMin() const noexcept { return m_boundPortMin; }
    void SetBoundPortMin(uint16_t v) { m_boundPortMin = v; }
    uint16_t BoundPortMax() const noexcept { return m_boundPortMax; }
    void SetBoundPortMax(uint16_t v) { m_boundPortMax = v; }
    TLpIPVersion IPVersion() const noexcept { return m_ipVersion; }
    void SetIPVersion(TLpIPVersion v) { m_ipVersion = v; }
    TLpReuseSocket ReuseSocket() const noexcept { return m_reuseSocket; }
    void SetReuseSocket(TLpReuseSocket v) { m_reuseSocket = v; }
    bool UseNagle() const noexcept { return m_useNagle; }
    void SetUseNagle(bool v) { m_useNagle = v; }

    TLpNotifyEvent OnBeforeBind;
    TLpNotifyEvent OnSocketAllocated;
    TLpNotifyEvent OnAfterBind;

protected:
    // A new socket of the family for version, with the bind steps and their hooks.
    void CreateAndBindSocket(TLpIPVersion version);

    int ReceiveFromSocket(uint8_t* data, int length) override;
    // Waits for room at most ReadTimeout (when above 0).
    int SendToSocket(const uint8_t* data, int length) override;
    bool SocketAvailable() override;
    // Returns 10058, 10053, 10054 and 10060; raises every other error.
    int ErrorCodeOf(int callResult) override;
    [[noreturn]] void RaiseSocketFailure(int code) override;

    std::unique_ptr<TLpSocketHandle> m_binding;

private:
    uint16_t m_defaultPort = 0;
    std::string m_boundIP;
    uint16_t m_boundPort = 0;
    uint16_t m_boundPortMin = 0;
    uint16_t m_boundPortMax = 0;
    TLpIPVersion m_ipVersion = Lp_IPv4;
    TLpReuseSocket m_reuseSocket = rsOSDependent;
    bool m_useNagle = true;
};

class TLpIOHandlerStack : public TLpIOHandlerSocket {
public:
    // The socket part, then: resolve the host (reporting hsResolving for a name), and for each
    // of its addresses in the resolver's order until one connects: report hsConnecting with the
    // address and connect (under ConnectTimeout when it is not 0). When there are several, each
    // try is bounded by ConnectTimeout, or else by ReadTimeout, and a failure of the last one is
    // the error.
    void ConnectSocket() override;

private:
    // The addresses to try: an IPv4 or IPv6 literal itself, else what the name resolves to, of
    // both families (IPVersion Lp_IPv4, the default) or of IPv6 only.
    std::vector<TLpSocketAddress> PeerAddresses();
    void ConnectWithTimeout();
};

}  // namespace larkpost
