#include "app/TerminalProgress.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace larkpost {

TLpTerminalProgress::TLpTerminalProgress(int fd, bool force)
    : m_fd(fd), m_enabled(force || isatty(fd) == 1) {}

void TLpTerminalProgress::Show(const TLpSendProgress& progress) {
    if (!m_enabled) return;
    if (progress.Done) {
        if (!Drawn()) return;
        // Blanks over the line, and the cursor back to its start for what comes next.
        Write("\r" + std::string(m_width, ' ') + "\r");
        m_width = 0;
        return;
    }
    if (progress.SecondsElapsed < kDelaySeconds) return;
    std::string line = FormatProgressLine(progress);
    const std::size_t width = line.size();
    // A shorter line than the last one must cover all of it.
    if (width < m_width) line.append(m_width - width, ' ');
    Write("\r" + line);
    m_width = std::max(m_width, width);
}

void TLpTerminalProgress::Write(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        // A terminal that cannot be written to gets no progress; the send goes on.
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace larkpost
