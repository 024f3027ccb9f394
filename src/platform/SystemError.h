// The text of a system error, and the file errors raised when a file cannot be opened or made.
#pragma once

#include <string>

#include "platform/Exception.h"

namespace larkpost {

// strerror of the error number.
std::string SysErrorMessage(int errorNumber);
// The text for the calling thread's errno.
std::string LastSystemErrorText();

class ELpFileError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpFileError"; }
};

// "Cannot open file "<path>". <system text>"
[[noreturn]] void RaiseFileOpenError(const std::string& path, int errorNumber);
// "Cannot create file "<path>". <system text>"
[[noreturn]] void RaiseFileCreateError(const std::string& path, int errorNumber);

}  // namespace larkpost
