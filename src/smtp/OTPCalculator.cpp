#include "smtp/OTPCalculator.h"

#include <botan/hash.h>

#include <cctype>

#include "net/OpenSSLLibrary.h"
#include "smtp/OTPDictionary.h"
#include "smtp/SASLText.h"

namespace larkpost {
namespace {

// RFC 2289, 6.0: the digest folded to 64 bits. SHA-1's five big-endian words fold into two,
// and the RFC's reference code then stores each word in little-endian order; its published
// sha1 vectors depend on that, so we do the same.
TLpBytes Fold(const std::string& algorithm, const TLpBytes& digest) {
    TLpBytes out(8);
    if (algorithm != "SHA-1") {
        for (int i = 0; i < 8; ++i) out[i] = digest[i] ^ digest[i + 8];
        return out;
    }
    auto word = [&](int n) {
        return (uint32_t(digest[4 * n]) << 24) | (uint32_t(digest[4 * n + 1]) << 16) |
               (uint32_t(digest[4 * n + 2]) << 8) | uint32_t(digest[4 * n + 3]);
    };
    const uint32_t w0 = word(0) ^ word(2) ^ word(4);
    const uint32_t w1 = word(1) ^ word(3);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(w0 >> (8 * i));
        out[4 + i] = static_cast<uint8_t>(w1 >> (8 * i));
    }
    return out;
}

std::string AlgorithmFor(const std::string& hashName) {
    if (hashName == "md4") return "MD4";
    if (hashName == "md5") return "MD5";
    if (hashName == "sha1") return "SHA-1";
    throw ELpOTPUnknownMethod();
}

}  // namespace

ELpFIPSAlgorithmNotAllowed::ELpFIPSAlgorithmNotAllowed(const std::string& algorithm)
    : ELpException("Algorithm " + algorithm + " not permitted in FIPS mode") {}

uint32_t TLpOTPCalculator::Sequence(long count) {
    if (count > kMaxSequence) throw ELpOTPSequenceOutOfRange(count);
    return count < 0 ? 0 : static_cast<uint32_t>(count);
}

uint64_t TLpOTPCalculator::MakeKey(const std::string& hashName, const std::string& seed,
                                   uint32_t count, const std::string& passPhrase) {
    Sequence(count);
    const std::string algorithm = AlgorithmFor(hashName);
    if (algorithm != "SHA-1" && IsTlsFipsModeEnabled()) throw ELpFIPSAlgorithmNotAllowed(algorithm);
    std::string lowerSeed = seed;
    for (char& c : lowerSeed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // One hash object for the whole chain: servers ask for counts in the thousands.
    auto hash = Botan::HashFunction::create_or_throw(algorithm);
    TLpBytes digest(hash->output_length());
    const TLpBytes start = AsciiFromText(lowerSeed + passPhrase);
    hash->update(start.data(), start.size());
    hash->final(digest.data());
    TLpBytes key = Fold(algorithm, digest);
    for (uint32_t i = 0; i < count; ++i) {
        hash->update(key.data(), key.size());
        hash->final(digest.data());
        key = Fold(algorithm, digest);
    }
    uint64_t value = 0;
    for (uint8_t b : key) value = (value << 8) | b;
    return value;
}

std::string TLpOTPCalculator::SixWordsOf(uint64_t key) {
    // The checksum is the sum of the 64 bits taken two at a time, its two low bits appended
    // after the key to make 66 bits: six 11-bit dictionary indexes.
    unsigned sum = 0;
    for (int shift = 0; shift < 64; shift += 2) sum += (key >> shift) & 3;
    const unsigned checksum = sum & 3;
    std::string words;
    for (int i = 0; i < 6; ++i) {
        const int start = 11 * i;  // first bit of this word, counted from the top of 66 bits
        unsigned index = 0;
        for (int bit = start; bit < start + 11; ++bit) {
            const unsigned b = bit < 64 ? (key >> (63 - bit)) & 1 : (checksum >> (65 - bit)) & 1;
            index = (index << 1) | b;
        }
        if (i > 0) words += ' ';
        words += kOtpDictionary[index];
    }
    return words;
}

std::string TLpOTPCalculator::MakeSixWords(const std::string& hashName, const std::string& seed,
                                           uint32_t count, const std::string& passPhrase) {
    return SixWordsOf(MakeKey(hashName, seed, count, passPhrase));
}

}  // namespace larkpost
