// OAuth 2.0 bearer tokens over SASL: OAUTHBEARER (RFC 7628) and XOAUTH2 (the form Google and
// Microsoft document). The provider's password is the access token, its user name the account.
#pragma once

#include <cstdint>
#include <string>

#include "smtp/SASL.h"

namespace larkpost {

// What the server's error challenge said (RFC 7628, 3.2.2): a JSON object whose "status" is
// always there and whose "scope" may be.
struct TLpOAuthStatus {
    bool Present = false;  // an error challenge came
    std::string Status;
    std::string Scope;
};

// Reads "status" and "scope" from the JSON of an error challenge; anything else is ignored, and
// text that is no JSON object gives empty values.
TLpOAuthStatus ParseOAuthStatus(const std::string& json);

class TLpSASLOAuthBase : public TLpSASLUserPass {
public:
    // OAUTHBEARER names the server's port; the SMTP client sets it before the exchange.
    uint16_t Port() const noexcept { return m_port; }
    void SetPort(uint16_t port) noexcept { m_port = port; }

    // Whether this mechanism ran since the last Reset, and what the server's error challenge
    // said, for the message of a refused token.
    void Reset();
    bool Ran() const noexcept { return m_ran; }
    const TLpOAuthStatus& ErrorStatus() const noexcept { return m_errorStatus; }

    bool InitialResponse(const std::string& host, const std::string& protocol,
                         std::string& response) override;
    // An empty challenge asks for the client response; anything else is the error challenge.
    std::string FirstResponse(const std::string& challenge, const std::string& host,
                              const std::string& protocol) override;
    std::string NextResponse(const std::string& challenge, const std::string& host,
                             const std::string& protocol) override;
    // A provider is assigned and the token is not empty.
    bool IsReady() override;
    // The client response in its wire bytes, one character per byte.
    virtual std::string ClientResponse(const std::string& host) const = 0;

protected:
    // What the client answers to an error challenge.
    virtual std::string ErrorAnswer() const = 0;
    // The user name and token as their UTF-8 bytes, one character per byte.
    std::string WireUser() const;
    std::string WireToken() const;

private:
    std::string AnswerError(const std::string& challenge);

    uint16_t m_port = 25;
    bool m_ran = false;
    TLpOAuthStatus m_errorStatus;
};

// C: AUTH OAUTHBEARER base64("n,a=<user>,^Ahost=<host>^Aport=<port>^Aauth=Bearer <token>^A^A")
class TLpSASLOAuthBearer : public TLpSASLOAuthBase {
public:
    std::string MechanismName() const override { return "OAUTHBEARER"; }
    std::string ClientResponse(const std::string& host) const override;

protected:
    // RFC 7628, 3.2.3: a single ^A ends the exchange; the server then sends its failure.
    std::string ErrorAnswer() const override { return "\x01"; }
};

// C: AUTH XOAUTH2 base64("user=<user>^Aauth=Bearer <token>^A^A")
class TLpSASLXOAuth2 : public TLpSASLOAuthBase {
public:
    // The form needs the account name as well as the token.
    bool IsReady() override;
    std::string MechanismName() const override { return "XOAUTH2"; }
    std::string ClientResponse(const std::string& host) const override;

protected:
    // An empty line, as both documents of the form say.
    std::string ErrorAnswer() const override { return std::string(); }
};

}  // namespace larkpost
