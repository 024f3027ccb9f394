// One OpenSSL client (or server) context: protocol versions, options, cipher list,
// verification and the key files, made when a connection opens.
#pragma once

#include <cstdint>
#include <string>

#include "net/SSLOptions.h"

struct ssl_ctx_st;

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

private:
    void ApplyProtocolVersions();
    void LoadFiles();
    bool UsePkcs12Certificate();
    bool UsePkcs12Key();
    // A PKCS #12 file's password comes from the handler's password event.
    std::string Pkcs12Password() const;
    TLpSSLIOHandlerSocketOpenSSL* m_owner;
    ssl_ctx_st* m_context = nullptr;
};

}  // namespace larkpost
