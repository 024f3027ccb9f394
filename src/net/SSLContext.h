// One OpenSSL client (or server) context: protocol versions, options, cipher list,
// verification and the key files, made when a connection opens.
#pragma once

#include <cstdint>
#include <string>

#include "net/SSLOptions.h"

struct ssl_ctx_st;
struct x509_store_ctx_st;

namespace larkpost {

class TLpSSLIOHandlerSocketOpenSSL;

class TLpSSLContext {
public:
    // Loads the OpenSSL libraries; raises ELpOSSLCouldNotLoadSSLLibrary when they cannot be.
    explicit TLpSSLContext(TLpSSLIOHandlerSocketOpenSSL* owner);
    ~TLpSSLContext();
    TLpSSLContext(const TLpSSLContext&) = delete;
    TLpSSLContext& operator=(const TLpSSLContext&) = delete;

    // Builds the SSL_CTX from the fields below (any previous one is freed first).
    void InitContext(bool forServer);
    ssl_ctx_st* Context() const noexcept { return m_context; }
    TLpSSLIOHandlerSocketOpenSSL* Owner() const noexcept { return m_owner; }

    // Removes the info callback, so nothing is reported while a session closes.
    void RemoveInfoCallback();

    TLpSSLVersion Method = sslvTLSv1;
    TLpSSLVersions SSLVersions{sslvTLSv1};
    TLpSSLMode Mode = sslmUnassigned;
    TLpSSLVerifyModeSet VerifyMode;
    int32_t VerifyDepth = 0;
    bool VerifyOn = false;      // the handler's OnVerifyPeer is assigned
    bool StatusInfoOn = false;  // OnStatusInfo or OnStatusInfoEx is assigned
    std::string RootCertFile;
    std::string CertFile;
    std::string KeyFile;
    std::string DHParamsFile;
    std::string VerifyDirs;
    std::string CipherList;
    uint32_t SessionIdContext = 1;
    // The certificate checks of TLpSSLOptions.
    bool VerifyServerCertificate = false;
    std::string CAFile;
    std::string CertificateFingerprint;

    // The server certificate is checked and a failure ends the handshake.
    bool ChecksServerCertificate() const noexcept {
        return VerifyServerCertificate || !CertificateFingerprint.empty();
    }
    // Of the last handshake: the server certificate's SHA-256 (hex), and whether it was the
    // pinned one's that failed.
    std::string PeerFingerprint;
    bool FingerprintMismatch = false;
    // OpenSSL's check of the chain, or the pin alone; the callback of the context.
    int CheckServerCertificate(x509_store_ctx_st* store);

private:
    void ApplyProtocolVersions();
    void LoadTrustStore();
    void LoadFiles();
    bool UsePkcs12Certificate();
    bool UsePkcs12Key();
    // A PKCS #12 file's password comes from the handler's password event.
    std::string Pkcs12Password() const;
    TLpSSLIOHandlerSocketOpenSSL* m_owner;
    ssl_ctx_st* m_context = nullptr;
};

}  // namespace larkpost
