// The SASL mechanisms of the SMTP login: LOGIN, PLAIN (RFC 4616), ANONYMOUS (RFC 4505),
// OTP (RFC 2444 / RFC 2289), SKEY (RFC 1760), CRAM-MD5 (RFC 2195), CRAM-SHA1, DIGEST-MD5
// (RFC 2831).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "smtp/SASL.h"

namespace larkpost {

class TLpSASLLogin : public TLpSASLUserPass {
public:
    bool InitialResponse(const std::string& host, const std::string& protocol,
                         std::string& response) override;
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    std::string NextResponse(const std::string& challenge, const std::string& host,
                             const std::string& protocol) override;
    std::string MechanismName() const override { return "LOGIN"; }
};

class TLpSASLPlain : public TLpSASLUserPass {
public:
    const std::string& LoginAs() const noexcept { return m_loginAs; }
    void SetLoginAs(const std::string& value) { m_loginAs = value; }

    bool InitialResponse(const std::string& host, const std::string& protocol,
                         std::string& response) override;
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    bool IsReady() override;
    std::string MechanismName() const override { return "PLAIN"; }

private:
    std::string Response() const;
    std::string m_loginAs;
};

class TLpSASLAnonymous : public TLpSASL {
public:
    const std::string& TraceInfo() const noexcept { return m_traceInfo; }
    void SetTraceInfo(const std::string& value) { m_traceInfo = value; }

    bool InitialResponse(const std::string& host, const std::string& protocol,
                         std::string& response) override;
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    bool IsReady() override { return !m_traceInfo.empty(); }
    std::string MechanismName() const override { return "ANONYMOUS"; }

private:
    std::string m_traceInfo;
};

class TLpSASLOTP : public TLpSASLUserPass {
public:
    bool InitialResponse(const std::string& host, const std::string& protocol,
                         std::string& response) override;
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    // "otp-<hash> <count> <seed> ..." is answered with "word:" and the six words.
    std::string NextResponse(const std::string& challenge, const std::string& host,
                             const std::string& protocol) override;
    std::string MechanismName() const override { return "OTP"; }
};

class TLpSASLSKey : public TLpSASLUserPass {
public:
    bool InitialResponse(const std::string& host, const std::string& protocol,
                         std::string& response) override;
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    // "<count> <seed>" is answered with the six words of md4.
    std::string NextResponse(const std::string& challenge, const std::string& host,
                             const std::string& protocol) override;
    // Ready unless OpenSSL runs in FIPS mode (MD4 is not permitted there).
    bool IsReady() override;
    std::string MechanismName() const override { return "SKEY"; }
};

class TLpSASLCRAMMD5 : public TLpSASLCRAMBase {
public:
    // Ready unless OpenSSL runs in FIPS mode.
    bool IsReady() override;
    std::string HashName() const override { return "MD5"; }
    std::string MechanismName() const override { return "CRAM-MD5"; }
};

class TLpSASLCRAMSHA1 : public TLpSASLCRAMBase {
public:
    std::string HashName() const override { return "SHA-1"; }
    std::string MechanismName() const override { return "CRAM-SHA1"; }
};

class TLpSASLDigest : public TLpSASLUserPass {
public:
    // Kept for the property list; this system never sets it and it takes no part.
    const std::string& authzid() const noexcept { return m_authzid; }
    void Setauthzid(const std::string& value) { m_authzid = value; }

    // The client nonce of each answer. By default 32 lower-case hex digits from the system's
    // random source; tests inject a fixed one.
    void SetCNonceSource(std::function<std::string()> source) {
        m_cnonceSource = std::move(source);
    }

    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    // Ready unless OpenSSL runs in FIPS mode.
    bool IsReady() override;
    std::string MechanismName() const override { return "DIGEST-MD5"; }

private:
    std::string m_authzid;
    std::function<std::string()> m_cnonceSource;
};

}  // namespace larkpost
