// Replies of the three-digit line protocols (RFC 5321 4.2): a code, the text lines, the rule that
// ends a multi-line reply, and the error raised for a code the caller does not accept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace larkpost {

class ELpReplyError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpReplyError"; }
};

// The message is the reply's text, every line followed by CR LF; the code travels alongside.
class ELpReplyRFCError : public ELpReplyError {
public:
    ELpReplyRFCError(const std::string& message, int replyCode)
        : ELpReplyError(message), m_replyCode(replyCode) {}
    int ReplyCode() const noexcept { return m_replyCode; }
    const char* ClassName() const noexcept override { return "ELpReplyRFCError"; }

private:
    int m_replyCode;
};

class TLpReply {
public:
    TLpReply() = default;
    virtual ~TLpReply() = default;
    TLpReply(const TLpReply&) = delete;
    TLpReply& operator=(const TLpReply&) = delete;

    // Empty when no reply is held.
    const std::string& Code() const noexcept { return m_code; }
    // Nothing happens for the current code; a code IsCodeAcceptable refuses raises ELpException
    // "Reply Code is not valid: %s"; otherwise the reply is cleared and takes the code.
    void SetCode(const std::string& code);
    // The trimmed code as a decimal number, 0 when empty or not a number.
    int CodeValue() const;

    const std::vector<std::string>& Text() const noexcept { return m_text; }
    std::vector<std::string>& Text() noexcept { return m_text; }
    // Every line followed by CR LF, the last one too.
    std::string TextAsString() const;

    virtual bool IsCodeAcceptable(const std::string& code) const;
    virtual void ParseLines(const std::vector<std::string>& lines);
    // Empties Text and Code.
    virtual void Clear();
    virtual bool IsFinalLine(const std::string& line) const;
    [[noreturn]] virtual void RaiseAsError() const;
    // Code (through the code rules), then what subclasses add, then Text.
    virtual void Assign(const TLpReply& source);

protected:
    virtual void AssignExtra(const TLpReply&) {}

    std::string m_code;
    std::vector<std::string> m_text;
};

class TLpReplyRFC : public TLpReply {
public:
    // 100 to 999, or empty after trimming.
    bool IsCodeAcceptable(const std::string& code) const override;
    // Code: the first three characters of the first line; Text: every line from its 5th on.
    void ParseLines(const std::vector<std::string>& lines) override;
    // Fewer than 4 characters, or a space as the 4th.
    bool IsFinalLine(const std::string& line) const override;
    // ELpReplyRFCError with the text and CodeValue.
    [[noreturn]] void RaiseAsError() const override;
};

// Spaces and control characters off both ends.
std::string TrimReplyLine(const std::string& line);

}  // namespace larkpost
