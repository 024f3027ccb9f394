// The TLS-capable socket handler of the SMTP client: plain until TlsActive is set, then every
// byte through an OpenSSL session (explicit TLS, RFC 3207). Progress texts go to OnStatusInfo.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/OpenSSLErrors.h"
#include "net/SSLContext.h"
#include "net/SSLOptions.h"
#include "net/SSLSocket.h"
#include "net/SocketHandler.h"

namespace larkpost {

// What the explicit-TLS client needs of any TLS-capable handler.
class TLpSSLIOHandlerSocketBase : public TLpIOHandlerStack {
public:
    bool TlsActive() const noexcept { return m_tlsActive; }
    // True on an open connection runs the handshake and raises on any failure (TlsActive then
    // stays False); False resets the socket's TLS time-outs. Without a socket only stored.
    virtual void SetTlsActive(bool value) = 0;

protected:
    bool m_tlsActive = true;
    bool m_isPeer = false;
};

class TLpSSLIOHandlerSocketOpenSSL : public TLpSSLIOHandlerSocketBase {
public:
    TLpSSLIOHandlerSocketOpenSSL();
    ~TLpSSLIOHandlerSocketOpenSSL() override;

    void SetTlsActive(bool value) override;
    TLpSSLOptions& SSLOptions() noexcept { return m_options; }
    const TLpSSLOptions& SSLOptions() const noexcept { return m_options; }

    // The context and the session of the current connection (null when none).
    TLpSSLContext* TlsContext() const noexcept { return m_context.get(); }
    TLpSSLSocket* TlsSession() const noexcept { return m_session.get(); }

    void OpenHandler() override;
    // The session shut down and freed (no progress texts while closing), the context freed,
    // then the socket close. TlsActive keeps its value.
    void CloseHandler() override;
    // Decrypted bytes already held by OpenSSL count as readable at once.
    bool WaitReadable(int timeoutMs) override;
    // The TCP connect with TlsActive held False, then StartTlsOnConnect.
    void ConnectSocket() override;

    // Calls OnStatusInfo when it is assigned.
    virtual void ReportStatusInfo(const std::string& text);

    // "SSL status: …", "Cipher: name = …; description = …; bits = …; version = …; ", and the
    // certificate verification result.
    std::function<void(const std::string& AMsg)> OnStatusInfo;
    std::function<void(TLpSSLIOHandlerSocketOpenSSL* ASender, TLpSSLSocket* AsslSocket, int AWhere,
                       int Aret, const std::string& AType, const std::string& AMsg)>
        OnStatusInfoEx;
    std::function<void(std::string& APassword)> OnGetPassword;
    std::function<void(TLpSSLIOHandlerSocketOpenSSL* ASender, std::string& VPassword,
                       bool AIsWrite)>
        OnGetPasswordEx;
    std::function<bool(TLpX509* Certificate, bool AOk, int ADepth, int AError)> OnVerifyPeer;
    // After the TCP connect, before any TLS step (the program sets none).
    TLpNotifyEvent OnBeforeConnect;

    // Hooks OpenSSL's callbacks reach through the session's application data.
    virtual void DoStatusInfo(TLpSSLSocket* session, int where, int ret);
    virtual std::string DoGetPassword(bool isWrite);
    virtual bool DoVerifyPeer(TLpX509* certificate, bool ok, int depth, int error);

protected:
    virtual int TlsReceive(uint8_t* data, int length);
    virtual int TlsSend(const uint8_t* data, int length);
    // PrepareTlsContext; a missing OpenSSL is swallowed while TlsActive is False (the
    // connection stays plain). Then, with TlsActive, BeginTlsSession.
    virtual void StartTlsOnConnect();
    virtual void BeginTlsSession();
    // Once per connection: the context from SSLOptions, initialised for a client.
    void PrepareTlsContext();

    int ReceiveFromSocket(uint8_t* data, int length) override;
    int SendToSocket(const uint8_t* data, int length) override;
    bool SocketAvailable() override;
    int ErrorCodeOf(int callResult) override;
    [[noreturn]] void RaiseSocketFailure(int code) override;

private:
    void SetSocketTimeouts(int milliseconds);
    bool SocketHeld();
    void FreeSession() noexcept;

    TLpSSLOptions m_options;
    std::unique_ptr<TLpSSLContext> m_context;
    std::unique_ptr<TLpSSLSocket> m_session;
    // The socket's own receive time-out expired inside OpenSSL (it reports that as "want read").
    bool m_socketTimedOut = false;
};

}  // namespace larkpost
