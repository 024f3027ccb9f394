// Encoded header words: no encoded word longer than 75 characters, each holding whole
// characters, no line break that could start a header line, and RFC 2047 decoding gives the
// text back (CR and LF read as spaces). In ISO-2022-JP every word ends in ASCII mode.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "mail/Encoders.h"

using namespace larkpost;

namespace {

std::string DecodeB(const std::string& text) {
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const int v = fuzz::Sextet(c);
        if (v < 0) std::abort();
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<char>(bits >> 16));
            out.push_back(static_cast<char>(bits >> 8));
            out.push_back(static_cast<char>(bits));
            bits = count = 0;
        }
    }
    if (count == 2) out.push_back(static_cast<char>(bits >> 4));
    if (count == 3) {
        out.push_back(static_cast<char>(bits >> 10));
        out.push_back(static_cast<char>(bits >> 2));
    }
    return out;
}

// Splits at blanks keeping them; a token "=?UTF-8?B?...?=" is an encoded word, and blanks
// between two encoded words vanish (RFC 2047, 6.2). Each word must decode to whole characters
// by itself (RFC 2047, 5).
std::string Decode(const std::string& header, const std::string& prefix = "=?UTF-8?B?") {
    std::string out, pendingBlank;
    bool lastEncoded = false;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = pos;
        while (end < header.size() && header[end] != ' ' && header[end] != '\t' && header[end] != '\r' &&
               header[end] != '\n')
            ++end;
        if (end == pos) {
            pendingBlank.push_back(header[pos]);
            ++pos;
            continue;
        }
        const std::string token = header.substr(pos, end - pos);
        bool encoded = token.size() >= prefix.size() + 2 && token.compare(0, prefix.size(), prefix) == 0 &&
                       token.compare(token.size() - 2, 2, "?=") == 0;
        // Encoded text is base64 only (RFC 2047, 2 and 4.1): anything else is plain text.
        if (encoded) {
            for (size_t k = prefix.size(); k + 2 < token.size(); ++k)
                if (fuzz::Sextet(token[k]) < 0 && token[k] != '=') encoded = false;
        }
        if (encoded) {
            if (token.size() > 75) std::abort();
            if (!lastEncoded) out += pendingBlank;
            const std::string word = DecodeB(token.substr(prefix.size(), token.size() - prefix.size() - 2));
            const bool jis = prefix == "=?ISO-2022-JP?B?";
            if (!jis && !fuzz::IsValidUtf8(word)) std::abort();
            // The last shift of an ISO-2022-JP word returns to ASCII.
            const size_t shift = jis ? word.rfind('\x1B') : std::string::npos;
            if (shift != std::string::npos && word.compare(shift, 3, "\x1B(B") != 0) std::abort();
            out += word;
        } else {
            out += pendingBlank + token;
        }
        pendingBlank.clear();
        lastEncoded = encoded;
        pos = end;
    }
    return out + pendingBlank;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string header = EncodeHeaderText(text, "", 'B', "UTF-8");
    // Between encoded words only CR LF space may break a line.
    for (size_t i = 0; i < header.size(); ++i) {
        if (header[i] == '\n' && (i == 0 || header[i - 1] != '\r' || i + 1 >= header.size() || header[i + 1] != ' '))
            std::abort();
        if (header[i] == '\r' && (i + 1 >= header.size() || header[i + 1] != '\n')) std::abort();
    }
    (void)EncodeHeaderText(text, "()[]<>:;.,@\\\"", 'B', "ISO-8859-1");
    if (!fuzz::IsValidUtf8(text)) return 0;
    std::string expected = text;
    for (char& c : expected)
        if (c == '\r' || c == '\n') c = ' ';
    if (Decode(header) != expected) std::abort();
    // An escape of the text's own would pass through as it is.
    if (text.find('\x1B') == std::string::npos)
        (void)Decode(EncodeHeaderText(text, "", 'B', "ISO-2022-JP"), "=?ISO-2022-JP?B?");
    return 0;
}
