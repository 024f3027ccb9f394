#include "app/BodyFile.h"

#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/FileWrite.h"
#include "platform/Paths.h"
#include "platform/SystemError.h"

namespace larkpost {

namespace {

// ---- code pages -------------------------------------------------------------------------

std::string ConvertWithIconv(std::string_view bytes, int codePage) {
    const std::string from = "CP" + std::to_string(codePage);
    iconv_t cd = ::iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return Windows1252ToUtf8(bytes);
    std::string out;
    std::string in(bytes);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t r = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // A byte the code page does not know, or a sequence cut short: mark it and go on.
        AppendUtf8(out, 0xFFFD);
        ++inPtr;
        --inLeft;
    }
    ::iconv_close(cd);
    return out;
}

std::string DecodeCodePage(std::string_view bytes, int codePage) {
    if (codePage == 65001) return BytesToText(bytes);
    if (codePage <= 0 || codePage == 1252 || codePage == 42 /* symbol fonts */)
        return Windows1252ToUtf8(bytes);
    return ConvertWithIconv(bytes, codePage);
}

// The code page a font's \fcharset implies; 0 for "the document's".
int CodePageOfCharset(int charset) {
    switch (charset) {
        case 0: return 1252;
        case 2: return 42;
        case 128: return 932;
        case 129: return 949;
        case 134: return 936;
        case 136: return 950;
        case 161: return 1253;
        case 162: return 1254;
        case 163: return 1258;
        case 177: return 1255;
        case 178: return 1256;
        case 186: return 1257;
        case 204: return 1251;
        case 222: return 874;
        case 238: return 1250;
        default: return 0;
    }
}

// ---- reading rich text ------------------------------------------------------------------

enum class Dest { Text, Skip, FontTable };

struct Group {
    Dest dest = Dest::Text;
    int unicodeSkip = 1;  // \ucN: fallback characters after each \uN
    int codePage = 0;     // from the current font; 0 means the document's
};

// Destinations whose content is not part of the document's text.
bool IsSkippedDestination(std::string_view word) {
    static const char* const kSkipped[] = {
        "colortbl", "stylesheet", "info", "pict", "object", "header", "headerl", "headerr",
        "headerf", "footer", "footerl", "footerr", "footerf", "footnote", "fldinst",
        "themedata", "colorschememapping", "latentstyles", "datastore", "xmlnstbl",
        "listtable", "listoverridetable", "rsidtbl", "generator", "mmathPr", "pgdsctbl",
        "filetbl", "revtbl", "private", "template", "userprops", "docvar", "nonshppict",
        "shppict", "pntext", "pntxta", "pntxtb", "listtext", "xe", "tc", "bkmkstart",
        "bkmkend", "atnid", "atnauthor", "annotation", "comment", "author", "operator",
        "title", "subject", "keywords", "doccomm", "company", "buptim", "creatim", "revtim",
        "printim", "sp", "sn", "sv",
    };
    for (const char* s : kSkipped)
        if (word == s) return true;
    return false;
}

class RtfReader {
public:
    explicit RtfReader(std::string_view rtf) : m_in(rtf) {}

    std::vector<std::string> Read() {
        m_groups.push_back(Group{});
        bool started = false;
        while (m_pos < m_in.size()) {
            const char c = m_in[m_pos++];
            if (c == '{') {
                FlushBytes();
                m_pendingSkip = 0;
                if (started) {
                    m_groups.push_back(m_groups.back());
                    if (m_groups.back().dest == Dest::FontTable) m_fontInGroup = -1;
                }
                started = true;
            } else if (c == '}') {
                FlushBytes();
                m_pendingSkip = 0;
                if (m_groups.size() <= 1) break;  // the document's own group closed
                m_groups.pop_back();
            } else if (c == '\\') {
                ControlSequence();
            } else if (c == '\r' || c == '\n') {
                // Line breaks in the file carry no meaning in rich text.
            } else if (!SkipFallback() && InText()) {
                if (c == '\t') AddText("\t");
                else if (static_cast<uint8_t>(c) >= 0x20) AddByte(static_cast<uint8_t>(c));
            }
        }
        FlushBytes();
        FlushSurrogate();
        if (!m_line.empty()) m_lines.push_back(m_line);
        return std::move(m_lines);
    }

private:
    Group& Current() { return m_groups.back(); }
    bool InText() const { return m_groups.back().dest == Dest::Text; }

    // A character that stands in for the preceding \uN is dropped.
    bool SkipFallback() {
        if (m_pendingSkip <= 0) return false;
        --m_pendingSkip;
        return true;
    }

    int EffectiveCodePage() const {
        return m_groups.back().codePage ? m_groups.back().codePage : m_documentCodePage;
    }

    void FlushBytes() {
        if (m_bytes.empty()) return;
        FlushSurrogate();
        m_line += DecodeCodePage(m_bytes, m_bytesCodePage);
        m_bytes.clear();
    }

    void AddByte(uint8_t b) {
        const int cp = EffectiveCodePage();
        if (!m_bytes.empty() && cp != m_bytesCodePage) FlushBytes();
        m_bytesCodePage = cp;
        m_bytes += static_cast<char>(b);
    }

    void FlushSurrogate() {
        if (!m_highSurrogate) return;
        AppendUtf8(m_line, 0xFFFD);
        m_highSurrogate = 0;
    }

    void AddCodePoint(char32_t cp) {
        FlushBytes();
        if (cp >= 0xDC00 && cp <= 0xDFFF && m_highSurrogate) {
            AppendUtf8(m_line, 0x10000 + ((m_highSurrogate - 0xD800) << 10) + (cp - 0xDC00));
            m_highSurrogate = 0;
            return;
        }
        FlushSurrogate();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            m_highSurrogate = cp;
            return;
        }
        AppendUtf8(m_line, cp);
    }

    void AddText(std::string_view utf8) {
        FlushBytes();
        FlushSurrogate();
        m_line += utf8;
    }

    void EndLine() {
        FlushBytes();
        FlushSurrogate();
        m_lines.push_back(std::move(m_line));
        m_line.clear();
    }

    static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static int HexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    void ControlSequence() {
        if (m_pos >= m_in.size()) return;
        const char c = m_in[m_pos];
        if (!IsLetter(c)) {
            ++m_pos;
            ControlSymbol(c);
            return;
        }
        const size_t start = m_pos;
        while (m_pos < m_in.size() && IsLetter(m_in[m_pos]) && m_pos - start < 32) ++m_pos;
        const std::string_view word = m_in.substr(start, m_pos - start);
        bool hasParam = false;
        bool negative = false;
        long param = 0;
        if (m_pos < m_in.size() && m_in[m_pos] == '-') {
            negative = true;
            ++m_pos;
        }
        while (m_pos < m_in.size() && m_in[m_pos] >= '0' && m_in[m_pos] <= '9') {
            hasParam = true;
            if (param < 100000000) param = param * 10 + (m_in[m_pos] - '0');
            ++m_pos;
        }
        if (negative) param = -param;
        if (m_pos < m_in.size() && m_in[m_pos] == ' ') ++m_pos;
        ControlWord(word, hasParam, param);
    }

    void ControlSymbol(char c) {
        if (c == '\'') {
            if (m_pos + 2 > m_in.size()) {
                m_pos = m_in.size();
                return;
            }
            const int hi = HexValue(m_in[m_pos]), lo = HexValue(m_in[m_pos + 1]);
            m_pos += 2;
            if (SkipFallback() || !InText() || hi < 0 || lo < 0) return;
            AddByte(static_cast<uint8_t>(hi << 4 | lo));
            return;
        }
        if (c == '*') {
            Current().dest = Dest::Skip;
            return;
        }
        if (SkipFallback()) return;
        if (!InText()) return;
        switch (c) {
            case '\\': case '{': case '}': AddByte(static_cast<uint8_t>(c)); break;
            case '~': AddCodePoint(0xA0); break;
            case '_': AddCodePoint(0x2011); break;
            case '\r': case '\n': EndLine(); break;
            case '\t': AddText("\t"); break;
            default: break;  // \- optional hyphen, \: index entries, ...
        }
    }

    void ControlWord(std::string_view w, bool hasParam, long param) {
        Group& g = Current();
        if (w == "bin") {
            // Binary data follows; it is never text.
            const size_t n = hasParam && param > 0 ? static_cast<size_t>(param) : 0;
            m_pos = std::min(m_in.size(), m_pos + n);
            return;
        }
        if (w == "fonttbl") {
            g.dest = Dest::FontTable;
            return;
        }
        if (IsSkippedDestination(w)) {
            g.dest = Dest::Skip;
            return;
        }
        if (g.dest == Dest::FontTable) {
            if (w == "f" && hasParam) m_fontInGroup = static_cast<int>(param);
            else if (w == "fcharset" && hasParam && m_fontInGroup >= 0)
                m_fontCodePages[m_fontInGroup] = CodePageOfCharset(static_cast<int>(param));
            else if (w == "cpg" && hasParam && m_fontInGroup >= 0)
                m_fontCodePages[m_fontInGroup] = static_cast<int>(param);
            return;
        }
        if (w == "ansicpg" && hasParam) {
            m_documentCodePage = static_cast<int>(param);
            return;
        }
        if (w == "uc" && hasParam) {
            g.unicodeSkip = static_cast<int>(std::max(0L, param));
            return;
        }
        if (w == "f" && hasParam) {
            const auto it = m_fontCodePages.find(static_cast<int>(param));
            g.codePage = it != m_fontCodePages.end() ? it->second : 0;
            return;
        }
        if (w == "plain" || w == "pard") return;
        if (g.dest != Dest::Text) return;
        if (w == "u" && hasParam) {
            if (SkipFallback()) return;
            AddCodePoint(static_cast<char32_t>(param < 0 ? param + 65536 : param) & 0xFFFF);
            m_pendingSkip = g.unicodeSkip;
            return;
        }
        if (SkipFallback()) return;
        if (w == "par" || w == "line" || w == "sect" || w == "page" || w == "row") EndLine();
        else if (w == "tab" || w == "cell") AddText("\t");
        else if (w == "emdash") AddCodePoint(0x2014);
        else if (w == "endash") AddCodePoint(0x2013);
        else if (w == "emspace") AddCodePoint(0x2003);
        else if (w == "enspace") AddCodePoint(0x2002);
        else if (w == "qmspace") AddCodePoint(0x2005);
        else if (w == "bullet") AddCodePoint(0x2022);
        else if (w == "lquote") AddCodePoint(0x2018);
        else if (w == "rquote") AddCodePoint(0x2019);
        else if (w == "ldblquote") AddCodePoint(0x201C);
        else if (w == "rdblquote") AddCodePoint(0x201D);
        else if (w == "zwj") AddCodePoint(0x200D);
        else if (w == "zwnj") AddCodePoint(0x200C);
    }

    std::string_view m_in;
    size_t m_pos = 0;
    std::vector<Group> m_groups;
    std::vector<std::string> m_lines;
    std::string m_line;
    std::string m_bytes;  // code-page bytes not yet decoded
    int m_bytesCodePage = 1252;
    int m_documentCodePage = 1252;
    int m_pendingSkip = 0;
    char32_t m_highSurrogate = 0;
    int m_fontInGroup = -1;
    std::map<int, int> m_fontCodePages;
};

// ---- plain text -------------------------------------------------------------------------

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
        units += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    return Utf16ToUtf8(units);
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(pos));
            break;
        }
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }
    return lines;
}

std::vector<std::string> PlainTextLines(std::string_view bytes) {
    if (bytes.substr(0, 2) == "\xFF\xFE") return SplitLines(DecodeUtf16(bytes.substr(2), false));
    if (bytes.substr(0, 2) == "\xFE\xFF") return SplitLines(DecodeUtf16(bytes.substr(2), true));
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return SplitLines(BytesToText(bytes.substr(3)));
    return SplitLines(BytesToText(bytes));
}

// ---- writing rich text ------------------------------------------------------------------

// The Windows-1252 byte of a code point, or 0 when the code page has none.
uint8_t Cp1252ByteOf(char32_t cp) {
    if (cp >= 0xA0 && cp <= 0xFF) return static_cast<uint8_t>(cp);
    static const std::map<char32_t, uint8_t> kHigh = [] {
        std::map<char32_t, uint8_t> m;
        for (int b = 0x80; b < 0xA0; ++b) {
            const std::u16string u = Utf8ToUtf16(Windows1252ToUtf8(std::string(1, char(b))));
            if (u.size() == 1 && u[0] >= 0x100) m[u[0]] = static_cast<uint8_t>(b);
        }
        return m;
    }();
    const auto it = kHigh.find(cp);
    return it != kHigh.end() ? it->second : 0;
}

void AppendHexByte(std::string& out, uint8_t b) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\'";
    out += kHex[b >> 4];
    out += kHex[b & 15];
}

void AppendUnicodeUnit(std::string& out, char16_t unit) {
    out += "\\u";
    out += std::to_string(static_cast<int16_t>(unit));
}

void AppendRtfLine(std::string& out, std::string_view line) {
    const std::u16string units = Utf8ToUtf16(line);
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u == '\\' || u == '{' || u == '}') {
            out += '\\';
            out += static_cast<char>(u);
        } else if (u == '\t') {
            out += "\\tab ";
        } else if (u == '\r' || u == '\n') {
            if (u == '\r' && i + 1 < units.size() && units[i + 1] == '\n') ++i;
            out += "\\line\r\n";
        } else if (u < 0x20) {
            // Kept as a byte escape: an editor shows something odd, but nothing is lost.
            AppendHexByte(out, static_cast<uint8_t>(u));
        } else if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size()) {
            // Outside the BMP: a surrogate pair of \uN, each with one "?" for older readers.
            AppendUnicodeUnit(out, u);
            out += '?';
            AppendUnicodeUnit(out, units[++i]);
            out += '?';
        } else {
            AppendUnicodeUnit(out, u);
            const uint8_t b = Cp1252ByteOf(u);
            if (b) AppendHexByte(out, b);
            else out += '?';
        }
    }
}

std::string ReadWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) RaiseFileOpenError(path, errno);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;  // EISDIR for a folder
            ::close(fd);
            RaiseFileOpenError(path, error);
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

}  // namespace

bool IsRtf(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return bytes.substr(0, 5) == "{\\rtf";
}

std::vector<std::string> RtfToLines(std::string_view rtf) {
    if (rtf.substr(0, 3) == "\xEF\xBB\xBF") rtf.remove_prefix(3);
    return RtfReader(rtf).Read();
}

std::string LinesToRtf(const std::vector<std::string>& lines) {
    std::string out =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}}\r\n"
        "\\viewkind4\\pard\\f0\\fs20 ";
    for (const std::string& line : lines) {
        AppendRtfLine(out, line);
        out += "\\par\r\n";
    }
    out += "}\r\n";
    return out;
}

std::vector<std::string> LoadBodyFile(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    if (IsRtf(bytes)) return RtfToLines(bytes);
    return PlainTextLines(bytes);
}

void SaveBodyFile(const std::string& path, const std::vector<std::string>& lines) {
    ReplaceFileAtomically(path, LinesToRtf(lines));
}

}  // namespace larkpost
