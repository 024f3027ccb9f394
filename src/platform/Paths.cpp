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

}  // namespace larkpost
