#include "smtp/SASL.h"

#include <strings.h>

#include <algorithm>

#include "smtp/SASLDigests.h"
#include "smtp/SASLEntries.h"
#include "smtp/SASLText.h"

namespace larkpost {

TLpSASL::~TLpSASL() {
    // The lists unregister themselves through RemoveMechanism, so walk a copy.
    const auto lists = m_lists;
    for (TLpSASLEntries* list : lists) list->RemoveMechanism(this);
}

bool TLpSASL::InitialResponse(const std::string&, const std::string&, std::string& response) {
    response.clear();
    return false;
}

std::string TLpSASL::FirstResponse(const std::string&, const std::string&, const std::string&) {
    return std::string();
}

std::string TLpSASL::NextResponse(const std::string&, const std::string&, const std::string&) {
    return std::string();
}

bool TLpSASL::IsOffered(const std::vector<std::string>& names) const {
    const std::string mine = MechanismName();
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return name.size() == mine.size() && strcasecmp(name.c_str(), mine.c_str()) == 0;
    });
}

std::string TLpSASLUserPass::Username() const {
    if (m_provider == nullptr) throw ELpUserPassProviderUnassigned();
    return m_provider->Username();
}

std::string TLpSASLUserPass::Password() const {
    if (m_provider == nullptr) throw ELpUserPassProviderUnassigned();
    return m_provider->Password();
}

bool TLpSASLUserPass::IsReady() {
    return m_provider != nullptr && !m_provider->Username().empty();
}

// S: <base64 challenge>   C: <user> SP <hex HMAC(password, challenge)>
std::string TLpSASLCRAMBase::FirstResponse(const std::string& challenge, const std::string&,
                                           const std::string&) {
    if (challenge.empty()) return std::string();
    const TLpBytes mac = HmacOf(HashName(), AsciiFromText(Password()), AsciiFromText(challenge));
    return Username() + " " + LowerHex(mac);
}

}  // namespace larkpost
