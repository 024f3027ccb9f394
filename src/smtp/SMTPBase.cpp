// The SMTP dialogue of one send (RFC 5321), with STARTTLS (RFC 3207).
#include "smtp/SMTPBase.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include "mail/EMailAddress.h"
#include "mail/Message.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"

namespace larkpost {
namespace {

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string Trimmed(const std::string& text) {
    const auto isBlank = [](unsigned char c) { return c <= ' '; };
    auto first = std::find_if_not(text.begin(), text.end(), isBlank);
    auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string LocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) return name;
    utsname system{};
    if (uname(&system) == 0) return system.nodename;
    return std::string();
}

}  // namespace

TLpSMTPBase::TLpSMTPBase() {
    SetPort(PlainPort);
}

TLpSMTPBase::~TLpSMTPBase() = default;

std::unique_ptr<TLpReply> TLpSMTPBase::NewReply() const {
    return std::make_unique<TLpReplySMTP>();
}

TLpReplySMTP& TLpSMTPBase::SMTPReply() {
    return static_cast<TLpReplySMTP&>(LastReply());
}

TLpSSLIOHandlerSocketBase* TLpSMTPBase::TlsHandler() const {
    return dynamic_cast<TLpSSLIOHandlerSocketBase*>(m_ioHandler);
}

bool TLpSMTPBase::UsingTLSCapableHandler() const {
    return TlsHandler() != nullptr;
}

void TLpSMTPBase::SetUseTLS(TLpUseTLS value) {
    if (m_loading) {
        m_useTLS = value;
        return;
    }
    if (IsConnected()) throw ELpTLSClientCanNotSetWhileConnected();
    if (value != utNoTLSSupport && !UsingTLSCapableHandler())
        throw ELpTLSClientSSLIOHandlerRequred();
    if (value != m_useTLS) {
        // The port follows the mode only when it still holds the other mode's well-known port.
        if (value == utUseImplicitTLS && Port() == PlainPort) SetPort(ImplicitTlsPort);
        if (value != utUseImplicitTLS && Port() == ImplicitTlsPort) SetPort(PlainPort);
    }
    m_useTLS = value;
    if (value == utUseRequireTLS || value == utUseExplicitTLS) SetUseEhlo(true);
}

void TLpSMTPBase::SetIOHandler(TLpIOHandler* handler) {
    TLpExplicitTLSClient::SetIOHandler(handler);
    if (!m_loading && !UsingTLSCapableHandler()) m_useTLS = utNoTLSSupport;
}

void TLpSMTPBase::Loaded() {
    m_loading = false;
    if (!UsingTLSCapableHandler()) m_useTLS = utNoTLSSupport;
}

std::string TLpSMTPBase::HelloName() const {
    if (!m_heloName.empty()) return m_heloName;
    return LocalHostName();
}

bool TLpSMTPBase::HasExtension(const std::string& name) const {
    return std::any_of(m_serverExtensions.begin(), m_serverExtensions.end(),
                       [&](const std::string& line) { return EqualsIgnoringCase(line, name); });
}

bool TLpSMTPBase::SupportsTLS() const {
    return HasExtension("STARTTLS");
}

// C: <connect>              S: 220 <greeting>
// C: EHLO <name>            S: 250-<domain> / 250 <extension> ...
void TLpSMTPBase::EstablishConnection() {
    TLpSSLIOHandlerSocketBase* tls = TlsHandler();
    if (m_useTLS == utUseRequireTLS || m_useTLS == utUseExplicitTLS) {
        if (!tls) throw ELpTLSClientSSLIOHandlerRequred();
        tls->SetTlsActive(false);
    } else if (tls) {
        tls->SetTlsActive(m_useTLS == utUseImplicitTLS);
    }
    TLpExplicitTLSClient::EstablishConnection();
    try {
        AwaitReply(220);
        SendHello();
    } catch (...) {
        // Whoever failed to greet us properly gets no QUIT.
        try {
            CloseConnection(false);
        } catch (...) {
        }
        throw;
    }
}

void TLpSMTPBase::SendHello() {
    m_serverExtensions.clear();
    const std::string name = HelloName();
    if (m_useEhlo && IssueCommand("EHLO " + name, -1) == 250) {
        // The first line is the server's greeting, not an extension.
        m_serverExtensions = LastReply().Text();
        if (!m_serverExtensions.empty()) m_serverExtensions.erase(m_serverExtensions.begin());
        return;
    }
    // Servers that predate ESMTP answer EHLO with 500 or 502; any other refusal gets the same
    // second chance.
    IssueCommand("HELO " + name, 250);
}

// C: QUIT                   S: 221 <bye>
void TLpSMTPBase::NotifyPeerOfClose() {
    IssueCommand("QUIT", 221);
}

void TLpSMTPBase::CloseConnection(bool notifyPeer) {
    TLpExplicitTLSClient::CloseConnection(notifyPeer);
}

// C: STARTTLS              S: 220 Ready to start TLS
//    <handshake>           C: EHLO <name>
void TLpSMTPBase::UpgradeToTls() {
    TLpSSLIOHandlerSocketBase* tls = TlsHandler();
    if (!tls || m_useTLS == utNoTLSSupport || tls->TlsActive()) return;

    bool switching = false;  // the server said 220: no more plain-text commands from here
    const auto closeAfterFailure = [&]() {
        try {
            CloseConnection(!switching);
        } catch (...) {
        }
    };
    try {
        if (!SupportsTLS()) {
            bool goOn = m_useTLS != utUseRequireTLS;
            if (goOn && m_useTLS == utUseExplicitTLS && OnTLSNotAvailable)
                OnTLSNotAvailable(this, goOn);
            if (goOn) return;
            closeAfterFailure();
            throw ELpTLSClientTLSNotAvailable();
        }
        if (IssueCommand("STARTTLS", -1) != 220) {
            closeAfterFailure();
            throw ELpTLSClientTLSNegCmdFailed();
        }
        switching = true;
        // RFC 3207, 5: nothing received before the handshake may be taken for the server's
        // word inside TLS, nor may any command follow it in plain text.
        if (!m_ioHandler->InputBufferEmpty()) {
            closeAfterFailure();
            throw ELpTLSClientDataBeforeHandshake(Host());
        }
        try {
            tls->SetTlsActive(true);
        } catch (const ELpCertificateVerifyError&) {
            // Its own words name the host and the reason; the close follows below, without QUIT.
            throw;
        } catch (const std::exception& e) {
            closeAfterFailure();
            throw ELpTLSClientTLSHandShakeFailed(std::current_exception(), e.what());
        }
        // What the server listed before TLS no longer counts (RFC 3207, 4.2): ask again.
        SendHello();
    } catch (const ELpTLSClientError&) {
        throw;
    } catch (...) {
        closeAfterFailure();
        throw;
    }
}

void TLpSMTPBase::SubmitMessage(TLpMessage& message) {
    // Every copy gets its own RCPT, duplicates included: the server decides about those.
    TLpEMailAddressList recipients;
    recipients.AppendCopies(message.Recipients());
    recipients.AppendCopies(message.CCList());
    recipients.AppendCopies(message.BccList());

    std::string reversePath = Trimmed(message.Sender().Address());
    if (reversePath.empty()) reversePath = Trimmed(message.From().Address());
    TransmitEnvelope(reversePath, recipients, message);
}

bool TLpSMTPBase::ReportFailedRecipient(const std::string& address) {
    bool goOn = static_cast<bool>(OnFailedRecipient);
    if (OnFailedRecipient) {
        OnFailedRecipient(this, address, LastReply().Code(), LastReply().TextAsString(), goOn);
    }
    return goOn;
}

// C: MAIL FROM:<path>      S: 250
// C: RCPT TO:<address>     S: 250 / 251 (anything else refuses that recipient)
// C: DATA                  S: 354
// C: <message> .           S: 250
void TLpSMTPBase::TransmitEnvelope(const std::string& reversePath,
                                   const TLpEMailAddressList& recipients, TLpMessage& message) {
    m_dataTerminated = false;
    IssueCommand("MAIL FROM:<" + reversePath + ">", 250);
    try {
        std::size_t refused = 0;
        bool stopped = false;
        for (std::size_t i = 0; i < recipients.Count(); ++i) {
            const std::string& address = recipients.Items(i).Address();
            const int code = IssueCommand("RCPT TO:<" + address + ">", -1);
            if (code == 250 || code == 251) continue;
            ++refused;
            if (!ReportFailedRecipient(address)) {
                stopped = true;
                break;
            }
        }
        if (recipients.Count() > 0 && (stopped || refused == recipients.Count())) {
            LastReply().RaiseAsError();
        }
        IssueCommand("DATA", 354);
        // The message and its end-of-data line are one piece of write work, so a listener
        // sees the bytes of the message alone.
        BeginWork(wmWrite);
        try {
            WriteMessage(message);
            IOHandler()->WriteLine(".");
        } catch (...) {
            EndWork(wmWrite);
            throw;
        }
        m_dataTerminated = true;
        EndWork(wmWrite);
        AwaitReply(250);
    } catch (const ELpSMTPReplyError&) {
        // The transaction is abandoned so the connection can serve another one. Should RSET
        // itself fail, the server's refusal is still the reason worth reporting.
        try {
            IssueCommand("RSET", -1);
        } catch (...) {
        }
        throw;
    }
}

}  // namespace larkpost
