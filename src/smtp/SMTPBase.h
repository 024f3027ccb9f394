// The SMTP dialogue without authentication (RFC 5321): greeting, EHLO with HELO as fallback,
// STARTTLS (RFC 3207), the envelope and the data, QUIT; the TLS mode and its port rule.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/MessageClient.h"
#include "platform/Exception.h"
#include "smtp/ReplySMTP.h"

namespace larkpost {

class TLpEMailAddressList;
class TLpMessage;
class TLpSSLIOHandlerSocketBase;

// ---- Errors of the explicit-TLS client ------------------------------------------------------
class ELpTLSClientError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpTLSClientError"; }
};

class ELpTLSClientCanNotSetWhileConnected : public ELpTLSClientError {
public:
    ELpTLSClientCanNotSetWhileConnected()
        : ELpTLSClientError("This value can not be set while the client is connected.") {}
    const char* ClassName() const noexcept override {
        return "ELpTLSClientCanNotSetWhileConnected";
    }
};

class ELpTLSClientSSLIOHandlerRequred : public ELpTLSClientError {
public:
    ELpTLSClientSSLIOHandlerRequred()
        : ELpTLSClientError("SSL IOHandler is required for this setting") {}
    const char* ClassName() const noexcept override { return "ELpTLSClientSSLIOHandlerRequred"; }
};

class ELpTLSClientTLSNotAvailable : public ELpTLSClientError {
public:
    ELpTLSClientTLSNotAvailable() : ELpTLSClientError("SSL is not available on this server.") {}
    const char* ClassName() const noexcept override { return "ELpTLSClientTLSNotAvailable"; }
};

class ELpTLSClientTLSNegCmdFailed : public ELpTLSClientError {
public:
    ELpTLSClientTLSNegCmdFailed() : ELpTLSClientError("Start SSL negotiation command failed.") {}
    const char* ClassName() const noexcept override { return "ELpTLSClientTLSNegCmdFailed"; }
};

// Bytes that came with or after the 220 to STARTTLS were sent before any TLS protection: a
// buggy server, or someone injecting replies that would be read as the server's inside TLS.
class ELpTLSClientDataBeforeHandshake : public ELpTLSClientError {
public:
    explicit ELpTLSClientDataBeforeHandshake(const std::string& host)
        : ELpTLSClientError("The server " + host +
                            " sent unencrypted data after accepting STARTTLS; the connection was "
                            "closed, since that data could have been injected.") {}
    const char* ClassName() const noexcept override { return "ELpTLSClientDataBeforeHandshake"; }
};

// The handshake's own exception travels as the inner exception, for a log that wants the detail.
class ELpTLSClientTLSHandShakeFailed : public ELpTLSClientError {
public:
    ELpTLSClientTLSHandShakeFailed(std::exception_ptr inner, std::string innerMessage)
        : ELpTLSClientError("SSL negotiation failed."),
          m_inner(std::move(inner)),
          m_innerMessage(std::move(innerMessage)) {}
    const std::exception_ptr& InnerException() const noexcept { return m_inner; }
    const std::string& InnerMessage() const noexcept { return m_innerMessage; }
    const char* ClassName() const noexcept override { return "ELpTLSClientTLSHandShakeFailed"; }

private:
    std::exception_ptr m_inner;
    std::string m_innerMessage;
};

// Called for each refused recipient; leaving VContinue true sends to the others. ACode is the
// reply's code text, AText its text lines each followed by CR LF.
using TLpSMTPFailedRecipient =
    std::function<void(TLpBaseComponent* Sender, const std::string& AAddress,
                       const std::string& ACode, const std::string& AText, bool& VContinue)>;

class TLpSMTPBase : public TLpMessageClient {
public:
    static constexpr uint16_t PlainPort = 25;
    static constexpr uint16_t ImplicitTlsPort = 465;

    TLpSMTPBase();
    ~TLpSMTPBase() override;

    // ---- Properties ---------------------------------------------------------------------------
    // Empty: the local host name.
    const std::string& HeloName() const noexcept { return m_heloName; }
    void SetHeloName(const std::string& v) { m_heloName = v; }
    // The X-Mailer value; empty removes the header.
    const std::string& MailAgent() const noexcept { return m_mailAgent; }
    void SetMailAgent(const std::string& v) { m_mailAgent = v; }
    bool UseEhlo() const noexcept { return m_useEhlo; }
    virtual void SetUseEhlo(bool v) { m_useEhlo = v; }
    // Both stay off here: every command waits for its reply, MAIL FROM carries no parameter.
    bool PipeLine() const noexcept { return m_pipeLine; }
    void SetPipeLine(bool v) { m_pipeLine = v; }
    bool UseVerp() const noexcept { return m_useVerp; }
    void SetUseVerp(bool v) { m_useVerp = v; }

    // Raises ELpTLSClientCanNotSetWhileConnected while connected and
    // ELpTLSClientSSLIOHandlerRequred for a TLS mode without a TLS-capable handler (neither
    // while loading). Moving to or from implicit TLS swaps the ports 25 and 465; a STARTTLS
    // mode turns UseEhlo on.
    void SetUseTLS(TLpUseTLS value) override;
    // A handler that cannot do TLS resets UseTLS to utNoTLSSupport (not while loading).
    void SetIOHandler(TLpIOHandler* handler) override;
    // While loading, UseTLS is only stored; Loaded() ends loading and applies the handler rule.
    void BeginLoading() noexcept { m_loading = true; }
    void Loaded();

    // ---- The dialogue ---------------------------------------------------------------------------
    // Connect, greeting 220, hello. A failed greeting or hello closes without QUIT.
    void EstablishConnection() override;
    // QUIT first (its failures swallowed) when notifyPeer and connected.
    void CloseConnection(bool notifyPeer = true) override;
    void NotifyPeerOfClose() override;
    // EHLO (unless UseEhlo is off); any reply but 250 falls back to HELO, which must get 250.
    virtual void SendHello();
    // A whole line "STARTTLS" among the extensions, ignoring case.
    virtual bool SupportsTLS() const;
    // The handler can switch to TLS.
    bool UsingTLSCapableHandler() const;
    // STARTTLS when the mode asks for it and the server offers it, then EHLO again.
    virtual void UpgradeToTls();
    // Recipients (To, Cc, Bcc copies), reverse path, TransmitEnvelope.
    virtual void SubmitMessage(TLpMessage& message);
    // MAIL FROM, RCPT TO for each recipient, DATA, the message, ".". A reply error from the
    // recipients on is followed by RSET before it propagates.
    virtual void TransmitEnvelope(const std::string& reversePath,
                                  const TLpEMailAddressList& recipients, TLpMessage& message);

    TLpReplySMTP& SMTPReply();
    // A whole line of ServerExtensions equal to name, ignoring case.
    bool HasExtension(const std::string& name) const;

    TLpSMTPFailedRecipient OnFailedRecipient;

    // The end-of-data line of the transaction TransmitEnvelope last began has been written: from
    // then on the server may have accepted the message, whatever happens to the connection.
    bool DataTerminated() const noexcept { return m_dataTerminated; }

protected:
    std::unique_ptr<TLpReply> NewReply() const override;
    TLpSSLIOHandlerSocketBase* TlsHandler() const;
    // The HELO/EHLO name: HeloName, else the local host name, else the computer name.
    std::string HelloName() const;
    // The last reply's code, text and the VContinue rule; false stops the recipient loop.
    bool ReportFailedRecipient(const std::string& address);

private:
    std::string m_heloName;
    std::string m_mailAgent;
    bool m_useEhlo = true;
    bool m_pipeLine = false;
    bool m_useVerp = false;
    bool m_loading = false;
    bool m_dataTerminated = false;
};

}  // namespace larkpost
