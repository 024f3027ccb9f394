// The activity log's time stamp and the Larkpost.log append with its 5000-line limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <thread>

#include "TempDir.h"
#include "app/ActivityLog.h"
#include "platform/SystemError.h"

namespace larkpost {
namespace {

std::tm At(int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 10;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(TimeStamp, ShortDateAndLongTimeExceptAtMidnight) {
    std::setlocale(LC_TIME, "C");
    EXPECT_EQ(FormatTimeStamp(At(14, 21, 12), 0), "12/10/26 14:21:12");
    EXPECT_EQ(FormatTimeStamp(At(0, 0, 0), 0), "12/10/26");
    EXPECT_EQ(FormatTimeStamp(At(0, 0, 0), 1), "12/10/26 00:00:00");
    EXPECT_EQ(FormatTimeStamp(At(0, 0, 1), 0), "12/10/26 00:00:01");
}

TEST(ActivityLog, LinesAreTimeStampAndText) {
    TActivityLog log;
    log.Clock = [] { return std::string("TS"); };
    int changes = 0;
    log.OnChange = [&] { ++changes; };
    log.AddLine("");
    log.Add(" Message sent successfully.");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"", "TS Message sent successfully."}));
    EXPECT_EQ(changes, 2);
}

std::string Numbered(const char* prefix, int from, int count) {
    std::string text;
    for (int i = from; i < from + count; ++i) text += prefix + std::to_string(i) + "\r\n";
    return text;
}

TEST(ActivityLog, SaveKeepsAtMost5000LinesDroppingTheOldest) {
    struct Case {
        const char* name;
        int fileLines;
        int newLines;
        int resultLines;
        int firstOld;
    };
    // firstOld: number of the oldest file line kept (-1 when none is kept).
    const Case cases[] = {
        {"no file yet", 0, 20, 20, -1},
        {"fits exactly", 4999, 1, 5000, 0},
        {"one over", 5000, 1, 5000, 1},
        {"file over the limit", 5001, 1, 5001, 1},
        {"4990 and 20", 4990, 20, 5000, 10},
        {"6000 and 20", 6000, 20, 6000, 20},
        {"log alone over the limit", 0, 6000, 6000, -1},
        {"log over, file small", 10, 5001, 5001, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTempDir dir;
        if (c.fileLines > 0) dir.Write("Larkpost.log", Numbered("old ", 0, c.fileLines));
        TActivityLog log;
        for (int i = 0; i < c.newLines; ++i) log.AddLine("new " + std::to_string(i));
        log.SaveLog(dir.File("Larkpost.log"));

        const std::string text = dir.Read("Larkpost.log");
        size_t lines = 0;
        for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2))
            ++lines;
        EXPECT_EQ(lines, static_cast<size_t>(c.resultLines));
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        const std::string first = c.firstOld < 0 ? "new 0" : "old " + std::to_string(c.firstOld);
        EXPECT_EQ(text.substr(0, text.find("\r\n")), first);
        EXPECT_NE(text.find("new " + std::to_string(c.newLines - 1) + "\r\n"), std::string::npos);
    }
}

TEST(ActivityLog, EmptyLogLeavesTheFileAlone) {
    TTempDir dir;
    TActivityLog().SaveLog(dir.File("Larkpost.log"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("Larkpost.log")));
}

TEST(ActivityLog, KeepsTheFilesByteOrderMark) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;
    };
    const std::string u16le = std::string("\xFF\xFE", 2) + std::string("a\0\r\0\n\0", 6);
    const std::string u16be = std::string("\xFE\xFF", 2) + std::string("\0a\0\r\0\n", 6);
    const Case cases[] = {
        {"utf-8 mark",
         "\xEF\xBB\xBF"
         "a\r\n",
         "\xEF\xBB\xBF"
         "a\r\n\xC3\xA9\r\n"},
        {"utf-16 le", u16le, u16le + std::string("\xE9\0\r\0\n\0", 6)},
        {"utf-16 be", u16be, u16be + std::string("\0\xE9\0\r\0\n", 6)},
        {"windows-1252 read, written as utf-8", "caf\xE9\n", "caf\xC3\xA9\r\n\xC3\xA9\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTempDir dir;
        dir.Write("Larkpost.log", c.before);
        TActivityLog log;
        log.AddLine("\xC3\xA9");
        log.SaveLog(dir.File("Larkpost.log"));
        EXPECT_EQ(dir.Read("Larkpost.log"), c.after);
    }
}

TEST(ActivityLog, UnwritableFileRaisesAndLeavesNoTemporaryFile) {
    TTempDir dir;
    TActivityLog log;
    log.AddLine("x");
    EXPECT_THROW(log.SaveLog(dir.File("missing-folder/Larkpost.log")), ELpFileError);
    // A folder where the file should be: reading fails, nothing is replaced.
    std::filesystem::create_directory(dir.File("Larkpost.log"));
    EXPECT_THROW(log.SaveLog(dir.File("Larkpost.log")), ELpException);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("Larkpost.log")));
    // A named pipe would wait for a writer for ever.
    ASSERT_EQ(::mkfifo(dir.File("pipe.log").c_str(), 0600), 0);
    try {
        log.SaveLog(dir.File("pipe.log"));
        ADD_FAILURE() << "no exception";
    } catch (const ELpFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + dir.File("pipe.log") + "\". Not a regular file");
    }
    std::filesystem::remove(dir.File("pipe.log"));
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Dir())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

// Another run is saving: this one waits its turn, up to its wait, then gives the busy error and
// leaves the file alone; once the other lets go it adds its lines after the other's.
TEST(ActivityLog, SaveWaitsForAnotherRunsSave) {
    TTempDir dir;
    const std::string path = dir.File("Larkpost.log");
    dir.Write("Larkpost.log", "other run\r\n");
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    TActivityLog log;
    log.AddLine("this run");
    try {
        log.SaveLog(path, 100);
        ADD_FAILURE() << "saved into a busy log";
    } catch (const ELpFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + path + "\". The file is in use by another process.");
    }
    EXPECT_EQ(dir.Read("Larkpost.log"), "other run\r\n");

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // The other run replaces the file, as a save does, and then lets go of the old one.
        dir.Write("Larkpost.new", "other run\r\nother run again\r\n");
        std::filesystem::rename(dir.File("Larkpost.new"), path);
        ::close(other);
    });
    log.SaveLog(path, -1);
    release.join();
    EXPECT_EQ(dir.Read("Larkpost.log"), "other run\r\nother run again\r\nthis run\r\n");
}

}  // namespace
}  // namespace larkpost
