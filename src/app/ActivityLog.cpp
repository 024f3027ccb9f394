#include "app/ActivityLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/CodePage.h"
#include "platform/FileWrite.h"
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
    // A NUL (from a server's reply) would end the line for every reader of the file and the view.
    if (text.find('\0') == std::string::npos) {
        AddLine(Clock() + text);
        return;
    }
    std::string shown;
    for (char c : text) {
        if (c == '\0') shown += "\\x00";
        else shown += c;
    }
    AddLine(Clock() + shown);
}

void TActivityLog::AddLine(const std::string& line) {
    m_lines.push_back(line);
    if (OnChange) OnChange();
}

void TActivityLog::Clear() {
    m_lines.clear();
    if (OnChange) OnChange();
}

namespace {

// The log file opened for reading and locked, so that no other run reads, adds to and rewrites it
// until this one has. The lock sits on the file itself, not on a lock file beside it: that needs
// nothing created in a folder that may be read-only, and the file is there to lock in any case.
// A writer replaces the file by renaming a new one over it, so a lock won on the file that was
// there before is a lock on nothing: after winning, the path must still name the locked file.
// A link is followed first, so a link to a log not yet there creates the file it names.
class TLockedLog {
public:
    TLockedLog(const std::string& fileName, int waitMs)
        : m_fileName(fileName), m_target(ResolveFinalPath(fileName)) {
        for (;;) {
            // Not blocking: a named pipe in the log's place would otherwise wait for a writer.
            m_file.fd = ::open(m_target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (m_file.fd < 0 && errno == ENOENT) {
                m_file.fd = ::open(m_target.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                if (m_file.fd < 0 && errno == EEXIST) continue;
                if (m_file.fd < 0) RaiseFileCreateError(fileName, errno);
                m_created = true;
            }
            // A log that exists but cannot be read must not be replaced by this run's lines alone.
            if (m_file.fd < 0) RaiseFileOpenError(fileName, errno);
            struct stat opened {};
            if (::fstat(m_file.fd, &opened) != 0) RaiseFileOpenError(fileName, errno);
            if (S_ISDIR(opened.st_mode)) RaiseFileOpenError(fileName, EISDIR);
            if (!S_ISREG(opened.st_mode))
                throw ELpFileError("Cannot open file \"" + fileName + "\". Not a regular file");
            if (!LockFileExclusive(m_file.fd, waitMs)) {
                const int error = errno;
                Discard();
                if (error == EWOULDBLOCK)
                    throw ELpFileError("Cannot open file \"" + fileName +
                                       "\". The file is in use by another process.");
                RaiseFileOpenError(fileName, error);
            }
            struct stat locked {}, named {};
            if (::fstat(m_file.fd, &locked) == 0 && ::stat(m_target.c_str(), &named) == 0 &&
                locked.st_dev == named.st_dev && locked.st_ino == named.st_ino)
                return;
            ::close(m_file.fd);
            m_file.fd = -1;
            m_created = false;
        }
    }
    TLockedLog(const TLockedLog&) = delete;
    TLockedLog& operator=(const TLockedLog&) = delete;

    // Empty for a file this run has just created.
    std::string ReadAll() {
        std::string bytes;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(m_file.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                Discard();
                RaiseFileOpenError(m_fileName, error);
            }
            if (n == 0) return bytes;
            bytes.append(buffer, static_cast<size_t>(n));
        }
    }

    // A file created only to be locked goes again when nothing could be written to it.
    void Discard() {
        if (m_created) ::unlink(m_target.c_str());
        m_created = false;
    }

private:
    std::string m_fileName;
    std::string m_target;
    // Closed also when the constructor gives up by raising.
    struct TDescriptor {
        int fd = -1;
        ~TDescriptor() {
            if (fd >= 0) ::close(fd);
        }
    } m_file;
    bool m_created = false;
};

}  // namespace

void TActivityLog::SaveLog(const std::string& fileName, int lockWaitMs) const {
    if (m_lines.empty()) return;
    TLockedLog file(fileName, lockWaitMs);
    TLogEncoding encoding = TLogEncoding::Plain;
    std::vector<std::string> lines = SplitLines(DecodeLogFile(file.ReadAll(), encoding));
    const size_t f = lines.size();
    const size_t m = m_lines.size();
    if (f + m > kMaxLogFileLines) {
        // The oldest lines go, but never more than this save appends: a file that already held
        // more than the limit keeps its length.
        const size_t drop = std::min({f + m - kMaxLogFileLines, m, f});
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    lines.insert(lines.end(), m_lines.begin(), m_lines.end());
    const int error = WriteFileContent(fileName, EncodeLogFile(lines, encoding));
    if (error != 0) {
        file.Discard();
        RaiseFileCreateError(fileName, error);
    }
}

}  // namespace larkpost
