// The login of the SMTP client: AUTH LOGIN or SASL (RFC 4954), after STARTTLS (RFC 3207).
#include "smtp/SMTP.h"

#include <algorithm>

#include "mail/Message.h"
#include "net/LogBase.h"
#include "smtp/SASLOAuth.h"
#include "smtp/SASLText.h"

namespace larkpost {

TLpSMTP::TLpSMTP() = default;

TLpSMTP::~TLpSMTP() = default;

void TLpSMTP::EstablishConnection() {
    m_loggedIn = false;
    m_loggingIn = false;
    TLpSMTPBase::EstablishConnection();
}

void TLpSMTP::CloseConnection(bool notifyPeer) {
    try {
        TLpSMTPBase::CloseConnection(notifyPeer);
    } catch (...) {
        m_loggedIn = false;
        throw;
    }
    m_loggedIn = false;
}

// satDefault:
// C: AUTH LOGIN             S: 334 VXNlcm5hbWU6
// C: <base64 user name>     S: 334 UGFzc3dvcmQ6   (or 235: no password asked)
// C: <base64 password>      S: 235 <authenticated>
bool TLpSMTP::LogIn() {
    if (m_loggedIn) return true;
    UpgradeToTls();
    switch (m_authType) {
        case satNone:
            m_loggedIn = true;
            break;
        case satDefault: {
            if (m_username.empty()) break;
            if (m_validateAuthLoginCapability) {
                const auto mechanisms =
                    TLpSASLEntries::ReadAuthMechanisms(ServerExtensions(), "AUTH");
                if (std::find(mechanisms.begin(), mechanisms.end(), "LOGIN") == mechanisms.end()) {
                    return false;
                }
            }
            m_loggingIn = true;
            IssueCommand("AUTH LOGIN", 334);
            if (IssueCommand(Base64Encode(Latin1FromText(m_username)),
                             std::vector<int>{235, 334}) == 334) {
                IssueCommand(Base64Encode(Latin1FromText(m_password)), 235);
            }
            m_loggedIn = true;
            break;
        }
        case satSASL:
            m_loggingIn = true;
            m_saslMechanisms.AuthenticateWithList("AUTH", Host(), "smtp", {"235"}, {"334"}, *this,
                                                  ServerExtensions(), "AUTH", true);
            m_loggedIn = true;
            break;
        case satOAuth2:
            LogInWithOAuth();
            m_loggedIn = true;
            break;
    }
    if (m_loggedIn) m_loggingIn = false;
    return m_loggedIn;
}

// C: AUTH OAUTHBEARER <base64 client response>   S: 235 <authenticated>
//                                           or   S: 334 <base64 JSON error status>
// C: AQ==  (XOAUTH2: an empty line)               S: 535 5.7.8 <refused>
void TLpSMTP::LogInWithOAuth() {
    // The order they are tried in: the last configured first.
    std::vector<TLpSASLOAuthBase*> mechanisms;
    for (int i = m_oauthMechanisms.Count(); i-- > 0;) {
        if (auto* m = dynamic_cast<TLpSASLOAuthBase*>(m_oauthMechanisms.Items(i).SASL())) {
            m->Reset();
            m->SetPort(Port());
            mechanisms.push_back(m);
        }
    }
    // A bearer token works for anyone who holds it, until it expires: the connection log shows
    // the AUTH lines with a mark in its place.
    for (TLpConnectionIntercept* i = Intercept(); i != nullptr; i = i->Intercept()) {
        auto* log = dynamic_cast<TLpLogBase*>(i);
        if (log == nullptr) continue;
        log->ClearHiddenTexts();
        for (TLpSASLOAuthBase* m : mechanisms) {
            if (m->IsReady()) log->HideSentText(Base64Encode(Latin1FromText(m->ClientResponse(Host()))));
        }
    }
    try {
        m_oauthMechanisms.AuthenticateWithList("AUTH", Host(), "smtp", {"235"}, {"334"}, *this,
                                               ServerExtensions(), "AUTH", true);
    } catch (const ELpSASLNotSupported&) {
        throw ELpSASLOAuthNotSupported(Host());
    } catch (const ELpSASLNotReady&) {
        const bool noToken = std::any_of(mechanisms.begin(), mechanisms.end(), [](auto* m) {
            return m->UserPassProvider() != nullptr && m->UserPassProvider()->Password().empty();
        });
        if (noToken) {
            throw ELpSASLOAuthNotReady("No OAuth 2.0 access token to log in to " + Host() +
                                       ": the password is empty.");
        }
        throw ELpSASLOAuthNotReady("Server " + Host() +
                                   " offers OAuth 2.0 through XOAUTH2 only, which needs a user name.");
    } catch (const ELpSMTPReplyError& e) {
        // The reply of the first mechanism that ran is the one reported; so is its status.
        const auto first = std::find_if(mechanisms.begin(), mechanisms.end(),
                                        [](auto* m) { return m->Ran(); });
        std::string status;
        if (first != mechanisms.end() && !(*first)->ErrorStatus().Status.empty()) {
            const TLpOAuthStatus& s = (*first)->ErrorStatus();
            status = " (status " + s.Status + (s.Scope.empty() ? "" : ", scope " + s.Scope) + ")";
        }
        std::string reply = std::to_string(e.ReplyCode());
        if (e.EnhancedCode().Available()) reply += " " + e.EnhancedCode().ReplyAsStr();
        const std::string text = e.what();
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos) end = text.size();
            reply += " " + text.substr(start, end - start);
            start = end + 2;
        }
        throw ELpSASLOAuthTokenRefused("OAuth 2.0 token refused by " + Host() + status + ": " + reply,
                                       e.ReplyCode(), e.EnhancedCode());
    }
}

void TLpSMTP::TransmitEnvelope(const std::string& reversePath,
                               const TLpEMailAddressList& recipients, TLpMessage& message) {
    // Without authentication the server may still relay (or deliver locally): let it decide.
    LogIn();
    message.ExtraHeaders().SetHeader("X-Mailer", MailAgent());
    TLpSMTPBase::TransmitEnvelope(reversePath, recipients, message);
}

}  // namespace larkpost
