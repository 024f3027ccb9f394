// The one base of every exception the program raises: what() is the text the log and the user see.
#pragma once

#include <stdexcept>
#include <string>

namespace larkpost {

class ELpException : public std::runtime_error {
public:
    explicit ELpException(const std::string& message)
        : std::runtime_error(message), m_message(message) {}
    // The whole message; what() ends at the first NUL, which a server's reply text may hold.
    const std::string& Message() const noexcept { return m_message; }
    // The class name the activity log prints beside the message.
    virtual const char* ClassName() const noexcept { return "ELpException"; }

private:
    std::string m_message;
};

// A text that should hold a number does not: a switch value, a settings key, a count a server
// sent. Every layer raises the same class, so the log names one cause for one kind of fault.
class ELpConvertError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpConvertError"; }
};

}  // namespace larkpost
