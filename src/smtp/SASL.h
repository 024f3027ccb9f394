// The base of the SASL mechanisms (RFC 4422) and the errors of the AUTH exchange (RFC 4954).
#pragma once

#include <string>
#include <vector>

#include "platform/Exception.h"
#include "smtp/UserPassProvider.h"

namespace larkpost {

class TLpSASLEntries;

class ELpSASLError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpSASLError"; }
};

class ELpUserPassProviderUnassigned : public ELpSASLError {
public:
    ELpUserPassProviderUnassigned() : ELpSASLError("Unassigned UserPassProvider!") {}
    const char* ClassName() const noexcept override { return "ELpUserPassProviderUnassigned"; }
};

class ELpSASLMechNeeded : public ELpSASLError {
public:
    ELpSASLMechNeeded() : ELpSASLError("Need SASL mechanisms to login with it!!") {}
    const char* ClassName() const noexcept override { return "ELpSASLMechNeeded"; }
};

class ELpSASLNotSupported : public ELpSASLError {
public:
    ELpSASLNotSupported() : ELpSASLError("Doesn't support AUTH or the specified SASL handlers!!") {}
    const char* ClassName() const noexcept override { return "ELpSASLNotSupported"; }
};

class ELpSASLNotReady : public ELpSASLError {
public:
    ELpSASLNotReady() : ELpSASLError("The specified SASL handlers are not ready!!") {}
    const char* ClassName() const noexcept override { return "ELpSASLNotReady"; }
};

class ELpSASLDigestChallNoAlgorithm : public ELpSASLError {
public:
    ELpSASLDigestChallNoAlgorithm() : ELpSASLError("missing algorithm in challange.") {}
    const char* ClassName() const noexcept override { return "ELpSASLDigestChallNoAlgorithm"; }
};

class ELpSASLDigestAuthConfNotSupported : public ELpSASLError {
public:
    ELpSASLDigestAuthConfNotSupported() : ELpSASLError("auth-conf not yet supported.") {}
    const char* ClassName() const noexcept override { return "ELpSASLDigestAuthConfNotSupported"; }
};

// One SASL mechanism. Challenges and responses are text holding one character per byte of
// the wire form (see SASLText.h); the exchange does the base64 around them.
class TLpSASL {
public:
    TLpSASL() = default;
    // Entries of lists that refer to this mechanism are removed.
    virtual ~TLpSASL();
    TLpSASL(const TLpSASL&) = delete;
    TLpSASL& operator=(const TLpSASL&) = delete;

    // True with the response to send on the AUTH line itself; the base has none.
    virtual bool InitialResponse(const std::string& host, const std::string& protocol,
                                 std::string& response);
    virtual std::string FirstResponse(const std::string& challenge, const std::string& host,
                                      const std::string& protocol);
    // The base answers with an empty text.
    virtual std::string NextResponse(const std::string& challenge, const std::string& host,
                                     const std::string& protocol);
    // Called after an exchange ended; no mechanism here needs it.
    virtual void FinishExchange() {}
    virtual bool IsReady() { return true; }
    // Whether MechanismName() is among Names, ignoring case.
    bool IsOffered(const std::vector<std::string>& names) const;
    virtual std::string MechanismName() const { return std::string(); }

private:
    friend class TLpSASLEntries;
    std::vector<TLpSASLEntries*> m_lists;
};

// A mechanism that authenticates with the shared user name and password.
class TLpSASLUserPass : public TLpSASL {
public:
    TLpUserPassProvider* UserPassProvider() const noexcept { return m_provider; }
    void SetUserPassProvider(TLpUserPassProvider* provider) noexcept { m_provider = provider; }
    // Both raise ELpUserPassProviderUnassigned without a provider.
    std::string Username() const;
    std::string Password() const;
    // A provider is assigned and its user name is not empty.
    bool IsReady() override;

private:
    TLpUserPassProvider* m_provider = nullptr;
};

// CRAM-MD5 and CRAM-SHA1 (RFC 2195): user name, space, lower-case hex HMAC of the challenge.
class TLpSASLCRAMBase : public TLpSASLUserPass {
public:
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    // Botan's name of the keyed hash: "MD5" or "SHA-1".
    virtual std::string HashName() const = 0;
};

}  // namespace larkpost
