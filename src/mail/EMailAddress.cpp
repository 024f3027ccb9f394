#include "mail/EMailAddress.h"

#include <string_view>

namespace larkpost {

namespace {

bool IsAddressChar(char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-/=?_{}|~`").find(ch) != std::string_view::npos;
}

bool IsNameChar(char ch) {
    return ch == ' ' || IsAddressChar(ch);
}
bool IsEscaped(char ch) {
    return ch == '\\' || ch == '"';
}
bool IsControlOrSpace(char ch) {
    return static_cast<unsigned char>(ch) <= 32;
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsControlOrSpace(s[b])) ++b;
    while (e > b && IsControlOrSpace(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

std::string TrimLeft(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && IsControlOrSpace(s[b])) ++b;
    return std::string(s.substr(b));
}

std::string TrimBlanks(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The address as a header shows it; hasName decides the angle brackets of a plain local part.
std::string RenderAddressForm(const std::string& address, bool hasName) {
    if (address.empty()) return hasName ? "<>" : "";
    const std::size_t at = address.rfind('@');
    const std::string local = at == std::string::npos ? address : address.substr(0, at);
    const std::string domain = at == std::string::npos ? std::string() : address.substr(at);
    std::size_t bad = 0;
    while (bad < local.size() && IsAddressChar(local[bad])) ++bad;
    if (bad == local.size() || local[bad] == '.') {
        return hasName ? "<" + local + domain + ">" : local + domain;
    }
    std::string quoted = "\"";
    for (char ch : local) {
        if (IsEscaped(ch)) quoted += '\\';
        quoted += ch;
    }
    quoted += '"';
    return "<" + quoted + domain + ">";
}

constexpr std::string_view kFirstWithBracket = "(\"< \t";
constexpr std::string_view kFirstWithoutBracket = "(\" @\t";
constexpr std::string_view kInComment = "()\\";
constexpr std::string_view kInQuote = "\"\\";
constexpr std::string_view kAfterAtBracketed = ".>(";
constexpr std::string_view kAfterAt = ". (";
constexpr std::string_view kInAddress = "\"(@>";
constexpr std::string_view kOther = "(\"< @\t";

}  // namespace

std::string TLpEMailAddressItem::RenderAddress() const {
    return RenderAddressForm(m_address, !m_name.empty());
}

std::string TLpEMailAddressItem::Text() const {
    if (m_name.empty() || SameTextIgnoringCase(m_name, m_address)) {
        return RenderAddressForm(m_address, false);
    }
    std::size_t bad = 0;
    while (bad < m_name.size() && IsNameChar(m_name[bad])) ++bad;
    if (bad == m_name.size()) return m_name + " " + RenderAddress();
    std::string quoted = "\"" + m_name.substr(0, bad);
    for (std::size_t i = bad; i < m_name.size(); ++i) {
        const char ch = m_name[i];
        if (!IsNameChar(ch) && IsEscaped(ch)) quoted += '\\';
        quoted += ch;
    }
    quoted += '"';
    return quoted + " " + RenderAddress();
}

// A forgiving scanner: every input gives some name and address; what it cannot make sense of
// stays in whichever field it was filling.
void TLpEMailAddressItem::SetText(const std::string& text) {
    m_name.clear();
    m_address.clear();
    std::string s = Trim(text);
    if (s.empty()) return;

    bool inAddress = false, bracketed = false, inQuote = false, afterAt = false;
    int depth = 0;
    const auto npos = std::string::npos;
    std::size_t p = s.find_first_of(s.find('<') != npos ? kFirstWithBracket : kFirstWithoutBracket);
    if (p == npos) {
        m_address = s;
        return;
    }
    while (p != npos) {
        const char ch = s[p];
        switch (ch) {
            case ' ':
            case '\t':
                if (p == 0) {
                    s.erase(0, 1);
                    break;
                }
                if (afterAt) {
                    m_address += Trim(std::string_view(s).substr(0, p));
                } else {
                    m_name += s.substr(0, p + 1);
                }
                s.erase(0, p + 1);
                break;
            case '"':
                if (inQuote) {
                    (bracketed ? m_address : m_name) += Trim(std::string_view(s).substr(0, p));
                    s.erase(0, p + 1);
                    inQuote = false;
                } else {
                    inQuote = true;
                    s.erase(0, 1);
                }
                break;
            case '(':
                ++depth;
                if (p == 0) {
                    s.erase(0, 1);
                    break;
                }
                if (inAddress) {
                    m_address += Trim(std::string_view(s).substr(0, p));
                } else if (depth == 1) {
                    m_name += s.substr(0, p);
                }
                s.erase(0, p + 1);
                break;
            case ')':
                s.erase(0, p + 1);
                --depth;
                break;
            case '.':
                if (bracketed) {
                    m_address += TrimBlanks(Trim(std::string_view(s).substr(0, p))) + ".";
                    s = TrimLeft(std::string_view(s).substr(p + 1));
                } else {
                    m_address += s.substr(0, p + 1);
                    s.erase(0, p + 1);
                }
                break;
            case '<':
                if (p > 0) m_name += s.substr(0, p);
                m_name = TrimBlanks(Trim(m_name));
                bracketed = true;
                inAddress = true;
                s.erase(0, p + 1);
                break;
            case '>':
                inAddress = false;
                afterAt = false;
                m_address += TrimBlanks(Trim(std::string_view(s).substr(0, p)));
                s.erase(0, p + 1);
                break;
            case '@':
                afterAt = true;
                if (!inAddress && bracketed) {
                    // A name after an angle-bracket address: keep the rest as name and stop.
                    m_name += s;
                    return;
                }
                inAddress = true;
                m_address += s.substr(0, p + 1);
                s.erase(0, p + 1);
                break;
            case '\\':
                if (inQuote) {
                    std::string& field = inAddress ? m_address : m_name;
                    field += s.substr(0, p);
                    if (p + 1 < s.size()) field += s[p + 1];
                }
                s.erase(0, p + 2);
                break;
            default:
                break;
        }
        if (depth > 0) {
            p = s.find_first_of(kInComment);
        } else if (inQuote) {
            p = s.find_last_of(kInQuote);
        } else if (afterAt) {
            p = s.find_first_of(bracketed ? kAfterAtBracketed : kAfterAt);
        } else if (inAddress) {
            p = s.find_first_of(kInAddress);
        } else {
            p = s.find_first_of(kOther);
        }
    }
    if (inAddress && !bracketed) m_address += TrimBlanks(Trim(s));
}

std::string TLpEMailAddressItem::User() const {
    const std::size_t at = m_address.rfind('@');
    return at == std::string::npos ? std::string() : m_address.substr(0, at);
}

void TLpEMailAddressItem::SetUser(const std::string& user) {
    const std::size_t at = m_address.find('@');
    const std::string rest = at == std::string::npos ? m_address : m_address.substr(at + 1);
    m_address = user + "@" + rest;
}

std::string TLpEMailAddressItem::Domain() const {
    const std::size_t at = m_address.rfind('@');
    return at == std::string::npos ? std::string() : m_address.substr(at + 1);
}

void TLpEMailAddressItem::SetDomain(const std::string& domain) {
    const std::size_t at = m_address.find('@');
    const std::string first = at == std::string::npos ? m_address : m_address.substr(0, at);
    m_address = first + "@" + domain;
}

TLpEMailAddressList& TLpEMailAddressList::operator=(const TLpEMailAddressList& other) {
    if (this == &other) return *this;
    Clear();
    AppendCopies(other);
    return *this;
}

TLpEMailAddressItem& TLpEMailAddressList::Add() {
    m_items.push_back(std::make_unique<TLpEMailAddressItem>());
    return *m_items.back();
}

void TLpEMailAddressList::Delete(std::size_t index) {
    if (index < m_items.size()) m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
}

void TLpEMailAddressList::AppendCopies(const TLpEMailAddressList& other) {
    const std::size_t n = other.Count();
    for (std::size_t i = 0; i < n; ++i) {
        const TLpEMailAddressItem copy = other.Items(i);
        Add() = copy;
    }
}

void TLpEMailAddressList::ParseAddressList(const std::string& text) {
    Clear();
    if (Trim(text).empty()) return;

    constexpr std::string_view kSeparators = ":;(\", \t";
    // An entry whose text form is empty or "<>" carried no address worth sending to.
    auto addUnlessEmpty = [this](const std::string& entry) {
        Add().SetText(entry);
        const std::string form = Trim(m_items.back()->Text());
        if (form.empty() || form == "<>") m_items.pop_back();
    };

    std::string s = text;
    std::string t;
    bool inQuote = false;
    int depth = 0;
    std::size_t p = s.find_first_of(kSeparators);
    if (p == std::string::npos) {
        Add().SetText(TrimLeft(s));
        return;
    }
    while (p != std::string::npos) {
        switch (s[p]) {
            case ' ':
            case '\t':
                t += s.substr(0, p + 1);
                s.erase(0, p + 1);
                break;
            case '"':
                t += s.substr(0, p + 1);
                s.erase(0, p + 1);
                inQuote = !inQuote;
                break;
            case '(':
                t += s.substr(0, p + 1);
                s.erase(0, p + 1);
                ++depth;
                break;
            case ')':
                t += s.substr(0, p + 1);
                s.erase(0, p + 1);
                --depth;
                break;
            case ',':
                t += s.substr(0, p);
                addUnlessEmpty(t);
                t.clear();
                s.erase(0, p + 1);
                break;
            case ':':
                // A group name before the colon is not an address.
                s.erase(0, p + 1);
                t.clear();
                break;
            case ';':
                t += s.substr(0, p);
                if (!Trim(t).empty()) {
                    Add().SetText(TrimLeft(t));
                    t.clear();
                }
                s.erase(0, p + 1);
                break;
            case '\\':
                t += s.substr(0, p + 2);
                s.erase(0, p + 2);
                break;
            default:
                break;
        }
        if (depth > 0) {
            p = s.find_first_of("(\\)");
        } else if (inQuote) {
            p = s.find_first_of("\"\\");
        } else {
            p = s.find_first_of(kSeparators);
        }
    }
    if (!Trim(t).empty() || !Trim(s).empty()) addUnlessEmpty(TrimLeft(t + s));
}

}  // namespace larkpost
