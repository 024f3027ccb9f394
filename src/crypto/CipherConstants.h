// The secret constants of the password cascade. Changing any of them makes every stored
// Password3 and Password_AES text undecipherable, so they live here and nowhere else.
#pragma once

#include <array>
#include <string_view>

#include "crypto/PasswordCipher.h"

namespace larkpost {

// 128 bytes of Windows-1252 text, non-ASCII bytes included, no control bytes.
std::string_view CascadeMasterString();

// In enciphering order: Rijndael, Serpent, Twofish.
const std::array<CipherStageParams, 3>& CascadeStages();

}  // namespace larkpost
