// The activity log: time-stamped lines of one run, shown on the Log tab and appended to
// Larkpost.log at the end of the run when asked.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace larkpost {

// The log file keeps at most this many lines after an append.
inline constexpr std::size_t kMaxLogFileLines = 5000;

// The locale's short date (%x), then, unless the time is exactly midnight, a space and its long
// time (%X).
std::string FormatTimeStamp(const std::tm& localTime, int milliseconds);
// The time stamp of now.
std::string TimeStamp();

class TActivityLog {
public:
    // Appends TimeStamp() followed by `text` (the texts begin with a space).
    void Add(const std::string& text);
    // Appends a line as it stands (the empty separator line of a send).
    void AddLine(const std::string& line);
    const std::vector<std::string>& Lines() const { return m_lines; }
    void Clear();

    // Appends the lines to `fileName`, dropping the file's oldest lines so that it holds at most
    // kMaxLogFileLines; replaces the file atomically (in place when its folder is read-only).
    // Does nothing when the log is empty. Runs at the same time take turns: another run's save
    // is waited for up to lockWaitMs milliseconds (negative: as long as it takes), then
    // ELpFileError "Cannot open file "<name>". The file is in use by another process.".
    void SaveLog(const std::string& fileName, int lockWaitMs = -1) const;

    // Runs after every change, so the view can scroll to the newest line.
    std::function<void()> OnChange;
    // Supplies the time stamp; tests fix the clock with it.
    std::function<std::string()> Clock = [] { return TimeStamp(); };

private:
    std::vector<std::string> m_lines;
};

}  // namespace larkpost
