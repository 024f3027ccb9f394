#include "app/Conversions.h"

#include <cctype>
#include <climits>

namespace larkpost {

int StrToInt(const std::string& text) {
    const auto fail = [&]() -> int {
        throw ELpConvertError("'" + text + "' is not a valid integer value");
    };
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = 10;
    if (i < n && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return fail();
    long long value = 0;
    for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            return fail();
        value = value * base + digit;
        if (value > static_cast<long long>(INT_MAX) + 1) return fail();
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return fail();
    return static_cast<int>(value);
}

}  // namespace larkpost
