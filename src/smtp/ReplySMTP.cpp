#include "smtp/ReplySMTP.h"

#include <cctype>

namespace larkpost {

namespace {

std::string TrimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

std::string FirstWord(const std::string& text) {
    return text.substr(0, text.find(' '));
}

// Digits only, and small enough for 32 bits.
bool IsWholeNumber(const std::string& s) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

uint32_t NumberOrZero(const std::string& s) {
    return IsWholeNumber(s) ? static_cast<uint32_t>(std::stoul(s)) : 0;
}

struct CodeParts {
    std::string statusClass, subject, detail;
};

CodeParts SplitCode(const std::string& word) {
    CodeParts p;
    size_t dot = word.find('.');
    p.statusClass = word.substr(0, dot);
    if (dot == std::string::npos) return p;
    std::string rest = word.substr(dot + 1);
    size_t dot2 = rest.find('.');
    p.subject = rest.substr(0, dot2);
    if (dot2 != std::string::npos) p.detail = rest.substr(dot2 + 1);
    return p;
}

// At most the first n digits of a number.
std::string Digits(uint32_t v, size_t n) {
    return std::to_string(v).substr(0, n);
}

}  // namespace

// ---- Enhanced status code -------------------------------------------------------------------

void TLpSMTPEnhancedCode::SetStatusClass(uint32_t value) {
    if (value != 2 && value != 4 && value != 5)
        throw ELpSMTPReplyInvalidClass("Invalid Reply Class.");
    m_statusClass = value;
}

bool TLpSMTPEnhancedCode::IsWellFormedCode(const std::string& text) {
    if (TrimBlanks(text).empty()) return true;
    CodeParts p = SplitCode(FirstWord(text));
    if (p.statusClass.empty()) return false;
    char first = p.statusClass[0];
    return (first == '2' || first == '4' || first == '5') && IsWholeNumber(p.subject) &&
           IsWholeNumber(p.detail);
}

std::string TLpSMTPEnhancedCode::ReplyAsStr() const {
    if (!m_available) return std::string();
    return Digits(m_statusClass, 1) + "." + Digits(m_subject, 3) + "." + Digits(m_details, 3);
}

void TLpSMTPEnhancedCode::SetReplyAsStr(const std::string& text) {
    if (!IsWellFormedCode(text)) throw ELpSMTPReplyInvalidReplyString("Invalid Reply String.");
    std::string word = FirstWord(text);
    if (word.empty()) {
        m_available = false;
        return;
    }
    CodeParts p = SplitCode(word);
    // Stored as they stand: the class rule applies to the property, not to parsing.
    m_statusClass = NumberOrZero(p.statusClass);
    m_subject = NumberOrZero(p.subject);
    m_details = NumberOrZero(p.detail);
    m_available = true;
}

void TLpSMTPEnhancedCode::Assign(const TLpSMTPEnhancedCode& source) {
    SetStatusClass(source.m_statusClass);
    m_subject = source.m_subject;
    m_details = source.m_details;
    m_available = source.m_available;
}

ELpSMTPReplyError::ELpSMTPReplyError(const std::string& message, int replyCode,
                                     const TLpSMTPEnhancedCode& enhanced)
    : ELpReplyRFCError(message, replyCode) {
    m_enhanced.Assign(enhanced);
}

// ---- SMTP reply -----------------------------------------------------------------------------

// S: 250-2.1.0 first     Code 250, Text [first, second], enhanced code 2.1.0
//    250 2.1.0 second
void TLpReplySMTP::ParseLines(const std::vector<std::string>& lines) {
    Clear();
    if (lines.empty()) return;
    std::string code = TrimBlanks(lines[0].substr(0, 4));
    if (code.size() == 4 && code[3] == '-') code.resize(3);
    SetCode(code);
    for (const auto& line : lines) {
        std::string rest = line.size() > 4 ? line.substr(4) : std::string();
        if (TLpSMTPEnhancedCode::IsWellFormedCode(rest)) {
            size_t space = rest.find(' ');
            m_enhancedCode.SetReplyAsStr(rest.substr(0, space));
            rest = space == std::string::npos ? std::string() : rest.substr(space + 1);
        }
        m_text.push_back(std::move(rest));
    }
}

void TLpReplySMTP::RaiseAsError() const {
    throw ELpSMTPReplyError(TextAsString(), CodeValue(), m_enhancedCode);
}

void TLpReplySMTP::AssignExtra(const TLpReply& source) {
    if (const auto* smtp = dynamic_cast<const TLpReplySMTP*>(&source))
        m_enhancedCode.Assign(smtp->m_enhancedCode);
}

}  // namespace larkpost
