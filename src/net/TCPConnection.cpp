#include "net/TCPConnection.h"

#include "net/Exceptions.h"
#include "net/Intercept.h"

namespace larkpost {

TLpTCPConnection::TLpTCPConnection() = default;

TLpTCPConnection::~TLpTCPConnection() {
    // A handler that outlives its connection must not report work to it.
    if (m_ioHandler && m_ioHandler->WorkTarget() == this) m_ioHandler->SetWorkTarget(nullptr);
}

void TLpTCPConnection::SetIOHandler(TLpIOHandler* handler) {
    if (handler == m_ioHandler) return;
    if (handler && m_intercept && handler->Intercept() && handler->Intercept() != m_intercept)
        throw ELpException("The IOHandler already has a different Intercept assigned");
    if (handler && m_intercept) handler->SetIntercept(m_intercept);
    if (m_ioHandler && m_ioHandler->WorkTarget() == this) m_ioHandler->SetWorkTarget(nullptr);
    m_ioHandler = handler;
    // The handler's read and write progress is this connection's.
    if (handler) handler->SetWorkTarget(this);
    // A handler the connection made itself goes when it is replaced.
    if (m_ownedHandler && m_ownedHandler.get() != handler) m_ownedHandler.reset();
}

void TLpTCPConnection::SetIntercept(TLpConnectionIntercept* intercept) {
    if (m_ioHandler && m_ioHandler->Intercept() && m_ioHandler->Intercept() != intercept)
        throw ELpException("The IOHandler already has a different Intercept assigned");
    m_intercept = intercept;
    if (m_ioHandler) m_ioHandler->SetIntercept(intercept);
}

void TLpTCPConnection::CloseConnection(bool notifyPeer) {
    try {
        if (notifyPeer && IsConnected()) NotifyPeerOfClose();
    } catch (...) {
        // The close goes on whatever the goodbye did.
    }
    // Unread input of a connection we close ourselves can never be read; left in the buffer it
    // would keep IsConnected true and refuse the next connect with "Already connected.".
    if (m_ioHandler) m_ioHandler->InputBuffer().Clear();
    if (!m_ioHandler || !m_ioHandler->Opened()) return;
    ReportStatus(hsDisconnecting);
    m_ioHandler->CloseHandler();
    if (OnDisconnected) OnDisconnected(this);
    ReportStatus(hsDisconnected);
}

bool TLpTCPConnection::IsConnected() {
    return m_ioHandler && m_ioHandler->IsConnected();
}

void TLpTCPConnection::CheckForHandler() const {
    if (!m_ioHandler) throw ELpNotConnected("Not Connected");
}

std::unique_ptr<TLpReply> TLpTCPConnection::NewReply() const {
    return std::make_unique<TLpReplyRFC>();
}

TLpReply& TLpTCPConnection::LastReply() {
    if (!m_lastReply) m_lastReply = NewReply();
    return *m_lastReply;
}

int TLpTCPConnection::IssueCommand(const std::string& command, int accepted,
                                   const TLpTextEncodingPtr& encoding) {
    return IssueCommand(command, accepted < 0 ? std::vector<int>() : std::vector<int>{accepted},
                        encoding);
}

int TLpTCPConnection::IssueCommand(const std::string& command, const std::vector<int>& accepted,
                                   const TLpTextEncodingPtr& encoding) {
    CheckForHandler();
    // A line break would end the command early and put the rest on the wire as a second one.
    if (command.find_first_of("\r\n") != std::string::npos)
        throw ELpException("Command refused: it contains a line break (CR or LF).");
    m_ioHandler->WriteLine(command, encoding);
    return AwaitReply(accepted, encoding);
}

int TLpTCPConnection::AwaitReply(int accepted, const TLpTextEncodingPtr& encoding) {
    return AwaitReply(accepted < 0 ? std::vector<int>() : std::vector<int>{accepted}, encoding);
}

// S: 250-first        (continues: the 4th character is not a space)
//    250 last         (ends the reply)
int TLpTCPConnection::AwaitReply(const std::vector<int>& accepted,
                                 const TLpTextEncodingPtr& encoding) {
    CheckForHandler();
    TLpReply& reply = LastReply();
    std::vector<std::string> lines;
    for (int read = 1;; ++read) {
        std::string line = TrimReplyLine(m_ioHandler->ReadLine("\n", -1, -1, encoding));
        if (line.empty()) {
            if (m_ioHandler->ReadLineTimedOut()) throw ELpReadTimeout("Read timed out.");
        } else {
            lines.push_back(std::move(line));
            if (reply.IsFinalLine(lines.back())) break;
        }
        if (read >= kMaxReplyLines)
            throw ELpReadLnWaitMaxAttemptsExceeded("Max line read attempts exceeded.");
    }
    reply.ParseLines(lines);
    return CheckReplyCode(reply.CodeValue(), accepted);
}

int TLpTCPConnection::CheckReplyCode(int code, const std::vector<int>& accepted) {
    if (accepted.empty()) return code;
    for (int a : accepted)
        if (static_cast<int16_t>(a) == static_cast<int16_t>(code)) return code;
    LastReply().RaiseAsError();
    return code;
}

}  // namespace larkpost
