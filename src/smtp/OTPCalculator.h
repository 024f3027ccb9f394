// One-time passwords of RFC 2289 (and S/KEY, RFC 1760): hash chain, 64-bit fold, six words.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Exception.h"

namespace larkpost {

class ELpOTPUnknownMethod : public ELpException {
public:
    ELpOTPUnknownMethod() : ELpException("Unknown OTP method") {}
    const char* ClassName() const noexcept override { return "ELpOTPUnknownMethod"; }
};

class ELpFIPSAlgorithmNotAllowed : public ELpException {
public:
    // The message names the algorithm, e.g. "Algorithm MD5 not permitted in FIPS mode".
    explicit ELpFIPSAlgorithmNotAllowed(const std::string& algorithm);
    const char* ClassName() const noexcept override { return "ELpFIPSAlgorithmNotAllowed"; }
};

class TLpOTPCalculator {
public:
    // HashName is "md4", "md5" or "sha1" (exactly, case counts). The seed is taken in lower
    // case with the pass phrase appended, hashed and folded, then hashed and folded again
    // Count times. Raises ELpOTPUnknownMethod for another name, ELpFIPSAlgorithmNotAllowed for
    // md4 and md5 while the loaded OpenSSL runs in FIPS mode.
    static std::string MakeSixWords(const std::string& hashName, const std::string& seed,
                                    uint32_t count, const std::string& passPhrase);

    // The 64-bit value behind the six words, for callers that show the hexadecimal form.
    static uint64_t MakeKey(const std::string& hashName, const std::string& seed, uint32_t count,
                            const std::string& passPhrase);
    // The six words of a 64-bit value; the last word carries the two-bit checksum.
    static std::string SixWordsOf(uint64_t key);
};

}  // namespace larkpost
