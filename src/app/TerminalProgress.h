// The progress line of an unattended send on a terminal: percent, bytes sent of the total, rate
// and time left, redrawn in place on standard error and erased when the message is done. Only
// on a terminal, and only once the message has taken about a second, so scripts, logs and quick
// sends see nothing new.
#pragma once

#include <cstddef>
#include <string>

#include "app/SendProgress.h"

namespace larkpost {

class TLpTerminalProgress {
public:
    // Draws on fd when it is a terminal (or when `force`, for tests).
    explicit TLpTerminalProgress(int fd = 2, bool force = false);

    void Show(const TLpSendProgress& progress);
    // Whether a line is on the terminal now.
    bool Drawn() const noexcept { return m_width > 0; }

    // How long a message goes before the line appears.
    static constexpr double kDelaySeconds = 1.0;

private:
    void Write(const std::string& text);

    int m_fd;
    bool m_enabled;
    std::size_t m_width = 0;
};

}  // namespace larkpost
