// A connection intercept: sees every chunk the I/O handler sends and receives and hears of every
// connect and close. Intercepts chain; the connection log is one.
#pragma once

#include <functional>

#include "net/Component.h"
#include "platform/Bytes.h"

namespace larkpost {

class TLpConnectionIntercept;

using TLpInterceptNotifyEvent = std::function<void(TLpConnectionIntercept* ASender)>;
using TLpInterceptStreamEvent =
    std::function<void(TLpConnectionIntercept* ASender, TLpBytes& ABuffer)>;

class TLpConnectionIntercept : public TLpBaseComponent {
public:
    TLpConnectionIntercept() = default;
    ~TLpConnectionIntercept() override = default;

    // Stores the connection, fires OnConnect, then tells the chained intercept.
    virtual void InterceptConnect(TLpBaseComponent* connection);
    // Tells the chained intercept first, then OnDisconnect, then forgets the connection.
    virtual void InterceptDisconnect();
    // Received data passes the chained intercept first, then OnReceive.
    virtual void InterceptReceive(TLpBytes& buffer);
    // Sent data: OnSend first, then the chained intercept.
    virtual void InterceptSend(TLpBytes& buffer);

    TLpConnectionIntercept* Intercept() const noexcept { return m_intercept; }
    // Raises ELpInterceptCircularLink "%s: Circular links are not allowed" (this class's name)
    // when the chain holds this intercept.
    void SetIntercept(TLpConnectionIntercept* intercept);

    TLpBaseComponent* Connection() const noexcept { return m_connection; }
    bool IsClient() const noexcept { return m_isClient; }

    virtual const char* ClassName() const noexcept { return "TLpConnectionIntercept"; }

    TLpInterceptNotifyEvent OnConnect;
    TLpInterceptNotifyEvent OnDisconnect;
    TLpInterceptStreamEvent OnReceive;
    TLpInterceptStreamEvent OnSend;

private:
    TLpBaseComponent* m_connection = nullptr;
    TLpConnectionIntercept* m_intercept = nullptr;
    bool m_isClient = true;
};

}  // namespace larkpost
