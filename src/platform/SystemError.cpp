#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace larkpost {

std::string SysErrorMessage(int errorNumber) {
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in the buffer.
    return strerror_r(errorNumber, buffer, sizeof buffer);
}

std::string LastSystemErrorText() {
    return SysErrorMessage(errno);
}

void RaiseFileOpenError(const std::string& path, int errorNumber) {
    throw ELpFileError("Cannot open file \"" + path + "\". " + SysErrorMessage(errorNumber));
}

void RaiseFileCreateError(const std::string& path, int errorNumber) {
    throw ELpFileError("Cannot create file \"" + path + "\". " + SysErrorMessage(errorNumber));
}

}  // namespace larkpost
