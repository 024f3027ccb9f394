#include "platform/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/SystemError.h"

namespace larkpost {

std::string ExeDir() {
    // readlink does not say how long the link is; grow the buffer until it fits.
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            throw ELpException("Cannot find the program's own path. " + LastSystemErrorText());
        if (static_cast<size_t>(n) < buffer.size())
            return ExtractFilePath(std::string(buffer.data(), static_cast<size_t>(n)));
        buffer.resize(buffer.size() * 2);
    }
}

std::string ExtractFilePath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    return path.substr(slash + 1);
}

bool HasDirectoryPart(const std::string& path) {
    return path.find('/') != std::string::npos;
}

bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
    std::string tempName = ExtractFilePath(path) + "." + ExtractFileName(path) + ".XXXXXX";
    const int fd = mkstemp(tempName.data());
    if (fd < 0) RaiseFileCreateError(path, errno);
    const auto fail = [&](int error) {
        close(fd);
        unlink(tempName.c_str());
        RaiseFileCreateError(path, error);
    };
    // mkstemp makes the file private; a replaced file keeps its mode, a new one gets the usual.
    struct stat old {};
    mode_t mode = 0666;
    if (stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode &= ~mask;
    }
    if (fchmod(fd, mode) != 0) fail(errno);
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        written += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) fail(errno);
    if (close(fd) != 0) {
        const int error = errno;
        unlink(tempName.c_str());
        RaiseFileCreateError(path, error);
    }
    if (rename(tempName.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(tempName.c_str());
        RaiseFileCreateError(path, error);
    }
}

}  // namespace larkpost
