// The standard one-time-password dictionary of RFC 2289 (Appendix D), built into the binary.
#pragma once

#include <cstddef>

namespace larkpost {

inline constexpr std::size_t kOtpDictionarySize = 2048;
// Word n is the word for the 11-bit value n.
extern const char* const kOtpDictionary[kOtpDictionarySize];

}  // namespace larkpost
