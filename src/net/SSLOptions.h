// The published TLS options of the TLS handler: protocol versions, role, verification, files.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace larkpost {

enum TLpSSLVersion {
    sslvSSLv2 = 0,
    sslvSSLv23 = 1,
    sslvSSLv3 = 2,
    sslvTLSv1 = 3,
    sslvTLSv1_1 = 4,
    sslvTLSv1_2 = 5,
    sslvTLSv1_3 = 6,
};
using TLpSSLVersions = std::set<TLpSSLVersion>;

enum TLpSSLMode { sslmUnassigned = 0, sslmClient = 1, sslmServer = 2, sslmBoth = 3 };

enum TLpSSLVerifyMode { sslvrfPeer = 0, sslvrfFailIfNoPeerCert = 1, sslvrfClientOnce = 2 };
using TLpSSLVerifyModeSet = std::set<TLpSSLVerifyMode>;

class TLpSSLOptions {
public:
    // TLS 1.0 up to TLS 1.3: the context negotiates the best version both sides support.
    TLpSSLOptions();

    const std::string& RootCertFile() const noexcept { return m_rootCertFile; }
    void SetRootCertFile(const std::string& v) { m_rootCertFile = v; }
    const std::string& CertFile() const noexcept { return m_certFile; }
    void SetCertFile(const std::string& v) { m_certFile = v; }
    const std::string& KeyFile() const noexcept { return m_keyFile; }
    void SetKeyFile(const std::string& v) { m_keyFile = v; }
    const std::string& DHParamsFile() const noexcept { return m_dhParamsFile; }
    void SetDHParamsFile(const std::string& v) { m_dhParamsFile = v; }

    // Setting the method sets the versions to that one version (sslvSSLv23: all of them);
    // setting the versions sets the method: the one version of a one-version set, else
    // sslvSSLv23 (which itself is taken out of the set).
    TLpSSLVersion Method() const noexcept { return m_method; }
    void SetMethod(TLpSSLVersion method);
    const TLpSSLVersions& SSLVersions() const noexcept { return m_versions; }
    void SetSSLVersions(const TLpSSLVersions& versions);

    TLpSSLMode Mode() const noexcept { return m_mode; }
    void SetMode(TLpSSLMode v) { m_mode = v; }
    // Empty: the server's certificate is not verified (the result is still reported).
    const TLpSSLVerifyModeSet& VerifyMode() const noexcept { return m_verifyMode; }
    void SetVerifyMode(const TLpSSLVerifyModeSet& v) { m_verifyMode = v; }
    int32_t VerifyDepth() const noexcept { return m_verifyDepth; }
    void SetVerifyDepth(int32_t v) { m_verifyDepth = v; }
    const std::string& VerifyDirs() const noexcept { return m_verifyDirs; }
    void SetVerifyDirs(const std::string& v) { m_verifyDirs = v; }
    // Empty: "AES:ALL:!aNULL:!eNULL:+RC4:@STRENGTH".
    const std::string& CipherList() const noexcept { return m_cipherList; }
    void SetCipherList(const std::string& v) { m_cipherList = v; }

    // Checks of the server's certificate that end the handshake when they fail, with
    // ELpCertificateVerifyError: the chain must lead to a trusted root (only CAFile's when it is
    // given, else the system's), be within its dates and be made out for the host name (an
    // address literal as an address). Off by default: the result is only reported.
    bool VerifyServerCertificate() const noexcept { return m_verifyServerCertificate; }
    void SetVerifyServerCertificate(bool v) { m_verifyServerCertificate = v; }
    const std::string& CAFile() const noexcept { return m_caFile; }
    void SetCAFile(const std::string& v) { m_caFile = v; }
    // The SHA-256 of the server's certificate (DER), 64 lower-case hex digits; when set, it
    // alone decides, also without VerifyServerCertificate (a self-signed relay).
    const std::string& CertificateFingerprint() const noexcept { return m_certificateFingerprint; }
    void SetCertificateFingerprint(const std::string& v) { m_certificateFingerprint = v; }

    // The four file names, Method and SSLVersions (through the setters, in that order), Mode,
    // VerifyMode, VerifyDepth, VerifyDirs and CipherList; then the certificate checks.
    void AssignTo(TLpSSLOptions& destination) const;

    // Every version sslvSSLv23 stands for.
    static TLpSSLVersions AllVersions();

private:
    std::string m_rootCertFile;
    std::string m_certFile;
    std::string m_keyFile;
    std::string m_dhParamsFile;
    TLpSSLVersion m_method = sslvSSLv23;
    TLpSSLVersions m_versions;
    TLpSSLMode m_mode = sslmUnassigned;
    TLpSSLVerifyModeSet m_verifyMode;
    int32_t m_verifyDepth = 0;
    std::string m_verifyDirs;
    std::string m_cipherList;
    bool m_verifyServerCertificate = false;
    std::string m_caFile;
    std::string m_certificateFingerprint;
};

// A SHA-256 fingerprint as people copy it (upper or lower case, pairs separated by colons or
// blanks, "sha256:" or "SHA256 Fingerprint=" in front) to 64 lower-case hex digits; false when
// the text holds anything else or another number of digits.
bool NormalizeSha256Fingerprint(const std::string& text, std::string& hex);
// 64 hex digits as upper-case pairs joined by colons, the form `openssl x509 -fingerprint` shows.
std::string ColonFingerprint(const std::string& hex);

}  // namespace larkpost
