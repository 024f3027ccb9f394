#include "app/SendWorkflow.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <iostream>
#include <memory>
#include <thread>

#include "app/Conversions.h"
#include "app/PasswordCommand.h"
#include "app/RunState.h"
#include "app/Shell.h"
#include "app/Switches.h"
#include "app/VersionInfo.h"
#include "mail/Message.h"
#include "net/Exceptions.h"
#include "net/Reply.h"
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

// Line feeds become spaces and carriage returns full stops, as in the exception lines.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n') c = ' ';
    for (char& c : text)
        if (c == '\r') c = '.';
    return text;
}

std::string SecondsText(int seconds) {
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// The text of a failure for a one-line message, without the blanks a reply's line end leaves.
std::string Reason(const std::exception& e) {
    const auto* own = dynamic_cast<const ELpException*>(&e);
    std::string text = OneLine(own ? own->Message() : e.what());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Socket errors that a later try may not meet: the network or the server was unreachable,
// busy or went away. A name that does not exist, a bad address or a local fault stays.
bool IsTransientSocketError(int code) {
    switch (code) {
        case 10050:  // network down
        case 10051:  // network unreachable
        case 10052:  // network reset
        case 10053:  // connection aborted
        case 10054:  // connection reset
        case 10055:  // no buffer space
        case 10058:  // sending side shut down
        case 10060:  // timed out
        case 10061:  // refused
        case 10064:  // host down
        case 10065:  // host unreachable
        case 11002:  // name server busy: try again
            return true;
        default:
            return false;
    }
}

// Ctrl+C in an unattended run cancels the send; a second one ends the program the usual way.
std::atomic<TLpSendWorkflow*> g_interruptTarget{nullptr};

extern "C" void OnInterrupt(int) {
    TLpSendWorkflow* workflow = g_interruptTarget.exchange(nullptr);
    if (!workflow) {
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
        return;
    }
    workflow->CancelSend();
}

class TInterruptGuard {
public:
    TInterruptGuard(TLpSendWorkflow& workflow, bool active) {
        if (!active) return;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGINT, &action, &m_previous) != 0) return;
        // A job started with Ctrl+C ignored (in the background of a script) keeps it ignored.
        if (m_previous.sa_handler == SIG_IGN) {
            sigaction(SIGINT, &m_previous, nullptr);
            return;
        }
        g_interruptTarget = &workflow;
        m_active = true;
    }
    ~TInterruptGuard() {
        if (!m_active) return;
        g_interruptTarget = nullptr;
        sigaction(SIGINT, &m_previous, nullptr);
    }
    TInterruptGuard(const TInterruptGuard&) = delete;
    TInterruptGuard& operator=(const TInterruptGuard&) = delete;

private:
    struct sigaction m_previous {};
    bool m_active = false;
};

}  // namespace

bool IsTransientFailure(const std::exception& e) {
    if (const auto* reply = dynamic_cast<const ELpReplyRFCError*>(&e))
        return reply->ReplyCode() >= 400 && reply->ReplyCode() <= 499;
    if (const auto* socket = dynamic_cast<const ELpSocketError*>(&e))
        return IsTransientSocketError(socket->ErrorCode());
    return dynamic_cast<const ELpReadTimeout*>(&e) || dynamic_cast<const ELpConnectTimeout*>(&e) ||
           dynamic_cast<const ELpConnClosedGracefully*>(&e) ||
           dynamic_cast<const ELpClosedSocket*>(&e);
}

int RetryWaitSeconds(int firstWait, int retry) {
    constexpr int kMaxWait = 3600;
    long long wait = std::max(firstWait, 0);
    for (int i = 1; i < retry && wait < kMaxWait; ++i) wait *= 2;
    return static_cast<int>(std::min<long long>(wait, kMaxWait));
}

std::string MailAgentFor(const std::string& field) {
    return field.empty() ? "Larkpost " + GetVersionText() : field;
}

std::string HeloNameFor(const std::string& field) {
    return field.empty() ? "Larkpostv" + GetVersionNumber() : field;
}

TLpSendWorkflow::TLpSendWorkflow(TLpShell& shell)
    : m_shell(shell),
      m_meter([this](const TLpSendProgress& p) { m_shell.Windows().ShowProgress(p); }) {
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

    // Progress of the message after DATA, from the handler's write progress; the cancel takes
    // effect at the next chunk even when the socket still accepts data.
    smtp.OnWorkBegin = [this](TLpComponent*, TLpWorkMode mode, int64_t) {
        if (mode != wmWrite) return;
        m_meter.SetInterval(ProgressInterval);
        m_meter.Begin(m_expectedSize);
    };
    smtp.OnWork = [this](TLpComponent*, TLpWorkMode mode, int64_t count) {
        if (mode != wmWrite) return;
        ThrowIfCancelled();
        m_meter.Update(count);
    };
    smtp.OnWorkEnd = [this](TLpComponent*, TLpWorkMode mode) {
        if (mode != wmWrite) return;
        m_dataEnded = LpSMTP1.DataTerminated();
        m_meter.End(m_dataEnded);
    };
    smtp.OnSocketAllocated = [this](TLpBaseComponent*) { RememberSocket(); };

    m_shell.SendMsgClick = [this] { SendMsgClick(); };
    m_shell.CancelSend = [this] { CancelSend(); };
}

TLpSendWorkflow::~TLpSendWorkflow() {
    m_shell.SendMsgClick = nullptr;
    m_shell.CancelSend = nullptr;
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

    m_cancelled = false;
    m_sending = true;
    TInterruptGuard interrupt(*this, !RunState.Interactive);
    try {
        m_stage = stConfigure;
        m_shell.Windows().SetBusyCursor(true);
        ConfigureClient();
        const int attempts = m_retries + 1;
        for (int attempt = 1;; ++attempt) {
            if (m_retries > 0)
                m_shell.ActivityLog.Add(" Attempt " + std::to_string(attempt) + " of " +
                                        std::to_string(attempts) + ".");
            try {
                Attempt();
                break;
            } catch (const std::exception& e) {
                EndProgress();
                if (m_cancelled) throw;
                // With retries asked for, a message the server may have is never sent again,
                // and the error says why.
                if (m_retries > 0) ThrowIfDeliveryUncertain(e);
                if (attempt >= attempts || !IsTransientFailure(e)) throw;
                RunState.ReturnCode = 1;
                m_shell.LogException(e);
                CloseAfterFailure(e);
                const int wait = RetryWaitSeconds(m_retryWait, attempt);
                const std::string next = "attempt " + std::to_string(attempt + 1) + " of " +
                                         std::to_string(attempts);
                const std::string waiting = " Waiting " + SecondsText(wait) + " before " + next + ".";
                m_shell.ActivityLog.Add(waiting);
                m_shell.Windows().SetStatusText(waiting.substr(1));
                if (!RunState.Interactive)
                    WarnOnStderr(Reason(e) + " (attempt " + std::to_string(attempt) + " of " +
                                 std::to_string(attempts) + "; next attempt in " +
                                 SecondsText(wait) + ")");
                WaitBeforeRetry(wait);
                m_shell.Windows().SetBusyCursor(true);
            }
        }
    } catch (const std::exception& e) {
        EndProgress();
        if (m_cancelled) {
            EndCancelled();
        } else {
            m_shell.Windows().SetBusyCursor(false);
            RunState.ReturnCode = 1;
            m_shell.FailureContext = FailureContext(e);
            m_shell.AppException(e);
            m_shell.FailureContext.clear();
        }
    } catch (...) {
        EndProgress();
        m_shell.Windows().SetBusyCursor(false);
        RunState.ReturnCode = 1;
        m_shell.AppException(ELpException("Unknown exception"));
    }
    m_socket = -1;
    m_sending = false;
}

void TLpSendWorkflow::CancelSend() noexcept {
    if (!m_sending) return;
    m_cancelled = true;
    // Blocked reads and writes return at once; the server sees the connection end, never an
    // end-of-data line that was not yet written.
    ShutDownSocket();
}

void TLpSendWorkflow::ShutDownSocket() const noexcept {
    // The connection may have closed its socket meanwhile and the number gone to another file:
    // only the socket noted is shut down (fstat is safe in a signal handler).
    const int socket = m_socket.load();
    struct stat info {};
    if (socket < 0 || ::fstat(socket, &info) != 0 || !S_ISSOCK(info.st_mode) ||
        info.st_ino != m_socketInode.load())
        return;
    ::shutdown(socket, SHUT_RDWR);
}

void TLpSendWorkflow::Attempt() {
    m_dataEnded = false;
    ThrowIfCancelled();
    m_stage = stConnect;
    LpSMTP1.EstablishConnection();
    // A server that hangs up right after its hello has taken no message: that is a failed
    // send, not a quiet one that a script would count as delivered.
    if (!LpSMTP1.IsConnected()) throw ELpConnClosedGracefully("Connection Closed Gracefully.");
    m_stage = stSession;
    ThrowIfCancelled();
    SendOneMessage();
}

void TLpSendWorkflow::ThrowIfDeliveryUncertain(const std::exception& e) {
    const bool refused = dynamic_cast<const ELpReplyRFCError*>(&e) != nullptr;
    // The server had the whole message when the connection failed; a refusal is an answer.
    if (m_dataEnded && !refused)
        throw ELpDeliveryUncertain(
            "The connection to " + LpSMTP1.Host() +
            " failed after the end of the message was sent and before the server's reply (" +
            Reason(e) + "); the message may have been delivered, so it is not sent again.");
}

void TLpSendWorkflow::CloseAfterFailure(const std::exception& e) {
    m_socket = -1;
    // A server that answered gets its QUIT; one that is gone or silent is not waited for.
    const bool answered = dynamic_cast<const ELpReplyRFCError*>(&e) != nullptr;
    try {
        LpSMTP1.CloseConnection(answered);
    } catch (...) {
        // The next attempt starts from a new connection whatever this one did.
    }
}

void TLpSendWorkflow::WaitBeforeRetry(int seconds) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + seconds * RetryWaitUnit;
    for (;;) {
        ThrowIfCancelled();
        const auto now = steady_clock::now();
        if (now >= end) return;
        // Short slices, so a cancel (also from a signal handler) ends the wait at once.
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, milliseconds(50)));
    }
}

void TLpSendWorkflow::ThrowIfCancelled() const {
    if (m_cancelled) throw ELpSendCancelled();
}

void TLpSendWorkflow::EndCancelled() {
    m_socket = -1;
    try {
        LpSMTP1.CloseConnection(false);
    } catch (...) {
    }
    m_shell.Windows().SetBusyCursor(false);
    RunState.ReturnCode = 1;
    const ELpSendCancelled cancelled;
    m_shell.ActivityLog.Add(std::string(" ") + cancelled.what());
    m_shell.Windows().SetStatusText(cancelled.what());
    if (!RunState.Interactive) std::cerr << "larkpost: " << cancelled.what() << std::endl;
}

std::string TLpSendWorkflow::FailureContext(const std::exception& e) const {
    // A reason that names the server already says with whom.
    const auto* own = dynamic_cast<const ELpException*>(&e);
    const std::string reason = own ? own->Message() : e.what();
    if (!LpSMTP1.Host().empty() && reason.find(LpSMTP1.Host()) != std::string::npos) return {};
    const std::string peer = LpSMTP1.Host() + " port " + std::to_string(LpSMTP1.Port());
    switch (m_stage) {
        case stConfigure:
            return {};  // a setting that cannot be used names itself
        case stConnect:
            return "cannot connect to " + peer;
        case stGreeting:
            return "greeting from " + peer + " failed";
        case stSession:
            break;
    }
    if (LpSMTP1.LoggingIn()) return "login as " + LpUserPassProvider1.Username() + " failed";
    if (dynamic_cast<const ELpTLSClientError*>(&e) != nullptr) return "TLS with " + peer + " failed";
    return "sending through " + peer + " failed";
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
    m_retries = std::max(StrToInt(s.Retries()), 0);
    m_retryWait = std::max(StrToInt(s.RetryWait()), 0);
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
            if (FileExists(path)) {
                message->MessageParts().Add<TLpAttachmentFile>(path);
            } else {
                // Still skipped, but a user who named the file hears that it did not go.
                const std::string warning = "attachment " + path + " not found (skipped)";
                m_shell.ActivityLog.Add(" Attachment " + path + " not found (skipped)");
                WarnOnStderr(warning);
            }
        }

        std::vector<std::string> attachments;
        for (const std::string& path : s.Files())
            if (FileExists(path)) attachments.push_back(path);
        const size_t headerText = s.FromName().size() + s.FromAddr().size() + s.To().size() +
                                  s.Cc().size() + s.ReplyTo().size() + s.Subject().size() +
                                  LpSMTP1.MailAgent().size();
        m_expectedSize =
            ExpectedMessageSize(s.Body(), attachments, static_cast<int64_t>(headerText));

        LpSMTP1.SubmitMessage(*message);
    }
    LpSMTP1.CloseConnection(true);
    m_socket = -1;
    m_shell.ActivityLog.Add(" Message sent successfully.");
    SMTPSuccess();
}

void TLpSendWorkflow::SMTPSuccess() {
    if (RunState.Interactive) m_shell.Windows().ShowInformation("Message sent successfully.");
    RunState.ReturnCode = 0;
}

void TLpSendWorkflow::LpSMTP1Connected(TLpBaseComponent*) {
    if (m_stage == stConnect) m_stage = stGreeting;
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

void TLpSendWorkflow::RememberSocket() {
    TLpSocketHandle* binding = LpSSLIOHandlerSocketOpenSSL1.Binding();
    const int socket = binding ? binding->Handle() : -1;
    struct stat info {};
    m_socket = -1;
    if (socket < 0 || ::fstat(socket, &info) != 0) return;
    m_socketInode = info.st_ino;
    m_socket = socket;
    // A cancel that came while there was no socket yet.
    if (m_cancelled) ShutDownSocket();
}

void TLpSendWorkflow::LpSMTP1Status(TLpComponent*, TLpStatus AStatus,
                                    const std::string& AStatusText) {
    // The connection's socket, also when it was made without a word before.
    if (AStatus == hsConnected) RememberSocket();
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
