// The progress of a message: the meter's reports (how often, fraction, rate, time left), the
// expected size of a message on the wire, the progress line and its drawing on a terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "app/SendProgress.h"
#include "app/TerminalProgress.h"

namespace larkpost {
namespace {

using namespace std::chrono;

struct TMeterRun {
    TMeterRun() : meter([this](const TLpSendProgress& p) { reports.push_back(p); }, [this] { return now; }) {}
    void Advance(int ms) { now += milliseconds(ms); }

    steady_clock::time_point now{};
    std::vector<TLpSendProgress> reports;
    TLpProgressMeter meter;
};

TEST(ProgressMeter, ReportsAtMostEveryHundredMillisecondsAndEndsAtOne) {
    TMeterRun run;
    run.meter.Begin(1000);
    ASSERT_EQ(run.reports.size(), 1u);
    EXPECT_EQ(run.reports[0].BytesSent, 0);
    for (int i = 1; i <= 9; ++i) {
        run.Advance(10);
        run.meter.Update(i * 10);
    }
    EXPECT_EQ(run.reports.size(), 1u) << "90 ms: nothing more";
    run.Advance(10);
    run.meter.Update(100);
    ASSERT_EQ(run.reports.size(), 2u);
    const TLpSendProgress& p = run.reports[1];
    EXPECT_EQ(p.BytesSent, 100);
    EXPECT_EQ(p.BytesTotal, 1000);
    EXPECT_DOUBLE_EQ(p.Fraction, 0.1);
    EXPECT_DOUBLE_EQ(p.BytesPerSecond, 1000);  // 100 bytes in 0.1 s
    EXPECT_DOUBLE_EQ(p.SecondsLeft, 0.9);
    EXPECT_FALSE(p.Done);

    // An estimate that fell short: the total grows with what was sent, short of 1 until the end.
    run.Advance(100);
    run.meter.Update(1200);
    EXPECT_EQ(run.reports.back().BytesTotal, 1200);
    EXPECT_LT(run.reports.back().Fraction, 1);
    run.meter.End(true);
    EXPECT_TRUE(run.reports.back().Done);
    EXPECT_EQ(run.reports.back().Fraction, 1);
    EXPECT_EQ(run.reports.back().BytesTotal, 1200);
    run.meter.End(true);
    EXPECT_EQ(run.reports.size(), 4u) << "one Done per message";
}

TEST(ProgressMeter, AMessageThatDidNotGoOutWholeEndsShortOfOne) {
    TMeterRun run;
    run.meter.Begin(1000);
    run.Advance(200);
    run.meter.Update(400);
    run.meter.End(false);
    EXPECT_TRUE(run.reports.back().Done);
    EXPECT_DOUBLE_EQ(run.reports.back().Fraction, 0.4);
    run.meter.Update(500);
    EXPECT_EQ(run.reports.size(), 3u) << "nothing after the end";
}

TEST(MessageSize, Base64LinesOf76ColumnsEachWithCrLf) {
    struct Case {
        int64_t in;
        int64_t out;
    };
    // 57 bytes fill one 76-column line exactly.
    const Case cases[] = {{0, 0}, {1, 6}, {3, 6}, {4, 10}, {57, 78}, {58, 84}, {114, 156}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Base64LinesSize(c.in), c.out);
    }
}

TEST(MessageSize, BodyIsMeasuredExactlyAndAttachmentsFromTheirFiles) {
    TTempDir dir;
    const std::string file = dir.Dir() + "data.bin";
    std::ofstream(file, std::ios::binary) << std::string(100000, 'x');
    const int64_t none = ExpectedMessageSize({}, {}, 0);
    // "a=3Db\r\n" and, for a leading full stop, "=2Ec\r\n": 13 bytes against the 2 of "\r\n".
    EXPECT_EQ(ExpectedMessageSize({"a=b", ".c"}, {}, 0) - ExpectedMessageSize({""}, {}, 0), 11);
    const int64_t withFile = ExpectedMessageSize({}, {file}, 0);
    EXPECT_GE(withFile - none, Base64LinesSize(100000));
    EXPECT_LE(withFile - none, Base64LinesSize(100000) + 1024);
    EXPECT_EQ(ExpectedMessageSize({}, {dir.Dir() + "gone.bin"}, 0) - none, 512 + 4 * (static_cast<int64_t>(dir.Dir().size()) + 8))
        << "a file that cannot be measured adds its part's lines only";
}

TEST(ProgressLine, ShowsPercentBytesRateAndTimeLeft) {
    struct Case {
        const char* name;
        TLpSendProgress p;
        const char* line;
    };
    auto make = [](int64_t sent, int64_t total, double rate, double left) {
        TLpSendProgress p;
        p.BytesSent = sent;
        p.BytesTotal = total;
        p.Fraction = total ? static_cast<double>(sent) / static_cast<double>(total) : 0;
        p.BytesPerSecond = rate;
        p.SecondsLeft = left;
        return p;
    };
    const Case cases[] = {
        {"start", make(0, 2048, 0, -1), "  0%  0 B of 2.0 KiB"},
        {"mega", make(88080384, 209715200, 115867648, 1.05), " 42%  84.0 MiB of 200.0 MiB  110.5 MiB/s  0:01 left"},
        {"an hour and more", make(1024, 1 << 30, 200000, 3725), "  0%  1.0 KiB of 1.0 GiB  195.3 KiB/s  1:02:05 left"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FormatProgressLine(c.p), c.line);
    }
}

// What the terminal progress writes, read back from a pipe.
std::string Drawn(const std::vector<TLpSendProgress>& reports, bool force) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    {
        TLpTerminalProgress terminal(fds[1], force);
        for (const auto& p : reports) terminal.Show(p);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    close(fds[0]);
    return out;
}

TEST(TerminalProgress, DrawsInPlaceAfterASecondAndErasesWhenDone) {
    TLpSendProgress early;
    early.BytesSent = 1024;
    early.BytesTotal = 4096;
    early.Fraction = 0.25;
    early.SecondsElapsed = 0.5;
    TLpSendProgress later = early;
    later.BytesSent = 3072;
    later.Fraction = 0.75;
    later.SecondsElapsed = 1.5;
    later.BytesPerSecond = 2048;
    later.SecondsLeft = 0.5;
    TLpSendProgress shorter = later;
    shorter.BytesPerSecond = 0;
    shorter.SecondsLeft = -1;
    TLpSendProgress done = later;
    done.Done = true;

    const std::string line1 = " 75%  3.0 KiB of 4.0 KiB  2.0 KiB/s  0:01 left";
    const std::string line2 = " 75%  3.0 KiB of 4.0 KiB";
    EXPECT_EQ(Drawn({early, later, shorter, done}, true),
              "\r" + line1 + "\r" + line2 + std::string(line1.size() - line2.size(), ' ') + "\r" +
                  std::string(line1.size(), ' ') + "\r");
    EXPECT_EQ(Drawn({early, done}, true), "") << "a quick send shows nothing";
    EXPECT_EQ(Drawn({early, later, done}, false), "") << "a pipe is no terminal";
}

}  // namespace
}  // namespace larkpost
