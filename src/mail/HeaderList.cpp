#include "mail/HeaderList.h"

#include "platform/CodePage.h"

namespace larkpost {

namespace {

char Lower(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsControlOrSpace(char ch) {
    return static_cast<unsigned char>(ch) <= 32;
}

std::string_view TrimView(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsControlOrSpace(s[b])) ++b;
    while (e > b && IsControlOrSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string_view TrimLeftView(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && IsControlOrSpace(s[b])) ++b;
    return s.substr(b);
}

bool IsContinuation(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string_view Specials(TLpHeaderQuotingType style) {
    switch (style) {
        case qtMIME:
            return "()<>@,;:\\\"/[]?=";
        case qtHTTP:
            return "()<>@,;:\\\"/[]?={} \t";
        case qtMail:
        default:
            return "()<>@,;:\\\"./";
    }
}

struct TParam {
    std::string Name;
    std::string Value;
    bool Quoted = false;
};

std::vector<TParam> SplitParams(std::string_view header, TLpHeaderQuotingType style) {
    std::vector<TParam> params;
    const std::size_t semi = header.find(';');
    if (semi == std::string_view::npos) return params;
    std::string_view rest = header.substr(semi + 1);
    const std::string_view specials = Specials(style);
    while (!rest.empty()) {
        rest = TrimLeftView(rest);
        if (rest.empty()) break;
        TParam param;
        const std::size_t eq = rest.find('=');
        if (eq == std::string_view::npos) {
            param.Name = std::string(TrimView(rest));
            rest = {};
        } else {
            param.Name = std::string(TrimView(rest.substr(0, eq)));
            rest = TrimLeftView(rest.substr(eq + 1));
            if (!rest.empty() && rest[0] == '"') {
                param.Quoted = true;
                std::size_t i = 1;
                for (; i < rest.size() && rest[i] != '"'; ++i) {
                    if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
                    param.Value += rest[i];
                }
                rest = i < rest.size() ? rest.substr(i + 1) : std::string_view();
                const std::size_t next = rest.find(';');
                rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
            } else {
                std::size_t i = 0;
                while (i < rest.size()) {
                    const unsigned char c = static_cast<unsigned char>(rest[i]);
                    if (c <= 32 || c == 127 || specials.find(rest[i]) != std::string_view::npos)
                        break;
                    ++i;
                }
                param.Value = std::string(rest.substr(0, i));
                if (i < rest.size() && rest[i] == ';') ++i;
                rest = rest.substr(i);
            }
        }
        if (!param.Name.empty() && (param.Quoted || !param.Value.empty())) {
            params.push_back(std::move(param));
        }
    }
    return params;
}

// A CR or LF that does not start a fold (CR LF followed by a blank) would end the header line
// and let the rest of the value stand as a header of its own; it becomes a space instead.
std::string NeutraliseLineBreaks(std::string_view value) {
    std::string out(value);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '\r' && out[i] != '\n') continue;
        if (out[i] == '\r' && i + 2 < out.size() && out[i + 1] == '\n' &&
            (out[i + 2] == ' ' || out[i + 2] == '\t')) {
            i += 2;
            continue;
        }
        out[i] = ' ';
    }
    return out;
}

}  // namespace

TLpHeaderList::TLpHeaderList(TLpHeaderQuotingType quoteType)
    : m_quoteType(quoteType), m_foldLength(quoteType == qtHTTP ? INT_MAX : 78) {}

void TLpHeaderList::SetQuoteType(TLpHeaderQuotingType value) {
    m_quoteType = value;
    m_foldLength = value == qtHTTP ? INT_MAX : 78;
}

std::string TLpHeaderList::Text() const {
    std::string out;
    for (const auto& line : m_lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

int TLpHeaderList::IndexOfHeader(std::string_view name) const {
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const std::string& line = m_lines[i];
        if (IsContinuation(line)) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        if (SameText(std::string_view(line).substr(0, colon), name)) return static_cast<int>(i);
    }
    return -1;
}

std::string TLpHeaderList::GetHeader(std::string_view name) const {
    const int index = IndexOfHeader(name);
    if (index < 0) return {};
    const std::string& first = m_lines[static_cast<std::size_t>(index)];
    std::string value(TrimLeftView(std::string_view(first).substr(first.find(':') + 1)));
    if (m_unfold) {
        for (std::size_t i = static_cast<std::size_t>(index) + 1;
             i < m_lines.size() && IsContinuation(m_lines[i]); ++i) {
            value += ' ';
            value += TrimView(m_lines[i]);
        }
    }
    return std::string(TrimView(value));
}

void TLpHeaderList::DeleteContinuations(std::size_t index) {
    std::size_t end = index + 1;
    while (end < m_lines.size() && IsContinuation(m_lines[end])) ++end;
    m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(index + 1),
                  m_lines.begin() + static_cast<std::ptrdiff_t>(end));
}

void TLpHeaderList::SetHeader(std::string_view name, std::string_view value) {
    int index = IndexOfHeader(name);
    if (value.empty()) {
        if (index < 0) return;
        DeleteContinuations(static_cast<std::size_t>(index));
        m_lines.erase(m_lines.begin() + index);
        return;
    }
    if (index < 0) {
        m_lines.emplace_back();
        index = static_cast<int>(m_lines.size()) - 1;
    }
    const auto at = static_cast<std::size_t>(index);
    DeleteContinuations(at);
    std::string line = std::string(name) + ": " + NeutraliseLineBreaks(value);
    std::vector<std::string> folded;
    if (m_fold) {
        folded = FoldHeaderLine(line, m_foldLength);
    } else {
        folded.push_back(std::move(line));
    }
    m_lines[at] = folded.front();
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at + 1), folded.begin() + 1,
                   folded.end());
}

void TLpHeaderList::SetHeaderParam(std::string_view name, std::string_view param,
                                   std::string_view value) {
    TLpHeaderQuotingType style = m_quoteType;
    const bool contentHeader =
        SameText(name, "Content-Type") || SameText(name, "Content-Disposition");
    if (style == qtMail && contentHeader)
        style = qtMIME;
    else if (style == qtMIME && !contentHeader)
        style = qtMail;
    SetHeader(name, ReplaceParam(GetHeader(name), param, value, style));
}

void TLpHeaderList::AppendLines(const TLpHeaderList& other) {
    if (&other == this) {
        const std::vector<std::string> copy = other.m_lines;
        m_lines.insert(m_lines.end(), copy.begin(), copy.end());
        return;
    }
    m_lines.insert(m_lines.end(), other.m_lines.begin(), other.m_lines.end());
}

std::string MainValue(std::string_view header) {
    return std::string(TrimView(header.substr(0, header.find(';'))));
}

bool HasMediaType(std::string_view header, std::string_view mediaType) {
    const std::string main = MainValue(header);
    if (mediaType.find('/') == std::string_view::npos) {
        const std::string prefix = std::string(mediaType) + "/";
        return main.size() >= prefix.size() &&
               SameText(std::string_view(main).substr(0, prefix.size()), prefix);
    }
    return SameText(main, mediaType);
}

std::string ParamValue(std::string_view header, std::string_view param,
                       TLpHeaderQuotingType style) {
    for (const auto& p : SplitParams(header, style)) {
        if (SameText(p.Name, param)) return p.Value;
    }
    return {};
}

std::string ReplaceParam(std::string_view header, std::string_view param, std::string_view value,
                         TLpHeaderQuotingType style, std::string* oldValue) {
    std::vector<TParam> params = SplitParams(header, style);
    std::size_t found = params.size();
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (SameText(params[i].Name, param)) {
            found = i;
            break;
        }
    }
    if (oldValue) *oldValue = found < params.size() ? params[found].Value : std::string();
    const std::string_view newValue = TrimView(value);
    if (newValue.empty() && found == params.size()) return std::string(header);
    if (newValue.empty()) {
        params.erase(params.begin() + static_cast<std::ptrdiff_t>(found));
    } else if (found == params.size()) {
        params.push_back({std::string(param), std::string(newValue), false});
    } else {
        params[found].Value = std::string(newValue);
    }
    std::string result = MainValue(header);
    if (result.empty()) return {};
    for (const auto& p : params) {
        result += "; ";
        result += p.Name;
        result += '=';
        result += QuoteParamValue(p.Value, p.Quoted, style);
    }
    return result;
}

std::string RemoveParam(std::string_view header, std::string_view param, TLpHeaderQuotingType style,
                        std::string* oldValue) {
    return ReplaceParam(header, param, {}, style, oldValue);
}

std::string QuoteParamValue(std::string_view value, bool force, TLpHeaderQuotingType style) {
    const std::string_view specials = Specials(style);
    bool quote = force;
    std::string out;
    out.reserve(value.size() + 2);
    for (char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (ch == '\\' || ch == '"' || (ch == '\r' && style != qtHTTP)) {
            out += '\\';
            quote = true;
        } else if (c <= 32 || c == 127 || specials.find(ch) != std::string_view::npos) {
            quote = true;
        }
        out += ch;
    }
    return quote ? "\"" + out + "\"" : out;
}

// Positions count from 1 as in the classic wrapping routine this reproduces: breaks fall after
// the last break character before maxCol, never inside double quotes, and breaks already in the
// line are kept. Columns count characters as they reach the wire, not UTF-8 bytes: one per
// character, two outside the BMP (a header line goes out in 7-bit text, one "?" per UTF-16 unit).
std::string WrapLine(std::string_view line, std::string_view breakStr, std::string_view breakChars,
                     int maxCol) {
    const long length = static_cast<long>(line.size());
    std::vector<unsigned char> width(line.size(), 1);
    for (std::size_t i = 0; i < line.size();) {
        char32_t cp;
        const std::size_t bytes = DecodeUtf8At(line, i, cp);
        if (bytes <= 1) {
            ++i;
            continue;
        }
        width[i] = cp >= 0x10000 ? 2 : 1;
        for (std::size_t k = 1; k < bytes; ++k) width[i + k] = 0;
        i += bytes;
    }
    auto columns = [&](long from, long to) {  // inclusive, 1-based
        long sum = 0;
        for (long pos = from; pos <= to; ++pos) sum += width[static_cast<std::size_t>(pos - 1)];
        return sum;
    };
    auto at = [&](long pos) { return line[static_cast<std::size_t>(pos - 1)]; };
    auto isBreakChar = [&](char ch) { return breakChars.find(ch) != std::string_view::npos; };
    auto copy = [&](long from, long to) {  // inclusive, 1-based
        if (to < from) return std::string_view();
        return line.substr(static_cast<std::size_t>(from - 1),
                           static_cast<std::size_t>(to - from + 1));
    };
    const char breakFirst = breakStr.empty() ? '\0' : breakStr[0];
    const long breakLen = static_cast<long>(breakStr.size());

    std::string result;
    long col = 1, pos = 1, start = 1, breakPos = 0;
    bool inQuote = false, existingBreak = false;
    while (pos <= length) {
        const char ch = at(pos);
        if (ch != breakFirst) {
            if (isBreakChar(ch) && !inQuote) {
                breakPos = pos;
            } else if (ch == '"') {
                inQuote = !inQuote;
            }
        } else if (!inQuote) {
            existingBreak =
                pos + breakLen - 1 <= length && SameText(copy(pos, pos + breakLen - 1), breakStr);
            if (existingBreak) {
                pos += breakLen - 1;
                breakPos = pos;
            }
        }
        col += width[static_cast<std::size_t>(pos - 1)];
        ++pos;
        if (inQuote) continue;
        if (!existingBreak && (col <= maxCol || breakPos <= start)) continue;

        col = 1 + columns(breakPos + 1, pos - 1);
        result += copy(start, breakPos);
        if (ch != '"') {
            while (pos <= length && (isBreakChar(at(pos)) || at(pos) == '\r' || at(pos) == '\n'))
                ++pos;
            if (!existingBreak && pos < length) result += breakStr;
        }
        ++breakPos;
        start = breakPos;
        existingBreak = false;
    }
    result += copy(start, length);
    return result;
}

std::vector<std::string> FoldHeaderLine(std::string_view line, int width) {
    const std::string wrapped = WrapLine(line, "\r\n ", "\t ,", width);
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (true) {
        const std::size_t crlf = wrapped.find("\r\n", from);
        std::string_view piece = std::string_view(wrapped).substr(
            from, crlf == std::string::npos ? std::string::npos : crlf - from);
        while (!piece.empty() && IsControlOrSpace(piece.back())) piece.remove_suffix(1);
        // A blank piece would be an empty line, which ends the header block: drop it.
        if (lines.empty() || !piece.empty()) lines.emplace_back(piece);
        if (crlf == std::string::npos) break;
        from = crlf + 2;
    }
    // A first word too long for the first line (an encoded word after "Subject: ") would leave
    // the name alone there, and readers then take the fold's blank for the value's first
    // character: the word stays beside the name.
    if (lines.size() > 1 && lines[0].find(':') + 1 == lines[0].size()) {
        lines[0] += lines[1];
        lines.erase(lines.begin() + 1);
    }
    // No line may pass 998 octets (RFC 5322, 2.1.1). Text the program encodes never comes near;
    // a value with no blank to fold at (a mail-agent name, an address) is cut between two
    // characters instead, and reads with a blank there.
    constexpr std::size_t kLongestLine = 998;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() <= kLongestLine) continue;
        std::size_t cut = kLongestLine;
        while (cut > 1 && (static_cast<unsigned char>(lines[i][cut]) & 0xC0) == 0x80) --cut;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i + 1), " " + lines[i].substr(cut));
        lines[i].resize(cut);
    }
    return lines;
}

}  // namespace larkpost
