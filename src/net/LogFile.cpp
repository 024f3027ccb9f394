#include "net/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/TextEncoding.h"
#include "platform/Exception.h"
#include "platform/FileWrite.h"

namespace larkpost {

TLpLogFile::~TLpLogFile() {
    try {
        SetActive(false);
    } catch (...) {
        // Destructors never throw; the file is closed either way.
    }
    if (m_fd >= 0) ::close(m_fd);
}

void TLpLogFile::SetFilename(const std::string& filename) {
    if (IsOpen()) throw ELpException("Unable to set Filename while log file is open.");
    m_filename = filename;
}

void TLpLogFile::OpenLog() {
    if (m_fd >= 0) return;
    // Appending: earlier content is never truncated. The conversation holds the AUTH exchange,
    // so a new file is its owner's alone; an existing one keeps the mode it was given.
    int fd = ::open(m_filename.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0)
        throw ELpException("Cannot open file \"" + m_filename + "\". " + std::strerror(errno));
    // Other writers are locked out (readers may still read), so the file holds one whole
    // conversation after another.
    if (!LockFileExclusive(fd, m_lockWaitMs)) {
        const int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK)
            throw ELpException("Cannot open file \"" + m_filename + "\". " + std::strerror(error));
        throw ELpException("Cannot open file \"" + m_filename +
                           "\". The file is in use by another process.");
    }
    m_fd = fd;
}

void TLpLogFile::CloseLog() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

void TLpLogFile::WriteLogText(const std::string& text) {
    if (m_fd < 0) return;
    TLpBytes bytes = EightBitEncoding()->GetBytes(text);
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(m_fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        // A failed write loses the entry (or its rest); the conversation goes on.
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void TLpLogFile::WriteStatusEntry(const std::string& text) {
    WriteLogText("Stat " + text + "\r\n");
}

void TLpLogFile::WriteReceivedEntry(const std::string& timeStamp, const std::string& data) {
    WriteLogText("Recv " + timeStamp + ": " + data + "\r\n");
}

void TLpLogFile::WriteSentEntry(const std::string& timeStamp, const std::string& data) {
    WriteLogText("Sent " + timeStamp + ": " + data + "\r\n");
}

void TLpLogFile::WriteFormattedEntry(const std::string& text) {
    if (!Active()) SetActive(true);
    std::string entry = LogTime() ? CurrentTimeStamp() + " " : std::string();
    entry += ReplaceCRLF() ? ReplaceLineBreaks(text) : text;
    WriteLogText(entry + "\r\n");
}

}  // namespace larkpost
