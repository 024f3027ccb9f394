// The send workflow: the long-lived send components of the main window (the SMTP client, its TLS
// handler, the SASL mechanisms and their shared credentials), one send from SendSettings to the
// activity log and the return code, and the handlers that turn progress into log lines.
#pragma once

#include <chrono>
#include <functional>
#include <string>

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

    // The message's Date; tests fix it to compare whole messages.
    std::function<std::chrono::system_clock::time_point()> Clock = [] {
        return std::chrono::system_clock::now();
    };

private:
    void ConfigureClient();
    void SendOneMessage();
    // The client's UseTLS from the chosen mode and the port, with the log line for port 465.
    void ConfigureConnectionSecurity(uint16_t port);

    TLpShell& m_shell;
};

// "Larkpost " + GetVersionText() unless the field holds anything (a lone space counts).
std::string MailAgentFor(const std::string& field);
// "Larkpostv" + GetVersionNumber() unless the field holds anything.
std::string HeloNameFor(const std::string& field);

}  // namespace larkpost
