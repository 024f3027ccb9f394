#include "app/SendProgress.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "mail/Encoders.h"

namespace larkpost {

namespace {

// What a header block and a part's header lines and boundaries may take beyond the texts they
// carry: the fixed header names, the Date, the boundaries and the Content-* lines. An encoded
// word can take three bytes per byte of text, and folding adds a few more.
constexpr int64_t kHeaderBlockOverhead = 1024;
constexpr int64_t kPartOverhead = 512;
constexpr int64_t kEncodedTextFactor = 4;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

TLpProgressMeter::TLpProgressMeter(TSink sink, TClock clock, int intervalMs)
    : m_sink(std::move(sink)),
      m_clock(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }),
      m_interval(intervalMs) {}

void TLpProgressMeter::Begin(int64_t expectedTotal) {
    m_total = std::max<int64_t>(expectedTotal, 0);
    m_sent = 0;
    m_start = m_lastReport = m_clock();
    m_active = true;
    if (m_sink) m_sink(Make(false, false));
}

void TLpProgressMeter::Update(int64_t sent) {
    m_sent = sent;
    if (!m_active) return;
    const auto now = m_clock();
    if (now - m_lastReport < m_interval) return;
    m_lastReport = now;
    if (m_sink) m_sink(Make(false, false));
}

void TLpProgressMeter::End(bool whole) {
    if (!m_active) return;
    m_active = false;
    if (m_sink) m_sink(Make(true, whole));
}

TLpSendProgress TLpProgressMeter::Make(bool done, bool whole) const {
    TLpSendProgress p;
    p.BytesSent = m_sent;
    // An estimate that fell short grows with what was sent; a finished message is as long as
    // what went out.
    p.BytesTotal = whole ? m_sent : std::max(m_total, m_sent);
    p.Done = done;
    p.SecondsElapsed = Seconds(m_clock() - m_start);
    if (whole) {
        p.Fraction = 1;
    } else if (p.BytesTotal > 0) {
        // Short of 1 until the end-of-data line is out: the estimate may be a little high.
        p.Fraction = std::min(static_cast<double>(m_sent) / static_cast<double>(p.BytesTotal),
                              0.999);
    }
    if (p.SecondsElapsed > 0 && m_sent > 0) {
        p.BytesPerSecond = static_cast<double>(m_sent) / p.SecondsElapsed;
        p.SecondsLeft = static_cast<double>(p.BytesTotal - m_sent) / p.BytesPerSecond;
    }
    return p;
}

int64_t Base64LinesSize(int64_t n) {
    if (n <= 0) return 0;
    const int64_t chars = (n + 2) / 3 * 4;
    const int64_t lines = (chars + 75) / 76;
    return chars + 2 * lines;
}

int64_t ExpectedMessageSize(const std::vector<std::string>& bodyLines,
                            const std::vector<std::string>& attachmentPaths,
                            int64_t headerTextSize) {
    int64_t size = kHeaderBlockOverhead + kEncodedTextFactor * headerTextSize;
    // The body goes out as the writer sends it: its lines joined with CR LF, quoted-printable,
    // every line ending in CR LF (a leading full stop is already "=2E", so nothing is stuffed).
    std::string text;
    for (const std::string& line : bodyLines) {
        text += line;
        text += "\r\n";
    }
    const std::string encoded = EncodeQuotedPrintableText(text);
    size += kPartOverhead + static_cast<int64_t>(encoded.size());
    if (!encoded.empty() && encoded.back() != '\n') size += 2;
    for (const std::string& path : attachmentPaths) {
        std::error_code error;
        const auto bytes = std::filesystem::file_size(path, error);
        size += kPartOverhead + kEncodedTextFactor * static_cast<int64_t>(path.size());
        if (!error) size += Base64LinesSize(static_cast<int64_t>(bytes));
    }
    // The end-of-data line.
    return size + 3;
}

std::string FormatBytes(double bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
        return text;
    }
    int unit = -1;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string FormatProgressLine(const TLpSendProgress& p) {
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(p.Fraction * 100 + 1e-9));
    std::string line = std::string(percent) + "  " + FormatBytes(static_cast<double>(p.BytesSent)) +
                       " of " + FormatBytes(static_cast<double>(p.BytesTotal));
    if (p.BytesPerSecond > 0) line += "  " + FormatBytes(p.BytesPerSecond) + "/s";
    if (p.SecondsLeft >= 0) {
        const long long left = static_cast<long long>(p.SecondsLeft + 0.5);
        char time[32];
        if (left >= 3600)
            std::snprintf(time, sizeof time, "%lld:%02lld:%02lld", left / 3600, left / 60 % 60,
                          left % 60);
        else
            std::snprintf(time, sizeof time, "%lld:%02lld", left / 60, left % 60);
        line += std::string("  ") + time + " left";
    }
    return line;
}

}  // namespace larkpost
