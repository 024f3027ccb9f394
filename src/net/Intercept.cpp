#include "net/Intercept.h"

#include <string>

#include "net/Exceptions.h"

namespace larkpost {

void TLpConnectionIntercept::InterceptConnect(TLpBaseComponent* connection) {
    m_connection = connection;
    if (OnConnect) OnConnect(this);
    if (m_intercept) m_intercept->InterceptConnect(connection);
}

void TLpConnectionIntercept::InterceptDisconnect() {
    if (m_intercept) m_intercept->InterceptDisconnect();
    if (OnDisconnect) OnDisconnect(this);
    m_connection = nullptr;
}

void TLpConnectionIntercept::InterceptReceive(TLpBytes& buffer) {
    if (m_intercept) m_intercept->InterceptReceive(buffer);
    if (OnReceive) OnReceive(this, buffer);
}

void TLpConnectionIntercept::InterceptSend(TLpBytes& buffer) {
    if (OnSend) OnSend(this, buffer);
    if (m_intercept) m_intercept->InterceptSend(buffer);
}

void TLpConnectionIntercept::SetIntercept(TLpConnectionIntercept* intercept) {
    for (auto* link = intercept; link; link = link->m_intercept)
        if (link == this)
            throw ELpInterceptCircularLink(std::string(ClassName()) +
                                           ": Circular links are not allowed");
    m_intercept = intercept;
}

}  // namespace larkpost
