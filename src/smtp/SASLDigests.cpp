#include "smtp/SASLDigests.h"

#include <botan/hash.h>
#include <botan/hex.h>
#include <botan/mac.h>

namespace larkpost {

TLpBytes DigestOf(const std::string& algorithm, const TLpBytes& data) {
    auto hash = Botan::HashFunction::create_or_throw(algorithm);
    hash->update(data.data(), data.size());
    const auto out = hash->final();
    return TLpBytes(out.begin(), out.end());
}

TLpBytes HmacOf(const std::string& algorithm, const TLpBytes& key, const TLpBytes& data) {
    auto mac = Botan::MessageAuthenticationCode::create_or_throw("HMAC(" + algorithm + ")");
    mac->set_key(key.data(), key.size());
    mac->update(data.data(), data.size());
    const auto out = mac->final();
    return TLpBytes(out.begin(), out.end());
}

std::string LowerHex(const TLpBytes& data) {
    return Botan::hex_encode(data.data(), data.size(), false);
}

}  // namespace larkpost
