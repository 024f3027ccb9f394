// The login of the SMTP client: AUTH LOGIN or SASL (RFC 4954), after STARTTLS (RFC 3207).
#include "smtp/SMTP.h"

#include <algorithm>

#include "mail/Message.h"
#include "smtp/SASLText.h"

namespace larkpost {

TLpSMTP::TLpSMTP() = default;

TLpSMTP::~TLpSMTP() = default;

void TLpSMTP::EstablishConnection() {
    m_loggedIn = false;
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
            IssueCommand("AUTH LOGIN", 334);
            if (IssueCommand(Base64Encode(Latin1FromText(m_username)),
                             std::vector<int>{235, 334}) == 334) {
                IssueCommand(Base64Encode(Latin1FromText(m_password)), 235);
            }
            m_loggedIn = true;
            break;
        }
        case satSASL:
            m_saslMechanisms.AuthenticateWithList("AUTH", Host(), "smtp", {"235"}, {"334"}, *this,
                                                  ServerExtensions(), "AUTH", true);
            m_loggedIn = true;
            break;
    }
    return m_loggedIn;
}

void TLpSMTP::TransmitEnvelope(const std::string& reversePath,
                               const TLpEMailAddressList& recipients, TLpMessage& message) {
    // Without authentication the server may still relay (or deliver locally): let it decide.
    LogIn();
    message.ExtraHeaders().SetHeader("X-Mailer", MailAgent());
    TLpSMTPBase::TransmitEnvelope(reversePath, recipients, message);
}

}  // namespace larkpost
