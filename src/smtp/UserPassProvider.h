// The one user name and password holder shared by the SASL mechanisms; the send workflow fills
// it before each send.
#pragma once

#include <string>

namespace larkpost {

class TLpUserPassProvider {
public:
    const std::string& Username() const noexcept { return m_username; }
    void SetUsername(const std::string& value) { m_username = value; }
    const std::string& Password() const noexcept { return m_password; }
    void SetPassword(const std::string& value) { m_password = value; }

private:
    std::string m_username;
    std::string m_password;
};

}  // namespace larkpost
