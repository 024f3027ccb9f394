// The SMTP client of one send: the dialogue of TLpSMTPBase plus the login, AUTH LOGIN or a SASL
// mechanism from the configured list (RFC 4954), and the X-Mailer header.
#pragma once

#include <string>

#include "smtp/SASLEntries.h"
#include "smtp/SMTPBase.h"

namespace larkpost {

enum TLpSMTPAuthenticationType {
    satNone = 0,
    satDefault = 1,  // AUTH LOGIN with Username and Password
    satSASL = 2,     // a mechanism of SASLMechanisms
    satOAuth2 = 3,   // an OAuth 2.0 access token through a mechanism of OAuthMechanisms
};

// The server lists neither OAUTHBEARER nor XOAUTH2.
class ELpSASLOAuthNotSupported : public ELpSASLError {
public:
    explicit ELpSASLOAuthNotSupported(const std::string& host)
        : ELpSASLError("Server " + host +
                       " doesn't support AUTH with an OAuth 2.0 token (OAUTHBEARER or XOAUTH2).") {}
    const char* ClassName() const noexcept override { return "ELpSASLOAuthNotSupported"; }
};

// No token, or XOAUTH2 alone offered and no user name for it.
class ELpSASLOAuthNotReady : public ELpSASLError {
public:
    using ELpSASLError::ELpSASLError;
    const char* ClassName() const noexcept override { return "ELpSASLOAuthNotReady"; }
};

// The server refused the token: a reply error like any other refusal (the 5xx of the exchange
// travels with it), whose message adds what the server's error challenge said.
class ELpSASLOAuthTokenRefused : public ELpSMTPReplyError {
public:
    using ELpSMTPReplyError::ELpSMTPReplyError;
    const char* ClassName() const noexcept override { return "ELpSASLOAuthTokenRefused"; }
};

class TLpSMTP : public TLpSMTPBase {
public:
    TLpSMTP();
    ~TLpSMTP() override;

    TLpSMTPAuthenticationType AuthType() const noexcept { return m_authType; }
    void SetAuthType(TLpSMTPAuthenticationType v) { m_authType = v; }
    // The credentials AUTH LOGIN sends (satSASL reads the mechanisms' shared provider instead).
    const std::string& Username() const noexcept { return m_username; }
    void SetUsername(const std::string& v) { m_username = v; }
    const std::string& Password() const noexcept { return m_password; }
    void SetPassword(const std::string& v) { m_password = v; }
    // With satDefault, send AUTH LOGIN only when the server lists LOGIN.
    bool ValidateAuthLoginCapability() const noexcept { return m_validateAuthLoginCapability; }
    void SetValidateAuthLoginCapability(bool v) { m_validateAuthLoginCapability = v; }
    // The ordered mechanisms for satSASL; the list is ours, the mechanisms are not.
    TLpSASLEntries& SASLMechanisms() noexcept { return m_saslMechanisms; }
    // The OAuth 2.0 mechanisms for satOAuth2, tried last configured first like SASLMechanisms;
    // kept apart so that a password is never offered as a bearer token under satSASL.
    TLpSASLEntries& OAuthMechanisms() noexcept { return m_oauthMechanisms; }
    // True once the login step has completed on the current connection.
    bool LoggedIn() const noexcept { return m_loggedIn; }
    // True from the first AUTH command until the login succeeded; left set when it failed, so
    // whoever reports the failure can say it was the login.
    bool LoggingIn() const noexcept { return m_loggingIn; }

    void EstablishConnection() override;
    void CloseConnection(bool notifyPeer = true) override;
    // LogIn (its result not examined: the send goes on either way), the X-Mailer header from
    // MailAgent, then the envelope and the data.
    void TransmitEnvelope(const std::string& reversePath, const TLpEMailAddressList& recipients,
                          TLpMessage& message) override;
    // STARTTLS as the mode asks, then the configured authentication; returns LoggedIn. Nothing
    // is sent when already logged in on this connection.
    virtual bool LogIn();

private:
    void LogInWithOAuth();

    TLpSMTPAuthenticationType m_authType = satDefault;
    std::string m_username;
    std::string m_password;
    bool m_validateAuthLoginCapability = true;
    TLpSASLEntries m_saslMechanisms;
    TLpSASLEntries m_oauthMechanisms;
    bool m_loggedIn = false;
    bool m_loggingIn = false;
};

}  // namespace larkpost
