// The one base of every exception the program raises: what() is the text the log and the user see.
#pragma once

#include <stdexcept>
#include <string>

namespace larkpost {

class ELpException : public std::runtime_error {
public:
    explicit ELpException(const std::string& message) : std::runtime_error(message) {}
    // The class name the activity log prints beside the message.
    virtual const char* ClassName() const noexcept { return "ELpException"; }
};

}  // namespace larkpost
