// The user's locale as the environment states it (POSIX precedence: LC_ALL, LC_CTYPE, LANG).
#pragma once

#include <string>

namespace larkpost {

struct TLpUserLocale {
    std::string Language;   // lower case, e.g. "zh"; empty for the C/POSIX locale
    std::string Territory;  // upper case, e.g. "CN"; may be empty
    std::string Script;     // from a "@modifier" or "Hans"/"Hant" script tag, e.g. "hans"
};

// The first non-empty of LC_ALL, LC_CTYPE and LANG, as given.
std::string UserLocaleName();
// "zh_CN.UTF-8", "ja_JP", "pt-BR", "sr_RS@latin" split into their parts.
TLpUserLocale ParseLocaleName(const std::string& name);
TLpUserLocale UserLocale();

}  // namespace larkpost
