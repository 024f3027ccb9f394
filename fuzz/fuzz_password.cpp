// Deciphering arbitrary stored text never crashes; enciphering then deciphering gives the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "crypto/PasswordCipher.h"
#include "platform/Exception.h"

using namespace larkpost;

namespace {
const std::string kTrimmed = [] {
    std::string s;
    for (int c = 1; c <= 32; ++c) s.push_back(static_cast<char>(c));
    return s;
}();
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try { (void)DecryptPassword(text); } catch (const ELpException&) {}
    try { (void)DecryptLegacyAES(text); } catch (const ELpException&) {}
    try { (void)DecodeLegacyPasswordText(text); } catch (const ELpException&) {}
    (void)Base64DecodeLenient(text);
    // Passwords are UTF-8 text; zero bytes are the cascade's padding and cannot be part of one.
    const std::string password = text.substr(0, text.find('\0'));
    // Blanks and control characters at either end are trimmed away by design.
    const size_t first = password.find_first_not_of(kTrimmed);
    const std::string trimmed =
        first == std::string::npos ? std::string() : password.substr(first, password.find_last_not_of(kTrimmed) - first + 1);
    if (fuzz::IsValidUtf8(password) && DecryptPassword(EncryptPassword(password)) != trimmed)
        std::abort();
    return 0;
}
