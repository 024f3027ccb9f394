// The integer conversion of switch and settings values.
#pragma once

#include <string>

#include "platform/Exception.h"

namespace larkpost {

// Decimal (optional sign, surrounding blanks allowed) or hexadecimal with "0x" or "$";
// raises ELpConvertError "'<text>' is not a valid integer value".
int StrToInt(const std::string& text);

}  // namespace larkpost
