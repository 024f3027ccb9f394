#include "net/SSLIOHandlerSocketOpenSSL.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "net/Exceptions.h"
#include "net/OpenSSLLibrary.h"
#include "net/Stack.h"

namespace larkpost {
namespace {

bool SocketTimedOut() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

std::string WhereText(int where) {
    if ((where & SSL_CB_ALERT) != 0) return "Alert";
    if ((where & SSL_ST_CONNECT) != 0) return "SSL_connect";
    if ((where & SSL_ST_ACCEPT) != 0) return "SSL_accept";
    return "undefined";
}

}  // namespace

TLpSSLIOHandlerSocketOpenSSL::TLpSSLIOHandlerSocketOpenSSL() = default;

TLpSSLIOHandlerSocketOpenSSL::~TLpSSLIOHandlerSocketOpenSSL() {
    FreeSession();
    m_context.reset();
}

bool TLpSSLIOHandlerSocketOpenSSL::SocketHeld() {
    return m_binding && m_binding->HandleAllocated();
}

// SO_RCVTIMEO / SO_SNDTIMEO bound every blocking read and write inside OpenSSL, which waits on
// the socket itself and knows nothing of ReadTimeout.
void TLpSSLIOHandlerSocketOpenSSL::SetSocketTimeouts(int milliseconds) {
    if (!SocketHeld()) return;
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(m_binding->Handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(m_binding->Handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void TLpSSLIOHandlerSocketOpenSSL::SetTlsActive(bool value) {
    if (value == m_tlsActive) return;
    if (!value) {
        SetSocketTimeouts(0);
        m_tlsActive = false;
        return;
    }
    if (SocketHeld()) {
        if (!m_context) throw ELpOSSLCouldNotLoadSSLLibrary();
        BeginTlsSession();
    }
    m_tlsActive = true;
}

void TLpSSLIOHandlerSocketOpenSSL::OpenHandler() {
    m_socketTimedOut = false;
    TLpIOHandlerStack::OpenHandler();
}

void TLpSSLIOHandlerSocketOpenSSL::ConnectSocket() {
    const bool remembered = m_tlsActive;
    m_tlsActive = false;
    try {
        TLpIOHandlerStack::ConnectSocket();
    } catch (...) {
        m_tlsActive = remembered;
        throw;
    }
    m_tlsActive = remembered;
    if (OnBeforeConnect) OnBeforeConnect(this);
    StartTlsOnConnect();
}

void TLpSSLIOHandlerSocketOpenSSL::StartTlsOnConnect() {
    try {
        PrepareTlsContext();
    } catch (const ELpOSSLCouldNotLoadSSLLibrary&) {
        // Without OpenSSL a plain connection still works; only the switch to TLS will fail.
        if (m_tlsActive) throw;
    }
    if (m_tlsActive) BeginTlsSession();
}

void TLpSSLIOHandlerSocketOpenSSL::PrepareTlsContext() {
    if (m_context) return;
    auto context = std::make_unique<TLpSSLContext>(this);
    context->RootCertFile = m_options.RootCertFile();
    context->CertFile = m_options.CertFile();
    context->KeyFile = m_options.KeyFile();
    context->DHParamsFile = m_options.DHParamsFile();
    context->VerifyDepth = m_options.VerifyDepth();
    context->VerifyMode = m_options.VerifyMode();
    context->VerifyDirs = m_options.VerifyDirs();
    context->CipherList = m_options.CipherList();
    context->VerifyOn = static_cast<bool>(OnVerifyPeer);
    context->StatusInfoOn = static_cast<bool>(OnStatusInfo) || static_cast<bool>(OnStatusInfoEx);
    context->Method = m_options.Method();
    context->SSLVersions = m_options.SSLVersions();
    context->Mode = m_options.Mode();
    context->VerifyServerCertificate = m_options.VerifyServerCertificate();
    context->CAFile = m_options.CAFile();
    context->CertificateFingerprint = m_options.CertificateFingerprint();
    context->InitContext(false);
    m_context = std::move(context);
}

void TLpSSLIOHandlerSocketOpenSSL::BeginTlsSession() {
    if (!m_binding) throw ELpNotConnected("Not Connected");
    if (!m_session) m_session = std::make_unique<TLpSSLSocket>(this);
    m_session->SetContext(m_context.get());
    SetSocketTimeouts(ReadTimeout() > 0 ? ReadTimeout() : 30000);
    const TLpSSLMode mode = m_context->Mode;
    const bool asServer = mode == sslmServer || (mode != sslmClient && m_isPeer);
    // A server session (accept) is never made by this client.
    if (asServer) throw ELpOSSLAcceptError("Error accepting with SSL.", 0, 0);
    m_session->SetHostName(Host());
    m_session->Connect(m_binding->Handle());
    m_tlsActive = true;
}

void TLpSSLIOHandlerSocketOpenSSL::FreeSession() noexcept {
    if (!m_session) return;
    // No progress texts while closing: the close notification is not news to the user.
    if (m_context && m_context->StatusInfoOn) m_context->RemoveInfoCallback();
    m_session->Close();
    m_session.reset();
}

void TLpSSLIOHandlerSocketOpenSSL::CloseHandler() {
    FreeSession();
    if (!m_isPeer) m_context.reset();
    TLpIOHandlerStack::CloseHandler();
}

bool TLpSSLIOHandlerSocketOpenSSL::WaitReadable(int timeoutMs) {
    if (m_tlsActive && m_session && m_session->SSL() != nullptr) {
        const TLpOpenSSLApi& a = OpenSSLApi();
        if (a.SSL_pending != nullptr && a.SSL_pending(m_session->SSL()) > 0) return true;
    }
    return TLpIOHandlerStack::WaitReadable(timeoutMs);
}

void TLpSSLIOHandlerSocketOpenSSL::ReportStatusInfo(const std::string& text) {
    if (OnStatusInfo) OnStatusInfo(text);
}

void TLpSSLIOHandlerSocketOpenSSL::DoStatusInfo(TLpSSLSocket* session, int where, int ret) {
    const char* state = OpenSSLApi().SSL_state_string_long(session->SSL());
    const std::string text = state != nullptr ? state : "";
    ReportStatusInfo("SSL status: \"" + text + "\"");
    if (OnStatusInfoEx) OnStatusInfoEx(this, session, where, ret, WhereText(where), text);
}

std::string TLpSSLIOHandlerSocketOpenSSL::DoGetPassword(bool isWrite) {
    std::string password;
    if (OnGetPasswordEx) {
        OnGetPasswordEx(this, password, isWrite);
    } else if (OnGetPassword) {
        OnGetPassword(password);
    }
    return password;
}

bool TLpSSLIOHandlerSocketOpenSSL::DoVerifyPeer(TLpX509* certificate, bool ok, int depth,
                                                int error) {
    return OnVerifyPeer ? OnVerifyPeer(certificate, ok, depth, error) : ok;
}

int TLpSSLIOHandlerSocketOpenSSL::TlsReceive(uint8_t* data, int length) {
    if (!m_session || m_session->SSL() == nullptr) throw ELpOSSLCreatingSessionError();
    const TLpOpenSSLApi& a = OpenSSLApi();
    SSL* ssl = m_session->SSL();
    for (;;) {
        if (a.ERR_clear_error != nullptr) a.ERR_clear_error();
        errno = 0;
        const int result = a.SSL_read(ssl, data, length);
        if (result > 0) return result;
        const int code = a.SSL_get_error(ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            // On this platform an expired SO_RCVTIMEO looks to OpenSSL like "try again";
            // retrying would wait forever, so it is reported as the time-out it is.
            if (SocketTimedOut()) {
                m_socketTimedOut = true;
                return -1;
            }
            continue;
        }
        if (code == SSL_ERROR_ZERO_RETURN) return 0;
        return result;
    }
}

int TLpSSLIOHandlerSocketOpenSSL::TlsSend(const uint8_t* data, int length) {
    if (!m_session || m_session->SSL() == nullptr) throw ELpOSSLCreatingSessionError();
    const TLpOpenSSLApi& a = OpenSSLApi();
    SSL* ssl = m_session->SSL();
    int total = 0;
    while (total < length) {
        if (a.ERR_clear_error != nullptr) a.ERR_clear_error();
        errno = 0;
        const int result = a.SSL_write(ssl, data + total, length - total);
        if (result > 0) {
            total += result;
            continue;
        }
        const int code = a.SSL_get_error(ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            if (SocketTimedOut()) {
                m_socketTimedOut = true;
                return -1;
            }
            continue;
        }
        if (code == SSL_ERROR_ZERO_RETURN) return 0;
        return result;
    }
    return total;
}

int TLpSSLIOHandlerSocketOpenSSL::ReceiveFromSocket(uint8_t* data, int length) {
    if (m_tlsActive) return TlsReceive(data, length);
    return TLpIOHandlerStack::ReceiveFromSocket(data, length);
}

int TLpSSLIOHandlerSocketOpenSSL::SendToSocket(const uint8_t* data, int length) {
    if (m_tlsActive) return TlsSend(data, length);
    return TLpIOHandlerStack::SendToSocket(data, length);
}

bool TLpSSLIOHandlerSocketOpenSSL::SocketAvailable() {
    return TLpIOHandlerStack::SocketAvailable();
}

int TLpSSLIOHandlerSocketOpenSSL::ErrorCodeOf(int callResult) {
    if (!m_tlsActive) return TLpIOHandlerStack::ErrorCodeOf(callResult);
    if (m_socketTimedOut) {
        m_socketTimedOut = false;
        return lpsock::kTimedOut;
    }
    if (!m_session || m_session->SSL() == nullptr) return TLpIOHandlerStack::ErrorCodeOf(-1);
    const int code = OpenSSLApi().SSL_get_error(m_session->SSL(), callResult);
    if (code == SSL_ERROR_NONE) return 0;
    if (code == SSL_ERROR_SYSCALL) return TLpIOHandlerStack::ErrorCodeOf(-1);
    RaiseSSLError<ELpOpenSSLAPISSLError>(m_session->SSL(), callResult, "");
}

void TLpSSLIOHandlerSocketOpenSSL::RaiseSocketFailure(int code) {
    const bool passThrough = code == lpsock::kConnectionAborted ||
                             code == lpsock::kConnectionReset || code == lpsock::kShutdown;
    // Socket error numbers (a TLS write that timed out gives 10060) keep their socket text;
    // OpenSSL has nothing to add to them.
    if (m_tlsActive && !passThrough && code < 10000 && m_session && m_session->SSL() != nullptr) {
        RaiseSSLError<ELpOpenSSLAPISSLError>(m_session->SSL(), code, "");
    }
    TLpIOHandlerStack::RaiseSocketFailure(code);
}

}  // namespace larkpost
