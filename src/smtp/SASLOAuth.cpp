#include "smtp/SASLOAuth.h"

#include <cctype>

#include "smtp/SASLText.h"

namespace larkpost {
namespace {

// One character per byte: how the exchange carries responses (SASLText.h).
std::string AsWireText(const std::string& utf8) {
    return TextFromLatin1(TLpBytes(utf8.begin(), utf8.end()));
}

std::string AsUtf8(const std::string& wireText) {
    const TLpBytes bytes = Latin1FromText(wireText);
    return std::string(bytes.begin(), bytes.end());
}

// RFC 7628, 3.1 (saslname of RFC 5801): "," and "=" cannot stand in the gs2 header as they are.
std::string EscapeSaslName(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == ',') out += "=2C";
        else if (c == '=') out += "=3D";
        else out += c;
    }
    return out;
}

void SkipBlanks(const std::string& text, size_t& i) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
}

// A JSON string from the opening quote at i; i ends after the closing quote.
std::string ReadJsonString(const std::string& text, size_t& i) {
    std::string out;
    for (++i; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            ++i;
            return out;
        }
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        const char e = text[++i];
        switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': out += "\\u"; break;  // kept as written: never seen in these fields
            default: out += e;
        }
    }
    return out;
}

// A bare JSON value (a number, true, false, null) up to the next "," or "}".
std::string ReadJsonBare(const std::string& text, size_t& i) {
    const size_t start = i;
    while (i < text.size() && text[i] != ',' && text[i] != '}') ++i;
    std::string value = text.substr(start, i - start);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    return value;
}

}  // namespace

TLpOAuthStatus ParseOAuthStatus(const std::string& json) {
    TLpOAuthStatus result;
    result.Present = true;
    size_t i = 0;
    SkipBlanks(json, i);
    if (i >= json.size() || json[i] != '{') return result;
    ++i;
    while (i < json.size()) {
        SkipBlanks(json, i);
        if (i >= json.size() || json[i] != '"') return result;
        const std::string key = ReadJsonString(json, i);
        SkipBlanks(json, i);
        if (i >= json.size() || json[i] != ':') return result;
        ++i;
        SkipBlanks(json, i);
        if (i >= json.size()) return result;
        // Nested values are not part of the status; their text is skipped as a bare value.
        const std::string value = json[i] == '"' ? ReadJsonString(json, i) : ReadJsonBare(json, i);
        if (key == "status") result.Status = value;
        if (key == "scope") result.Scope = value;
        SkipBlanks(json, i);
        if (i >= json.size() || json[i] != ',') return result;
        ++i;
    }
    return result;
}

void TLpSASLOAuthBase::Reset() {
    m_ran = false;
    m_errorStatus = TLpOAuthStatus{};
}

bool TLpSASLOAuthBase::InitialResponse(const std::string& host, const std::string&,
                                       std::string& response) {
    m_ran = true;
    response = ClientResponse(host);
    return true;
}

std::string TLpSASLOAuthBase::FirstResponse(const std::string& challenge, const std::string& host,
                                            const std::string&) {
    m_ran = true;
    if (challenge.empty()) return ClientResponse(host);
    return AnswerError(challenge);
}

std::string TLpSASLOAuthBase::NextResponse(const std::string& challenge, const std::string&,
                                           const std::string&) {
    return AnswerError(challenge);
}

std::string TLpSASLOAuthBase::AnswerError(const std::string& challenge) {
    if (!m_errorStatus.Present) m_errorStatus = ParseOAuthStatus(AsUtf8(challenge));
    return ErrorAnswer();
}

bool TLpSASLOAuthBase::IsReady() {
    return UserPassProvider() != nullptr && !UserPassProvider()->Password().empty();
}

std::string TLpSASLOAuthBase::WireUser() const {
    return AsWireText(Username());
}

std::string TLpSASLOAuthBase::WireToken() const {
    return AsWireText(Password());
}

std::string TLpSASLOAuthBearer::ClientResponse(const std::string& host) const {
    const std::string user = WireUser();
    const std::string header = user.empty() ? "n,," : "n,a=" + EscapeSaslName(user) + ",";
    return header + "\x01" + "host=" + AsWireText(host) + "\x01" + "port=" +
           std::to_string(Port()) + "\x01" + "auth=Bearer " + WireToken() + "\x01\x01";
}

bool TLpSASLXOAuth2::IsReady() {
    return TLpSASLOAuthBase::IsReady() && !UserPassProvider()->Username().empty();
}

std::string TLpSASLXOAuth2::ClientResponse(const std::string&) const {
    return "user=" + WireUser() + "\x01" + "auth=Bearer " + WireToken() + "\x01\x01";
}

}  // namespace larkpost
