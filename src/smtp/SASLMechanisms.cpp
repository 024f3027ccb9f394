#include "smtp/SASLMechanisms.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <random>

#include "net/OpenSSLLibrary.h"
#include "smtp/OTPCalculator.h"
#include "smtp/SASLDigests.h"
#include "smtp/SASLText.h"

namespace larkpost {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

// The run-time library's strict whole-number conversion: its failure ends the exchange.
long StrictInteger(const std::string& text) {
    char* end = nullptr;
    const std::string trimmed = Trim(text);
    errno = 0;
    const long value = std::strtol(trimmed.c_str(), &end, 10);
    if (trimmed.empty() || *end != '\0' || errno != 0) {
        throw ELpConvertError("'" + text + "' is not a valid integer value");
    }
    return value;
}

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string RandomCNonce() {
    std::random_device device;
    TLpBytes bytes(16);
    for (size_t i = 0; i < bytes.size(); i += 4) {
        const uint32_t r = device();
        for (size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(r >> (8 * j));
    }
    return LowerHex(bytes);
}

// RFC 2831 2.1.1: name=value pairs, values optionally quoted. Backslashes inside a quoted
// value stay as they are; names are looked up ignoring case.
std::map<std::string, std::string> ParseDigestChallenge(const std::string& challenge) {
    std::map<std::string, std::string> pairs;
    std::string rest = challenge;
    while (!rest.empty()) {
        const size_t equals = rest.find('=');
        if (equals == std::string::npos) {
            const std::string name = LowerCase(Trim(rest));
            if (!name.empty()) pairs.emplace(name, std::string());
            break;
        }
        const std::string name = LowerCase(Trim(rest.substr(0, equals)));
        rest.erase(0, equals + 1);
        size_t lead = 0;
        while (lead < rest.size() && IsBlank(rest[lead])) ++lead;
        rest.erase(0, lead);
        std::string value;
        if (!rest.empty() && rest[0] == '"') {
            size_t close = 1;
            while (close < rest.size() && !(rest[close] == '"' && rest[close - 1] != '\\')) ++close;
            value = rest.substr(1, close - 1);
            const size_t comma = rest.find(',', close);
            rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        } else {
            const size_t comma = rest.find(',');
            value = Trim(rest.substr(0, comma));
            rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        }
        pairs.emplace(name, value);
    }
    return pairs;
}

std::string ValueOf(const std::map<std::string, std::string>& pairs, const std::string& name) {
    const auto it = pairs.find(name);
    return it == pairs.end() ? std::string() : it->second;
}

bool FipsModeOff() {
    return !IsTlsFipsModeEnabled();
}

}  // namespace

// C: AUTH LOGIN <user>     S: 334 UGFzc3dvcmQ6      C: <password>
bool TLpSASLLogin::InitialResponse(const std::string&, const std::string&, std::string& response) {
    response = Username();
    return true;
}

std::string TLpSASLLogin::FirstResponse(const std::string&, const std::string&,
                                        const std::string&) {
    return Username();
}

std::string TLpSASLLogin::NextResponse(const std::string&, const std::string&, const std::string&) {
    return Password();
}

// authzid NUL authcid NUL passwd (RFC 4616, 2)
std::string TLpSASLPlain::Response() const {
    const std::string user = Username();
    std::string response = m_loginAs;
    response.push_back('\0');
    response += user.empty() ? m_loginAs : user;
    response.push_back('\0');
    response += Password();
    return response;
}

bool TLpSASLPlain::InitialResponse(const std::string&, const std::string&, std::string& response) {
    response = Response();
    return true;
}

std::string TLpSASLPlain::FirstResponse(const std::string&, const std::string&,
                                        const std::string&) {
    return Response();
}

bool TLpSASLPlain::IsReady() {
    return TLpSASLUserPass::IsReady() || !m_loginAs.empty();
}

bool TLpSASLAnonymous::InitialResponse(const std::string&, const std::string&,
                                       std::string& response) {
    response = m_traceInfo;
    return true;
}

std::string TLpSASLAnonymous::FirstResponse(const std::string&, const std::string&,
                                            const std::string&) {
    return m_traceInfo;
}

// RFC 2444, 3: the client's first message is an authorization identity (empty: the same as the
// user), a NUL, and the authentication identity. A bare user name is refused by real servers.
bool TLpSASLOTP::InitialResponse(const std::string&, const std::string&, std::string& response) {
    response = std::string(1, '\0') + Username();
    return true;
}

std::string TLpSASLOTP::FirstResponse(const std::string&, const std::string&, const std::string&) {
    return std::string(1, '\0') + Username();
}

// S: otp-md5 499 ke1234 ext     C: word:<six words>     (RFC 2444, 3)
std::string TLpSASLOTP::NextResponse(const std::string& challenge, const std::string&,
                                     const std::string&) {
    const size_t at = challenge.find("otp-");
    if (at == std::string::npos) return std::string();
    const std::vector<std::string> fields = Words(challenge.substr(at + 4));
    const std::string hashName = fields.size() > 0 ? fields[0] : std::string();
    const std::string countText = fields.size() > 1 ? fields[1] : std::string();
    const std::string seed = fields.size() > 2 ? fields[2] : std::string();
    // A negative count hashes no further times (it must not wrap round to four billion).
    const long count = std::max(StrictInteger(countText), 0L);
    return "word:" + TLpOTPCalculator::MakeSixWords(hashName, seed,
                                                    TLpOTPCalculator::Sequence(count), Password());
}

bool TLpSASLSKey::InitialResponse(const std::string&, const std::string&, std::string& response) {
    response = Username();
    return true;
}

std::string TLpSASLSKey::FirstResponse(const std::string&, const std::string&, const std::string&) {
    return Username();
}

// S: <count> <seed>     C: <six words>     (RFC 1760)
std::string TLpSASLSKey::NextResponse(const std::string& challenge, const std::string&,
                                      const std::string&) {
    const std::vector<std::string> fields = Words(Trim(challenge));
    long count = 0;
    if (!fields.empty()) {
        char* end = nullptr;
        const long value = std::strtol(fields[0].c_str(), &end, 10);
        if (*end == '\0' && value >= 0) count = value;
    }
    const std::string seed = fields.size() > 1 ? fields[1] : std::string();
    return TLpOTPCalculator::MakeSixWords("md4", seed, TLpOTPCalculator::Sequence(count),
                                          Password());
}

bool TLpSASLSKey::IsReady() {
    return FipsModeOff();
}

bool TLpSASLCRAMMD5::IsReady() {
    return FipsModeOff();
}

bool TLpSASLDigest::IsReady() {
    return FipsModeOff();
}

// S: realm="…",nonce="…",qop="auth",algorithm=md5-sess,charset=utf-8
// C: charset=utf-8,username="…",realm="…",nonce="…",nc=00000001,cnonce="…",
//    digest-uri="smtp/<host>",response=<hex>,qop=auth
std::string TLpSASLDigest::FirstResponse(const std::string& challenge, const std::string& host,
                                         const std::string& protocol) {
    const std::string digestUri = protocol + "/" + host;
    const auto pairs = ParseDigestChallenge(challenge);

    std::vector<std::string> choices;
    {
        std::string word;
        for (char c : ValueOf(pairs, "qop") + ",") {
            if (c == ',' || IsBlank(c)) {
                if (!word.empty()) choices.push_back(word);
                word.clear();
            } else {
                word.push_back(c);
            }
        }
    }
    auto offered = [&](const char* qop) {
        for (const auto& choice : choices) {
            if (strcasecmp(choice.c_str(), qop) == 0) return true;
        }
        return false;
    };
    if (offered("auth-conf") && !offered("auth")) throw ELpSASLDigestAuthConfNotSupported();
    // "auth" whenever the server allows it: choosing "auth-int" would promise an integrity
    // layer that this client never applies, and the session would break after the login.
    const std::string qop = !offered("auth") && offered("auth-int") ? "auth-int" : "auth";

    const std::string nonce = ValueOf(pairs, "nonce");
    const std::string realm = ValueOf(pairs, "realm");
    if (ValueOf(pairs, "algorithm").empty()) throw ELpSASLDigestChallNoAlgorithm();
    const std::string cnonce = m_cnonceSource ? m_cnonceSource() : RandomCNonce();
    const std::string nc = "00000001";
    const std::string user = Username();

    TLpBytes a1 = DigestOf("MD5", AsciiFromText(user + ":" + realm + ":" + Password()));
    const TLpBytes tail = AsciiFromText(":" + nonce + ":" + cnonce);
    a1.insert(a1.end(), tail.begin(), tail.end());
    std::string a2 = "AUTHENTICATE:" + digestUri;
    if (qop == "auth-int") a2 += ":00000000000000000000000000000000";
    const std::string kd = LowerHex(DigestOf("MD5", a1)) + ":" + nonce + ":" + nc + ":" + cnonce +
                           ":" + qop + ":" + LowerHex(DigestOf("MD5", AsciiFromText(a2)));
    const std::string response = LowerHex(DigestOf("MD5", AsciiFromText(kd)));

    std::string answer;
    const std::string charset = ValueOf(pairs, "charset");
    if (!charset.empty()) answer += "charset=" + charset + ",";
    answer += "username=\"" + user + "\",realm=\"" + realm + "\",nonce=\"" + nonce + "\",nc=" + nc +
              ",cnonce=\"" + cnonce + "\",digest-uri=\"" + digestUri + "\",response=" + response +
              ",qop=" + qop;
    return answer;
}

}  // namespace larkpost
