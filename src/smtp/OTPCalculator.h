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

// A count no real server sends: chains start at a few hundred, and the common OTP software
// refuses anything above 9999. A hostile server's four billion would keep the client hashing for
// minutes, far past any time-out.
class ELpOTPSequenceOutOfRange : public ELpException {
public:
    explicit ELpOTPSequenceOutOfRange(long count)
        : ELpException("OTP sequence count out of range (" + std::to_string(count) + ")") {}
    const char* ClassName() const noexcept override { return "ELpOTPSequenceOutOfRange"; }
};

class ELpFIPSAlgorithmNotAllowed : public ELpException {
public:
    // The message names the algorithm, e.g. "Algorithm MD5 not permitted in FIPS mode".
    explicit ELpFIPSAlgorithmNotAllowed(const std::string& algorithm);
    const char* ClassName() const noexcept override { return "ELpFIPSAlgorithmNotAllowed"; }
};

class TLpOTPCalculator {
public:
    static constexpr long kMaxSequence = 9999;
    // The count as the calculator takes it; raises ELpOTPSequenceOutOfRange above kMaxSequence.
    static uint32_t Sequence(long count);

    // HashName is "md4", "md5" or "sha1" (exactly, case counts). The seed is taken in lower
    // case with the pass phrase appended, hashed and folded, then hashed and folded again
    // Count times. Raises ELpOTPUnknownMethod for another name, ELpFIPSAlgorithmNotAllowed for
    // md4 and md5 while the loaded OpenSSL runs in FIPS mode, ELpOTPSequenceOutOfRange for a
    // count above kMaxSequence.
    static std::string MakeSixWords(const std::string& hashName, const std::string& seed,
                                    uint32_t count, const std::string& passPhrase);

    // The 64-bit value behind the six words, for callers that show the hexadecimal form.
    static uint64_t MakeKey(const std::string& hashName, const std::string& seed, uint32_t count,
                            const std::string& passPhrase);
    // The six words of a 64-bit value; the last word carries the two-bit checksum.
    static std::string SixWordsOf(uint64_t key);
};

}  // namespace larkpost
