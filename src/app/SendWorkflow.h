// The send workflow: the long-lived send components of the main window (the SMTP client, its TLS
// handler, the SASL mechanisms and their shared credentials), one send from SendSettings to the
// activity log and the return code, and the handlers that turn progress into log lines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "app/SendProgress.h"
#include "net/Component.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "smtp/SASLMechanisms.h"
#include "smtp/SASLOAuth.h"
#include "smtp/SMTP.h"
#include "smtp/UserPassProvider.h"

namespace larkpost {

class TLpShell;

class TLpSendWorkflow {
public:
    // Creates the components with their fixed configuration, attaches the shell's connection log
    // LpLogFile1 and makes shell.SendMsgClick run this workflow. The shell must outlive it.
    explicit TLpSendWorkflow(TLpShell& shell);
    // Lets go of shell.SendMsgClick; a connection still open is closed without QUIT.
    ~TLpSendWorkflow();
    TLpSendWorkflow(const TLpSendWorkflow&) = delete;
    TLpSendWorkflow& operator=(const TLpSendWorkflow&) = delete;

    // One send. A failure while closing a connection an earlier send left open escapes to the
    // caller (the event loop passes it to AppException); every later failure sets
    // RunState.ReturnCode to 1 and goes to AppException here.
    void SendMsgClick();
    // The success ending: the box when interactive, ReturnCode 0.
    void SMTPSuccess();
    // Stops the send under way at once: its connection is shut down (so the server never sees
    // the end-of-data line of a message not yet whole), a wait for a retry ends, and the send
    // ends with " Send cancelled by the user." and ReturnCode 1, without an error box. Safe from
    // any thread and from a signal handler; nothing happens when no send runs.
    void CancelSend() noexcept;

    // Event handlers; each appends exactly one activity-log line.
    void LpSMTP1Connected(TLpBaseComponent* Sender);
    void LpSMTP1Disconnected(TLpBaseComponent* Sender);
    void LpSMTP1FailedRecipient(TLpBaseComponent* Sender, const std::string& AAddress,
                                const std::string& ACode, const std::string& AText,
                                bool& VContinue);
    void LpSMTP1Status(TLpComponent* ASender, TLpStatus AStatus, const std::string& AStatusText);
    void LpSSLIOHandlerSocketOpenSSL1Status(TLpComponent* ASender, TLpStatus AStatus,
                                            const std::string& AStatusText);
    void LpSSLIOHandlerSocketOpenSSL1StatusInfo(const std::string& AMsg);

    // Declared in destruction order reversed: the client goes first (it may still hold the
    // handler), the mechanisms before the provider they read.
    TLpUserPassProvider LpUserPassProvider1;
    TLpSASLAnonymous LpSASLAnonymous1;
    TLpSASLPlain LpSASLPlain1;
    TLpSASLLogin LpSASLLogin1;
    TLpSASLOTP LpSASLOTP1;
    TLpSASLSKey LpSASLSKey1;
    TLpSASLCRAMMD5 LpSASLCRAMMD51;
    TLpSASLCRAMSHA1 LpSASLCRAMSHA11;
    TLpSASLDigest LpSASLDigest1;
    // The OAuth 2.0 list, OAUTHBEARER tried first.
    TLpSASLXOAuth2 LpSASLXOAuth21;
    TLpSASLOAuthBearer LpSASLOAuthBearer1;
    TLpSSLIOHandlerSocketOpenSSL LpSSLIOHandlerSocketOpenSSL1;
    TLpSMTP LpSMTP1;

    // The least time between two progress reports of a message.
    std::chrono::milliseconds ProgressInterval{100};
    // The retry waits count in these; tests make them short.
    std::chrono::steady_clock::duration RetryWaitUnit = std::chrono::seconds(1);

    // The message's Date; tests fix it to compare whole messages.
    std::function<std::chrono::system_clock::time_point()> Clock = [] {
        return std::chrono::system_clock::now();
    };

private:
    void ConfigureClient();
    void SendOneMessage();
    // The client's UseTLS from the chosen mode and the port, with the log line for port 465.
    void ConfigureConnectionSecurity(uint16_t port);
    // One attempt: connect, send, close.
    void Attempt();
    // Raises ELpDeliveryUncertain in place of e when the connection failed after the
    // end-of-data line went out and before the server's reply.
    void ThrowIfDeliveryUncertain(const std::exception& e);
    void CloseAfterFailure(const std::exception& e);
    void WaitBeforeRetry(int seconds);
    void ThrowIfCancelled() const;
    // Takes note of the connection's socket for CancelSend.
    void RememberSocket();
    void ShutDownSocket() const noexcept;
    void EndCancelled();
    void EndProgress() { m_meter.End(false); }
    // What the send was doing and with whom, for the reason a script's user reads.
    std::string FailureContext(const std::exception& e) const;

    enum TStage { stConfigure, stConnect, stGreeting, stSession };
    TStage m_stage = stConfigure;
    TLpShell& m_shell;
    TLpProgressMeter m_meter;
    int64_t m_expectedSize = 0;
    int m_retries = 0;
    int m_retryWait = 30;
    bool m_dataEnded = false;
    std::atomic<bool> m_sending{false};
    std::atomic<bool> m_cancelled{false};
    // The socket of the connection under way, for CancelSend (-1: none).
    std::atomic<int> m_socket{-1};
    std::atomic<uint64_t> m_socketInode{0};
};

// Raised when the user cancels a send.
class ELpSendCancelled : public ELpException {
public:
    ELpSendCancelled() : ELpException("Send cancelled by the user.") {}
    const char* ClassName() const noexcept override { return "ELpSendCancelled"; }
};

// Raised in place of a connection failure after the end-of-data line went out and before its
// reply came: the server may have taken the message, so it is not sent again.
class ELpDeliveryUncertain : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpDeliveryUncertain"; }
};

// Whether a failure may pass if the send is tried again from a new connection: no connection,
// a time-out, a connection lost, a 4xx reply (RFC 5321, 4.2.1). Anything else is permanent.
bool IsTransientFailure(const std::exception& e);

// Seconds before retry `retry` (1 for the first): `firstWait` doubled for each further one, at
// most an hour.
int RetryWaitSeconds(int firstWait, int retry);

// "Larkpost " + GetVersionText() unless the field holds anything (a lone space counts).
std::string MailAgentFor(const std::string& field);
// "Larkpostv" + GetVersionNumber() unless the field holds anything.
std::string HeloNameFor(const std::string& field);

}  // namespace larkpost
