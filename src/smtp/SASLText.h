// Conversions between the program's UTF-8 text and the byte forms the SASL exchange uses:
// challenges become one character per byte, responses one byte per UTF-16 code unit.
#pragma once

#include <string>

#include "platform/Bytes.h"

namespace larkpost {

// Each byte becomes the character of the same number (ISO 8859-1).
std::string TextFromLatin1(const TLpBytes& bytes);
// One byte per UTF-16 code unit: the unit when below 256, else "?" (so a character outside
// the BMP gives two "?").
TLpBytes Latin1FromText(const std::string& text);
// One byte per UTF-16 code unit: the unit when below 128, else "?".
TLpBytes AsciiFromText(const std::string& text);

std::string Base64Encode(const TLpBytes& bytes);
// Whitespace is ignored; characters outside the base64 alphabet are skipped, so a damaged
// challenge decodes to what can be read of it rather than ending the exchange.
TLpBytes Base64Decode(const std::string& text);

}  // namespace larkpost
