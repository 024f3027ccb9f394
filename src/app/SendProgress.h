// How far the message of a send has got: the byte counts the transport reports while the
// message goes out after DATA, turned into a fraction, a rate and the time left, at most about
// ten times a second; and the size a message will have on the wire, known before it is sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace larkpost {

struct TLpSendProgress {
    int64_t BytesSent = 0;
    // The expected size of the message; never below BytesSent.
    int64_t BytesTotal = 0;
    // 0 to 1; exactly 1 only in the last report of a message that went out whole.
    double Fraction = 0;
    // Average since the message began; 0 until something was sent.
    double BytesPerSecond = 0;
    // -1 while unknown.
    double SecondsLeft = -1;
    double SecondsElapsed = 0;
    // The last report of this message (sent whole, failed or cancelled): hide the display.
    bool Done = false;
};

class TLpProgressMeter {
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    using TSink = std::function<void(const TLpSendProgress&)>;

    explicit TLpProgressMeter(TSink sink, TClock clock = nullptr, int intervalMs = 100);

    // A message of about `expectedTotal` bytes begins; reports 0.
    void Begin(int64_t expectedTotal);
    // `sent` bytes of it are out; reports when the interval has passed since the last report.
    void Update(int64_t sent);
    // The message ended: `whole` when its end-of-data line went out (the last report then has
    // the fraction 1 and the total equal to what was sent). Reports Done once per Begin.
    void End(bool whole);
    bool Active() const noexcept { return m_active; }
    void SetInterval(std::chrono::milliseconds interval) { m_interval = interval; }

private:
    TLpSendProgress Make(bool done, bool whole) const;

    TSink m_sink;
    TClock m_clock;
    std::chrono::milliseconds m_interval;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastReport;
    int64_t m_total = 0;
    int64_t m_sent = 0;
    bool m_active = false;
};

// The size of n bytes in base64 lines of 76 characters, each ending in CR LF.
int64_t Base64LinesSize(int64_t n);

// The size of the message a send makes of these settings on the wire after DATA, up to and
// including the end-of-data line: the quoted-printable body is measured by encoding it, each
// attachment from its file size; header lines and part boundaries are an upper estimate from
// `headerTextSize`, the length of the header texts (addresses, subject, mail agent) together.
int64_t ExpectedMessageSize(const std::vector<std::string>& bodyLines,
                            const std::vector<std::string>& attachmentPaths,
                            int64_t headerTextSize);

// "42%  84.0 MiB of 200.0 MiB  110.5 MiB/s  0:02 left": the terminal's progress line.
std::string FormatProgressLine(const TLpSendProgress& progress);
// "1.5 KiB", "84.0 MiB", "312 B".
std::string FormatBytes(double bytes);

}  // namespace larkpost
