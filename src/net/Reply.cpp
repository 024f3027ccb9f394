#include "net/Reply.h"

#include <cctype>

namespace larkpost {

namespace {

std::string TrimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

// A whole decimal number (an optional sign, then digits), or fallback.
int DecimalOr(const std::string& text, int fallback) {
    if (text.empty() || text.size() > 10) return fallback;
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (i == text.size()) return fallback;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return fallback;
        v = v * 10 + (text[i] - '0');
    }
    if (text[0] == '-') v = -v;
    if (v > 2147483647LL || v < -2147483648LL) return fallback;
    return static_cast<int>(v);
}

}  // namespace

std::string TrimReplyLine(const std::string& line) {
    return TrimBlanks(line);
}

void TLpReply::SetCode(const std::string& code) {
    if (code == m_code) return;
    if (!IsCodeAcceptable(code)) throw ELpException("Reply Code is not valid: " + code);
    Clear();
    m_code = code;
}

int TLpReply::CodeValue() const {
    return DecimalOr(TrimBlanks(m_code), 0);
}

std::string TLpReply::TextAsString() const {
    std::string out;
    for (const auto& line : m_text) out += line + "\r\n";
    return out;
}

bool TLpReply::IsCodeAcceptable(const std::string&) const {
    return true;
}

void TLpReply::ParseLines(const std::vector<std::string>& lines) {
    Clear();
    m_text = lines;
}

void TLpReply::Clear() {
    m_text.clear();
    m_code.clear();
}

bool TLpReply::IsFinalLine(const std::string&) const {
    return false;
}

void TLpReply::RaiseAsError() const {
    throw ELpReplyError(TextAsString());
}

void TLpReply::Assign(const TLpReply& source) {
    if (&source == this) return;
    SetCode(source.m_code);
    AssignExtra(source);
    m_text = source.m_text;
}

bool TLpReplyRFC::IsCodeAcceptable(const std::string& code) const {
    std::string trimmed = TrimBlanks(code);
    if (trimmed.empty()) return true;
    int v = DecimalOr(trimmed, 0);
    return v >= 100 && v <= 999;
}

void TLpReplyRFC::ParseLines(const std::vector<std::string>& lines) {
    Clear();
    if (lines.empty()) return;
    SetCode(TrimBlanks(lines[0].substr(0, 3)));
    for (const auto& line : lines) m_text.push_back(line.size() > 4 ? line.substr(4) : "");
}

bool TLpReplyRFC::IsFinalLine(const std::string& line) const {
    return line.size() < 4 || line[3] == ' ';
}

void TLpReplyRFC::RaiseAsError() const {
    throw ELpReplyRFCError(TextAsString(), CodeValue());
}

}  // namespace larkpost
