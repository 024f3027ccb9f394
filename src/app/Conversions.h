// Conversion errors and the integer conversion that raises them.
#pragma once

#include <string>

#include "platform/Exception.h"

namespace larkpost {

class ELpConvertError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpConvertError"; }
};

// Decimal (optional sign, surrounding blanks allowed) or hexadecimal with "0x" or "$";
// raises ELpConvertError "'<text>' is not a valid integer value".
int StrToInt(const std::string& text);

}  // namespace larkpost
