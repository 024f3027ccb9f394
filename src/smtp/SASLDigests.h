// Digests and keyed hashes the SASL mechanisms and one-time passwords are built on (Botan).
#pragma once

#include <string>

#include "platform/Bytes.h"

namespace larkpost {

// Algorithm names as Botan spells them: "MD4", "MD5", "SHA-1".
TLpBytes DigestOf(const std::string& algorithm, const TLpBytes& data);
// RFC 2104 HMAC over the named hash; an empty key is a valid key.
TLpBytes HmacOf(const std::string& algorithm, const TLpBytes& key, const TLpBytes& data);
std::string LowerHex(const TLpBytes& data);

}  // namespace larkpost
