// A connection that owns an I/O handler: close and the connected test, and the command and reply
// channel of the line protocols (one command line out, a possibly multi-line reply in, the code
// checked against the codes the caller accepts).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/Component.h"
#include "net/IOHandler.h"
#include "net/Reply.h"
#include "net/TextEncoding.h"

namespace larkpost {

class TLpConnectionIntercept;

class TLpTCPConnection : public TLpComponent {
public:
    TLpTCPConnection();
    ~TLpTCPConnection() override;

    TLpIOHandler* IOHandler() const noexcept { return m_ioHandler; }
    // Raises "The IOHandler already has a different Intercept assigned" when both this
    // connection and the handler hold different intercepts; otherwise hands over ours.
    virtual void SetIOHandler(TLpIOHandler* handler);
    TLpConnectionIntercept* Intercept() const noexcept { return m_intercept; }
    void SetIntercept(TLpConnectionIntercept* intercept);

    // NotifyPeerOfClose (its failures swallowed) while connected, then close the handler with
    // hsDisconnecting, OnDisconnected and hsDisconnected; a handler that is not open reports
    // nothing.
    virtual void CloseConnection(bool notifyPeer = true);
    // Empty here; the SMTP client sends QUIT.
    virtual void NotifyPeerOfClose() {}
    virtual bool IsConnected();
    // ELpNotConnected "Not Connected" when no I/O handler is attached.
    void CheckForHandler() const;

    // ---- Commands and replies ---------------------------------------------------------------
    // accepted < 0, or an empty list, accepts any code. The command must not hold CR or LF.
    int IssueCommand(const std::string& command, int accepted,
                     const TLpTextEncodingPtr& encoding = nullptr);
    int IssueCommand(const std::string& command, const std::vector<int>& accepted,
                     const TLpTextEncodingPtr& encoding = nullptr);
    int AwaitReply(int accepted, const TLpTextEncodingPtr& encoding = nullptr);
    int AwaitReply(const std::vector<int>& accepted, const TLpTextEncodingPtr& encoding = nullptr);
    // The code, or LastReply's error when the code is not in a non-empty list.
    int CheckReplyCode(int code, const std::vector<int>& accepted);
    // Made on first use by NewReply, so a derived connection's reply class counts.
    TLpReply& LastReply();

    // Blank lines and lines of one reply read at most before the reader gives up: a peer that
    // never ends its reply must not hold the client or its memory.
    static constexpr int kMaxReplyLines = 1000;

    TLpNotifyEvent OnDisconnected;

protected:
    // The reply class of this connection: TLpReplyRFC here, TLpReplySMTP for the SMTP client.
    virtual std::unique_ptr<TLpReply> NewReply() const;

    TLpIOHandler* m_ioHandler = nullptr;
    // Set when the connection made the handler itself; freed when replaced.
    std::unique_ptr<TLpIOHandler> m_ownedHandler;
    TLpConnectionIntercept* m_intercept = nullptr;

private:
    std::unique_ptr<TLpReply> m_lastReply;
};

}  // namespace larkpost
