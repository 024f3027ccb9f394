#include "net/SSLSocket.h"

#include <arpa/inet.h>

#include "net/Exceptions.h"
#include "net/OpenSSLErrors.h"
#include "net/OpenSSLLibrary.h"
#include "net/SSLContext.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "net/Stack.h"

namespace larkpost {
namespace {

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

// The name the server knows itself by: an IPv6 address without the brackets a user may type
// around it, and an international name in the ASCII form its certificate carries (the server
// name extension allows ASCII only). Any other text goes as typed.
std::string TLpSSLSocket::ServerName(const std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const std::string inner = host.substr(1, host.size() - 2);
        if (IsAddressLiteral(inner)) return inner;
    }
    try {
        return TLpStack::ToAsciiHostName(host);
    } catch (const ELpInvalidHostName&) {
        return host;  // never reached on a connection: the lookup refused the name first
    }
}

// ---- Cipher -----------------------------------------------------------------------------------

const ssl_cipher_st* TLpSSLCipher::Current() const {
    return m_ssl != nullptr ? OpenSSLApi().SSL_get_current_cipher(m_ssl) : nullptr;
}

std::string TLpSSLCipher::Name() const {
    const SSL_CIPHER* cipher = Current();
    const char* name = cipher != nullptr ? OpenSSLApi().SSL_CIPHER_get_name(cipher) : nullptr;
    return name != nullptr ? name : "";
}

std::string TLpSSLCipher::Description() const {
    const SSL_CIPHER* cipher = Current();
    if (cipher == nullptr) return std::string();
    char buffer[1024] = {};
    const char* text = OpenSSLApi().SSL_CIPHER_description(cipher, buffer, sizeof buffer);
    return text != nullptr ? text : "";
}

int TLpSSLCipher::Bits() const {
    const SSL_CIPHER* cipher = Current();
    int algorithmBits = 0;
    if (cipher != nullptr) OpenSSLApi().SSL_CIPHER_get_bits(cipher, &algorithmBits);
    return algorithmBits;
}

std::string TLpSSLCipher::Version() const {
    const SSL_CIPHER* cipher = Current();
    const char* version = cipher != nullptr ? OpenSSLApi().SSL_CIPHER_get_version(cipher) : nullptr;
    return version != nullptr ? version : "";
}

// ---- Certificate ------------------------------------------------------------------------------

TLpX509::TLpX509(x509_st* certificate, bool owned) : m_certificate(certificate), m_owned(owned) {}

TLpX509::~TLpX509() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (m_owned && m_certificate != nullptr && a.X509_free != nullptr) a.X509_free(m_certificate);
}

namespace {
std::string OneLine(X509_NAME* name) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (name == nullptr || a.X509_NAME_oneline == nullptr) return std::string();
    char buffer[512] = {};
    a.X509_NAME_oneline(name, buffer, sizeof buffer);
    return buffer;
}
}  // namespace

std::string TLpX509::Subject() const {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (m_certificate == nullptr || a.X509_get_subject_name == nullptr) return std::string();
    return OneLine(a.X509_get_subject_name(m_certificate));
}

std::string TLpX509::Issuer() const {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (m_certificate == nullptr || a.X509_get_issuer_name == nullptr) return std::string();
    return OneLine(a.X509_get_issuer_name(m_certificate));
}

// ---- Session ----------------------------------------------------------------------------------

TLpSSLSocket::~TLpSSLSocket() {
    Close();
}

void TLpSSLSocket::Close() noexcept {
    m_cipher.reset();
    m_peerCert.reset();
    if (m_ssl == nullptr) return;
    const TLpOpenSSLApi& a = OpenSSLApi();
    a.SSL_shutdown(m_ssl);
    a.SSL_free(m_ssl);
    m_ssl = nullptr;
    // Whatever the shutdown queued (a peer already gone) must not end up in a later message.
    if (a.ERR_clear_error != nullptr) a.ERR_clear_error();
}

//   C: ClientHello (server name)   S: ServerHello, Certificate, ...   ...   Finished
void TLpSSLSocket::Connect(int socketHandle) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    Close();
    if (a.ERR_clear_error != nullptr) a.ERR_clear_error();
    m_ssl = a.SSL_new(m_context->Context());
    if (m_ssl == nullptr) throw ELpOSSLCreatingSessionError();
    if (a.SSL_set_ex_data != nullptr) {
        const int bound = a.SSL_set_ex_data(m_ssl, 0, this);
        if (bound < 1)
            RaiseSSLError<ELpOSSLDataBindingError>(m_ssl, bound,
                                                   "Error binding data to SSL socket.");
    }
    const int fdSet = a.SSL_set_fd(m_ssl, socketHandle);
    if (fdSet < 1)
        RaiseSSLError<ELpOSSLFDSetError>(m_ssl, fdSet, "Error setting File Descriptor for SSL");

    // The name as typed (in its lookup form), also for an address literal.
    const std::string name = ServerName(m_hostName);
    a.SSL_ctrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(name.c_str()));
    // The certificate is checked against the host, so that the verification result shown after
    // the handshake also tells a certificate made out for another name.
    if (a.SSL_get0_param != nullptr && !name.empty()) {
        X509_VERIFY_PARAM* param = a.SSL_get0_param(m_ssl);
        if (IsAddressLiteral(name)) {
            if (a.X509_VERIFY_PARAM_set1_ip_asc != nullptr) {
                a.X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
            }
        } else if (a.X509_VERIFY_PARAM_set1_host != nullptr) {
            a.X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
            // RFC 6125: a wildcard stands for a whole left-most label, never for part of one.
            if (m_context->ChecksServerCertificate() && a.X509_VERIFY_PARAM_set_hostflags)
                a.X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        }
    }
    if (a.ERR_clear_error != nullptr) a.ERR_clear_error();

    m_context->PeerFingerprint.clear();
    m_context->FingerprintMismatch = false;
    const int connected = a.SSL_connect(m_ssl);
    if (connected < 1) {
        RaiseIfCertificateRefused();
        RaiseSSLError<ELpOSSLConnectError>(m_ssl, connected, "Error connecting with SSL.");
    }

    TLpSSLCipher& cipher = Cipher();
    m_owner->ReportStatusInfo(
        "Cipher: name = " + cipher.Name() + "; " + "description = " + cipher.Description() + "; " +
        "bits = " + std::to_string(cipher.Bits()) + "; " + "version = " + cipher.Version() + "; ");
    m_owner->ReportStatusInfo(VerificationText());
}

void TLpSSLSocket::RaiseIfCertificateRefused() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (!m_context->ChecksServerCertificate() || a.SSL_get_verify_result == nullptr) return;
    // Until the certificate has been checked the result reads X509_V_OK, so a handshake that
    // failed for another reason keeps its own error.
    const long result = a.SSL_get_verify_result(m_ssl);
    if (result == X509_V_OK) return;
    if (a.ERR_clear_error != nullptr) a.ERR_clear_error();
    if (m_context->FingerprintMismatch) {
        throw ELpCertificateVerifyError(
            m_hostName, "certificate fingerprint mismatch: the server's SHA-256 fingerprint is " +
                            ColonFingerprint(m_context->PeerFingerprint));
    }
    const char* reason = a.X509_verify_cert_error_string != nullptr
                             ? a.X509_verify_cert_error_string(result)
                             : nullptr;
    throw ELpCertificateVerifyError(m_hostName, reason != nullptr
                                                    ? reason
                                                    : "error " + std::to_string(result));
}

std::string TLpSSLSocket::VerificationText() const {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (m_ssl == nullptr || a.SSL_get_verify_result == nullptr ||
        a.X509_verify_cert_error_string == nullptr) {
        return "Certificate verification: unknown";
    }
    const long result = a.SSL_get_verify_result(m_ssl);
    std::string text = "Certificate verification: ";
    text += a.X509_verify_cert_error_string(result);
    // Nothing is enforced on the road (no VerifyMode); say so, or "ok" reads like a guarantee
    // and a failure like a refusal.
    if (m_context == nullptr) return text;
    if (!m_context->CertificateFingerprint.empty()) {
        text += " (pinned fingerprint)";
    } else if (m_context->VerifyMode.empty() && !m_context->ChecksServerCertificate()) {
        text += " (not enforced)";
    }
    return text;
}

TLpSSLCipher& TLpSSLSocket::Cipher() {
    if (!m_cipher) m_cipher = std::make_unique<TLpSSLCipher>(m_ssl);
    return *m_cipher;
}

TLpX509* TLpSSLSocket::PeerCert() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (!m_peerCert && m_ssl != nullptr && a.SSL_get1_peer_certificate != nullptr) {
        X509* certificate = a.SSL_get1_peer_certificate(m_ssl);
        if (certificate != nullptr) m_peerCert = std::make_unique<TLpX509>(certificate, true);
    }
    return m_peerCert.get();
}

}  // namespace larkpost
