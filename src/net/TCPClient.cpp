#include "net/TCPClient.h"

#include "net/Exceptions.h"
#include "net/Intercept.h"
#include "net/SocketHandler.h"

namespace larkpost {

TLpTCPClientCustom::TLpTCPClientCustom() = default;

TLpTCPClientCustom::~TLpTCPClientCustom() = default;

void TLpTCPClientCustom::SetConnectTimeout(int ms) {
    m_connectTimeout = ms;
    if (m_ioHandler) m_ioHandler->SetConnectTimeout(ms);
}

int TLpTCPClientCustom::ReadTimeout() const noexcept {
    return m_ioHandler ? m_ioHandler->ReadTimeout() : m_readTimeout;
}

void TLpTCPClientCustom::SetReadTimeout(int ms) {
    m_readTimeout = ms;
    if (m_ioHandler) m_ioHandler->SetReadTimeout(ms);
}

void TLpTCPClientCustom::SetIOHandler(TLpIOHandler* handler) {
    TLpTCPConnection::SetIOHandler(handler);
    if (handler) CopySettingsToHandler();
}

void TLpTCPClientCustom::CopySettingsToHandler() {
    TLpIOHandler* h = m_ioHandler;
    if (!h) return;
    h->SetPort(m_port);
    h->SetHost(m_host);
    h->SetConnectTimeout(m_connectTimeout);
    h->SetReadTimeout(m_readTimeout);
    auto* socket = dynamic_cast<TLpIOHandlerSocket*>(h);
    if (!socket) return;
    socket->SetBoundIP(m_boundIP);
    socket->SetBoundPort(m_boundPort);
    socket->SetBoundPortMin(m_boundPortMin);
    socket->SetBoundPortMax(m_boundPortMax);
    socket->SetIPVersion(m_ipVersion);
    socket->SetReuseSocket(m_reuseSocket);
    socket->SetUseNagle(m_useNagle);
    socket->OnBeforeBind = OnBeforeBind;
    socket->OnSocketAllocated = OnSocketAllocated;
    socket->OnAfterBind = OnAfterBind;
}

void TLpTCPClientCustom::EstablishConnection() {
    if (IsConnected()) throw ELpAlreadyConnected("Already connected.");
    if (m_host.empty()) throw ELpHostRequired("A Host is required");
    if (m_port == 0) throw ELpPortRequired("A Port is required");
    if (!m_ioHandler) {
        auto handler = std::make_unique<TLpIOHandlerStack>();
        handler->OnStatus = OnStatus;
        SetIOHandler(handler.get());
        m_ownedHandler = std::move(handler);
    }
    try {
        CopySettingsToHandler();
        m_ioHandler->OpenHandler();
        if (m_ioHandler->Intercept()) m_ioHandler->Intercept()->InterceptConnect(this);
        ReportStatus(hsConnected, m_host);
        if (OnConnected) OnConnected(this);
    } catch (...) {
        try {
            m_ioHandler->CloseHandler();
        } catch (...) {
            // The connect's own failure is the one to report.
        }
        if (m_ownedHandler) {
            m_ioHandler = nullptr;
            m_ownedHandler.reset();
        }
        throw;
    }
}

}  // namespace larkpost
