// SMTP replies (RFC 5321 4.2) with enhanced status codes (RFC 3463, RFC 2034): the code, the
// text lines with the enhanced codes cut off, and the error carrying the server's text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/Reply.h"
#include "platform/Exception.h"

namespace larkpost {

class ELpSMTPReply : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpSMTPReply"; }
};

class ELpSMTPReplyInvalidReplyString : public ELpSMTPReply {
public:
    using ELpSMTPReply::ELpSMTPReply;
    const char* ClassName() const noexcept override { return "ELpSMTPReplyInvalidReplyString"; }
};

class ELpSMTPReplyInvalidClass : public ELpSMTPReply {
public:
    using ELpSMTPReply::ELpSMTPReply;
    const char* ClassName() const noexcept override { return "ELpSMTPReplyInvalidClass"; }
};

// class.subject.detail.
class TLpSMTPEnhancedCode {
public:
    uint32_t StatusClass() const noexcept { return m_statusClass; }
    // Only 2, 4 and 5; anything else raises ELpSMTPReplyInvalidClass "Invalid Reply Class.".
    void SetStatusClass(uint32_t value);
    uint32_t Subject() const noexcept { return m_subject; }
    void SetSubject(uint32_t v) { m_subject = v; }
    uint32_t Details() const noexcept { return m_details; }
    void SetDetails(uint32_t v) { m_details = v; }
    bool Available() const noexcept { return m_available; }
    void SetAvailable(bool v) { m_available = v; }

    // An empty text, or a first word "<2|4|5...>.<number>.<number>".
    static bool IsWellFormedCode(const std::string& text);
    // "" when not available, else "2.1.0".
    std::string ReplyAsStr() const;
    // Raises ELpSMTPReplyInvalidReplyString "Invalid Reply String." for a malformed text; an
    // empty first word clears Available.
    void SetReplyAsStr(const std::string& text);
    // StatusClass through the class rule, then Subject, Details, Available.
    void Assign(const TLpSMTPEnhancedCode& source);

private:
    uint32_t m_statusClass = 2;
    uint32_t m_subject = 0;
    uint32_t m_details = 0;
    bool m_available = false;
};

class ELpSMTPReplyError : public ELpReplyRFCError {
public:
    ELpSMTPReplyError(const std::string& message, int replyCode,
                      const TLpSMTPEnhancedCode& enhanced);
    const TLpSMTPEnhancedCode& EnhancedCode() const noexcept { return m_enhanced; }
    const char* ClassName() const noexcept override { return "ELpSMTPReplyError"; }

private:
    TLpSMTPEnhancedCode m_enhanced;
};

class TLpReplySMTP : public TLpReplyRFC {
public:
    const TLpSMTPEnhancedCode& EnhancedCode() const noexcept { return m_enhancedCode; }
    TLpSMTPEnhancedCode& EnhancedCode() noexcept { return m_enhancedCode; }

    // Code from the first line ("250-" gives 250); every line from its 5th character on, with
    // a well-formed enhanced code cut off its front. The enhanced code keeps its values unless
    // a line carries one (or has an empty remainder).
    void ParseLines(const std::vector<std::string>& lines) override;
    // ELpSMTPReplyError with the text, CodeValue and a copy of the enhanced code.
    [[noreturn]] void RaiseAsError() const override;

protected:
    void AssignExtra(const TLpReply& source) override;

private:
    TLpSMTPEnhancedCode m_enhancedCode;
};

}  // namespace larkpost
