#include "app/ActivityLog.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/CodePage.h"
#include "platform/Paths.h"
#include "platform/SystemError.h"

namespace larkpost {

namespace {

enum class TLogEncoding { Plain, Utf8Bom, Utf16LE, Utf16BE };

std::string FormatTm(const char* format, const std::tm& t) {
    char buffer[128];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &t);
    return std::string(buffer, n);
}

std::u16string Utf16FromBytes(const std::string& bytes, size_t start, bool bigEndian) {
    std::u16string units;
    units.reserve((bytes.size() - start) / 2);
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a)));
    }
    return units;
}

void AppendUtf16Bytes(std::string& out, const std::string& text, bool bigEndian) {
    for (char16_t u : Utf8ToUtf16(text)) {
        const char high = static_cast<char>(u >> 8);
        const char low = static_cast<char>(u & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
}

// The file's text as UTF-8 and the encoding to write it back in.
std::string DecodeLogFile(const std::string& bytes, TLogEncoding& encoding) {
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
        encoding = TLogEncoding::Utf8Bom;
        return BytesToText(std::string_view(bytes).substr(3));
    }
    if (bytes.rfind("\xFF\xFE", 0) == 0) {
        encoding = TLogEncoding::Utf16LE;
        return Utf16ToUtf8(Utf16FromBytes(bytes, 2, false));
    }
    if (bytes.rfind("\xFE\xFF", 0) == 0) {
        encoding = TLogEncoding::Utf16BE;
        return Utf16ToUtf8(Utf16FromBytes(bytes, 2, true));
    }
    encoding = TLogEncoding::Plain;
    return BytesToText(bytes);
}

// Lines end in CR LF, LF or a lone CR; a final line end does not start another line.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string EncodeLogFile(const std::vector<std::string>& lines, TLogEncoding encoding) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    switch (encoding) {
        case TLogEncoding::Plain:
            return text;
        case TLogEncoding::Utf8Bom:
            return "\xEF\xBB\xBF" + text;
        case TLogEncoding::Utf16LE: {
            std::string out = "\xFF\xFE";
            AppendUtf16Bytes(out, text, false);
            return out;
        }
        case TLogEncoding::Utf16BE: {
            std::string out = "\xFE\xFF";
            AppendUtf16Bytes(out, text, true);
            return out;
        }
    }
    return text;
}

}  // namespace

std::string FormatTimeStamp(const std::tm& t, int milliseconds) {
    const std::string date = FormatTm("%x", t);
    if (t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0 && milliseconds == 0) return date;
    return date + " " + FormatTm("%X", t);
}

std::string TimeStamp() {
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    return FormatTimeStamp(local, static_cast<int>(now.tv_usec / 1000));
}

void TActivityLog::Add(const std::string& text) {
    AddLine(Clock() + text);
}

void TActivityLog::AddLine(const std::string& line) {
    m_lines.push_back(line);
    if (OnChange) OnChange();
}

void TActivityLog::Clear() {
    m_lines.clear();
    if (OnChange) OnChange();
}

void TActivityLog::SaveLog(const std::string& fileName) const {
    if (m_lines.empty()) return;
    std::vector<std::string> lines;
    TLogEncoding encoding = TLogEncoding::Plain;
    std::ifstream in(fileName, std::ios::binary);
    // A log that exists but cannot be read must not be replaced by this run's lines alone.
    if (!in && errno != ENOENT) RaiseFileOpenError(fileName, errno);
    if (in) {
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (in.bad()) RaiseFileOpenError(fileName, errno);
        lines = SplitLines(DecodeLogFile(bytes.str(), encoding));
    }
    const size_t f = lines.size();
    const size_t m = m_lines.size();
    if (f + m > kMaxLogFileLines) {
        // The oldest lines go, but never more than this save appends: a file that already held
        // more than the limit keeps its length.
        const size_t drop = std::min({f + m - kMaxLogFileLines, m, f});
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    lines.insert(lines.end(), m_lines.begin(), m_lines.end());
    ReplaceFileAtomically(fileName, EncodeLogFile(lines, encoding));
}

}  // namespace larkpost
