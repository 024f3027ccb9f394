// The TCP client: host, port, time-outs and the local binding copied into its I/O handler, and
// the connect that opens the handler, tells the intercept and reports "Connected.".
#pragma once

#include <cstdint>
#include <string>

#include "net/Component.h"
#include "net/SocketHandle.h"
#include "net/Stack.h"
#include "net/TCPConnection.h"

namespace larkpost {

class TLpTCPClientCustom : public TLpTCPConnection {
public:
    TLpTCPClientCustom();
    ~TLpTCPClientCustom() override;

    // Raises ELpAlreadyConnected, ELpHostRequired, ELpPortRequired, or whatever the handler's
    // open raises (after closing the handler).
    virtual void EstablishConnection();

    void SetIOHandler(TLpIOHandler* handler) override;

    const std::string& Host() const noexcept { return m_host; }
    void SetHost(const std::string& v) { m_host = v; }
    uint16_t Port() const noexcept { return m_port; }
    void SetPort(uint16_t v) { m_port = v; }
    int ConnectTimeout() const noexcept { return m_connectTimeout; }
    void SetConnectTimeout(int ms);
    // The handler's value when one is attached.
    int ReadTimeout() const noexcept;
    void SetReadTimeout(int ms);
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
    TLpNotifyEvent OnConnected;

protected:
    void CopySettingsToHandler();

private:
    std::string m_host;
    uint16_t m_port = 0;
    int m_connectTimeout = 0;
    int m_readTimeout = -1;
    std::string m_boundIP;
    uint16_t m_boundPort = 0;
    uint16_t m_boundPortMin = 0;
    uint16_t m_boundPortMax = 0;
    TLpIPVersion m_ipVersion = Lp_IPv4;
    TLpReuseSocket m_reuseSocket = rsOSDependent;
    bool m_useNagle = true;
};

// The published form; adds nothing.
class TLpTCPClient : public TLpTCPClientCustom {};

}  // namespace larkpost
