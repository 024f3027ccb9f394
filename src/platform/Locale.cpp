#include "platform/Locale.h"

#include <cstdlib>

namespace larkpost {

namespace {

std::string Lowered(std::string s) {
    for (char& ch : s) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return s;
}

std::string Uppered(std::string s) {
    for (char& ch : s) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    return s;
}

}  // namespace

std::string UserLocaleName() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return {};
}

TLpUserLocale ParseLocaleName(const std::string& name) {
    TLpUserLocale locale;
    std::string rest = name;
    const std::size_t at = rest.find('@');
    if (at != std::string::npos) {
        locale.Script = Lowered(rest.substr(at + 1));
        rest.erase(at);
    }
    const std::size_t dot = rest.find('.');
    if (dot != std::string::npos) rest.erase(dot);
    if (rest == "C" || rest == "POSIX") return locale;

    // language[_-]Script?[_-]TERRITORY?, as in "zh_CN", "pt-BR" or "zh-Hant-TW".
    std::size_t start = 0;
    int index = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find_first_of("_-", start);
        if (end == std::string::npos) end = rest.size();
        const std::string piece = rest.substr(start, end - start);
        if (index == 0) {
            locale.Language = Lowered(piece);
        } else if (piece.size() == 4) {
            locale.Script = Lowered(piece);
        } else if (!piece.empty() && locale.Territory.empty()) {
            locale.Territory = Uppered(piece);
        }
        ++index;
        start = end + 1;
    }
    return locale;
}

TLpUserLocale UserLocale() {
    return ParseLocaleName(UserLocaleName());
}

}  // namespace larkpost
