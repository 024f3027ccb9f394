#include "app/SendWorkflow.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>

#include "app/Conversions.h"
#include "app/PasswordCommand.h"
#include "app/RunState.h"
#include "app/Shell.h"
#include "app/Switches.h"
#include "app/VersionInfo.h"
#include "mail/Message.h"
#include "net/Exceptions.h"
#include "platform/Paths.h"

namespace larkpost {

namespace {

// Reply texts arrive with every line followed by CR LF, and OpenSSL ends its cipher description
// with a line feed; the activity log holds one line per event, so a break at the end goes and
// breaks inside become spaces.
std::string OneLogLine(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    std::string out;
    out.reserve(end);
    for (size_t i = 0; i < end; ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < end && text[i + 1] == '\n') continue;
        out += (c == '\r' || c == '\n') ? ' ' : c;
    }
    return out;
}

// Seconds to milliseconds, held within an int so a huge setting means "very long", not a
// wrapped negative number.
int SecondsToMilliseconds(int seconds) {
    const long long ms = static_cast<long long>(seconds) * 1000;
    if (ms > INT_MAX) return INT_MAX;
    if (ms < INT_MIN) return INT_MIN;
    return static_cast<int>(ms);
}

}  // namespace

std::string MailAgentFor(const std::string& field) {
    return field.empty() ? "Larkpost " + GetVersionText() : field;
}

std::string HeloNameFor(const std::string& field) {
    return field.empty() ? "Larkpostv" + GetVersionNumber() : field;
}

TLpSendWorkflow::TLpSendWorkflow(TLpShell& shell) : m_shell(shell) {
    TLpSSLIOHandlerSocketOpenSSL& tls = LpSSLIOHandlerSocketOpenSSL1;
    tls.SetDestination(":25");
    tls.SetPort(25);
    tls.SetDefaultPort(0);
    tls.SetMaxLineAction(maException);
    tls.SetIntercept(&m_shell.LpLogFile1);
    tls.SSLOptions().SetMode(sslmUnassigned);
    tls.SSLOptions().SetVerifyMode({});
    tls.SSLOptions().SetVerifyDepth(0);
    tls.OnStatus = [this](TLpComponent* s, TLpStatus st, const std::string& text) {
        LpSSLIOHandlerSocketOpenSSL1Status(s, st, text);
    };
    tls.OnStatusInfo = [this](const std::string& msg) { LpSSLIOHandlerSocketOpenSSL1StatusInfo(msg); };

    for (TLpSASLUserPass* m : std::initializer_list<TLpSASLUserPass*>{
             &LpSASLPlain1, &LpSASLLogin1, &LpSASLOTP1, &LpSASLSKey1, &LpSASLCRAMMD51,
             &LpSASLCRAMSHA11, &LpSASLDigest1, &LpSASLXOAuth21, &LpSASLOAuthBearer1})
        m->SetUserPassProvider(&LpUserPassProvider1);

    // As the window definition loads it: the TLS mode is taken as it stands and checked against
    // the handler once everything is in place.
    TLpSMTP& smtp = LpSMTP1;
    smtp.BeginLoading();
    smtp.SetUseTLS(utUseExplicitTLS);
    smtp.SetIntercept(&m_shell.LpLogFile1);
    smtp.SetIOHandler(&tls);
    for (TLpSASL* m : std::initializer_list<TLpSASL*>{
             &LpSASLAnonymous1, &LpSASLPlain1, &LpSASLLogin1, &LpSASLOTP1, &LpSASLSKey1,
             &LpSASLCRAMMD51, &LpSASLCRAMSHA11, &LpSASLDigest1})
        smtp.SASLMechanisms().Add(m);
    smtp.OAuthMechanisms().Add(&LpSASLXOAuth21);
    smtp.OAuthMechanisms().Add(&LpSASLOAuthBearer1);
    smtp.Loaded();
    smtp.OnStatus = [this](TLpComponent* s, TLpStatus st, const std::string& text) {
        LpSMTP1Status(s, st, text);
    };
    smtp.OnConnected = [this](TLpBaseComponent* s) { LpSMTP1Connected(s); };
    smtp.OnDisconnected = [this](TLpBaseComponent* s) { LpSMTP1Disconnected(s); };
    smtp.OnFailedRecipient = [this](TLpBaseComponent* s, const std::string& address,
                                    const std::string& code, const std::string& text,
                                    bool& goOn) { LpSMTP1FailedRecipient(s, address, code, text, goOn); };

    m_shell.SendMsgClick = [this] { SendMsgClick(); };
}

TLpSendWorkflow::~TLpSendWorkflow() {
    m_shell.SendMsgClick = nullptr;
    // The process is ending: no handler may reach a shell that is going away, and a peer left
    // over from a failed send gets no QUIT.
    LpSMTP1.OnStatus = nullptr;
    LpSMTP1.OnConnected = nullptr;
    LpSMTP1.OnDisconnected = nullptr;
    LpSSLIOHandlerSocketOpenSSL1.OnStatus = nullptr;
    LpSSLIOHandlerSocketOpenSSL1.OnStatusInfo = nullptr;
    try {
        LpSMTP1.CloseConnection(false);
    } catch (...) {
    }
}

void TLpSendWorkflow::SendMsgClick() {
    m_shell.ActivityLog.AddLine("");
    // Outside the error handling below: a failure here is not a failed send.
    if (LpSMTP1.IsConnected()) LpSMTP1.CloseConnection(true);

    try {
        m_shell.Windows().SetBusyCursor(true);
        ConfigureClient();
        LpSMTP1.EstablishConnection();
        // A server that hangs up right after its hello has taken no message: that is a failed
        // send, not a quiet one that a script would count as delivered.
        if (!LpSMTP1.IsConnected()) throw ELpConnClosedGracefully("Connection Closed Gracefully.");
        SendOneMessage();
    } catch (const std::exception& e) {
        m_shell.Windows().SetBusyCursor(false);
        RunState.ReturnCode = 1;
        m_shell.AppException(e);
    } catch (...) {
        m_shell.Windows().SetBusyCursor(false);
        RunState.ReturnCode = 1;
        m_shell.AppException(ELpException("Unknown exception"));
    }
}

void TLpSendWorkflow::ConfigureClient() {
    const TSendSettings& s = m_shell.SendSettings;
    LpSMTP1.SetMailAgent(MailAgentFor(s.MailAgent()));
    LpSMTP1.SetHeloName(HeloNameFor(s.HeloName()));
    LpSMTP1.SetHost(s.Host());
    const int auth = s.AuthType();
    LpSMTP1.SetAuthType(auth == kAuthUserPass ? satDefault
                        : auth == kAuthSASL   ? satSASL
                        : auth == kAuthOAuth2 ? satOAuth2
                                              : satNone);
    LpUserPassProvider1.SetUsername(s.UserID());
    LpUserPassProvider1.SetPassword(s.Password());
    LpSMTP1.SetUsername(s.UserID());
    LpSMTP1.SetPassword(s.Password());
    const auto port = static_cast<uint16_t>(StrToInt(s.Port()));
    ConfigureConnectionSecurity(port);
    LpSMTP1.SetPort(port);
    LpSMTP1.SetReadTimeout(SecondsToMilliseconds(StrToInt(s.Timeout())));
    if (UsesPasswordCommand(s, m_shell.SwitchValues)) {
        // Given to this send only: the settings keep what they hold, so saving them never
        // writes the command's secret into the settings file.
        const std::string password = RunPasswordCommand(s.PasswordCommand(), StrToInt(s.Timeout()));
        LpUserPassProvider1.SetPassword(password);
        LpSMTP1.SetPassword(password);
        m_shell.ActivityLog.Add(" Password taken from the password command.");
    }
}

void TLpSendWorkflow::ConfigureConnectionSecurity(uint16_t port) {
    const TSendSettings& s = m_shell.SendSettings;
    const int mode = EffectiveUseTLS(s.UseTLS(), port);
    // Port 465 has meant TLS from the first byte since RFC 8314; a plain greeting would only
    // time out there. Said in the log, so that nobody wonders where the encryption came from.
    if (s.UseTLS() == kUseTLSNotChosen && mode == kUseTLSImplicit)
        m_shell.ActivityLog.Add(" Port 465 and no connection security chosen: using implicit TLS "
                                "(encrypted from the first byte, RFC 8314).");
    // Setting the mode may move the port between 25 and 465; the caller sets the port after it.
    LpSMTP1.SetUseTLS(static_cast<TLpUseTLS>(mode));

    std::string pin;
    if (!s.CertificateFingerprint().empty() &&
        !NormalizeSha256Fingerprint(s.CertificateFingerprint(), pin)) {
        throw ELpConvertError("The certificate fingerprint \"" + s.CertificateFingerprint() +
                              "\" is no SHA-256 fingerprint: 64 hexadecimal digits are expected "
                              "(colons and a \"sha256:\" prefix may stand with them).");
    }
    TLpSSLOptions& options = LpSSLIOHandlerSocketOpenSSL1.SSLOptions();
    options.SetVerifyServerCertificate(s.VerifyCertificate());
    options.SetCAFile(s.VerifyCertificate() ? ExpandEnvVars(s.CAFile()) : std::string());
    options.SetCertificateFingerprint(pin);
}

void TLpSendWorkflow::SendOneMessage() {
    const TSendSettings& s = m_shell.SendSettings;
    {
        // Freed with its parts when this block is left, also when building or submitting fails.
        auto message = std::make_unique<TLpMessage>();
        message->ClearMessage();
        message->SetConvertPreamble(false);
        message->SetEncoding(meMIME);
        message->SetCharSet("utf-8");
        message->SetContentTransferEncoding("8bit");
        message->SetContentType("multipart/mixed");
        message->SetSubject(s.Subject());
        message->SetDate(Clock());
        message->From().SetName(s.FromName());
        message->From().SetAddress(s.FromAddr());
        message->Recipients().ParseAddressList(s.To());
        message->CCList().ParseAddressList(s.Cc());
        message->BccList().ParseAddressList(s.Bcc());
        message->ReplyTo().ParseAddressList(s.ReplyTo());

        // No format selected (a run with /NOS and no /TYPE): the body the user gave is sent as
        // text rather than dropped, as the settings file and /TYPE fall back to text too.
        const int contentType = s.ContentType() == kContentTypeHtml ? kContentTypeHtml : kContentTypeText;
        TLpText& body = message->MessageParts().Add<TLpText>(s.Body());
        body.SetContentType(contentType == kContentTypeHtml ? "text/html; charset=UTF-8"
                                                            : "text/plain; charset=UTF-8");

        for (const std::string& path : s.Files()) {
            if (FileExists(path)) message->MessageParts().Add<TLpAttachmentFile>(path);
        }

        LpSMTP1.SubmitMessage(*message);
    }
    LpSMTP1.CloseConnection(true);
    m_shell.ActivityLog.Add(" Message sent successfully.");
    SMTPSuccess();
}

void TLpSendWorkflow::SMTPSuccess() {
    if (RunState.Interactive) m_shell.Windows().ShowInformation("Message sent successfully.");
    RunState.ReturnCode = 0;
}

void TLpSendWorkflow::LpSMTP1Connected(TLpBaseComponent*) {
    m_shell.ActivityLog.Add(" SMTP connection to " + LpSMTP1.Host() + " successful");
}

void TLpSendWorkflow::LpSMTP1Disconnected(TLpBaseComponent*) {
    m_shell.ActivityLog.Add(" SMTP disconnected from " + LpSMTP1.Host());
}

void TLpSendWorkflow::LpSMTP1FailedRecipient(TLpBaseComponent*, const std::string&,
                                             const std::string&, const std::string& AText,
                                             bool&) {
    // VContinue stays as the client preset it: the other recipients still get the message.
    m_shell.ActivityLog.Add(" " + OneLogLine(AText));
}

void TLpSendWorkflow::LpSMTP1Status(TLpComponent*, TLpStatus AStatus,
                                    const std::string& AStatusText) {
    m_shell.ActivityLog.Add(" " + OneLogLine(AStatusText));
    m_shell.Windows().SetStatusText(AStatusText);
    if (AStatus == hsDisconnected) m_shell.Windows().SetBusyCursor(false);
}

void TLpSendWorkflow::LpSSLIOHandlerSocketOpenSSL1Status(TLpComponent*, TLpStatus,
                                                         const std::string& AStatusText) {
    m_shell.ActivityLog.Add(" " + OneLogLine(AStatusText));
}

void TLpSendWorkflow::LpSSLIOHandlerSocketOpenSSL1StatusInfo(const std::string& AMsg) {
    m_shell.ActivityLog.Add(" " + OneLogLine(AMsg));
}

}  // namespace larkpost
