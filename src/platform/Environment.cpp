#include "platform/Environment.h"

#include <cstdlib>

namespace larkpost {

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
    if (name.empty() || name.find('=') != std::string::npos) return std::nullopt;
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string ExpandEnvironmentStrings(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find('%', i);
        if (open == std::string::npos) break;
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        out.append(text, i, open - i);
        const auto value = GetEnvironmentVariable(text.substr(open + 1, close - open - 1));
        if (value) {
            out += *value;
            i = close + 1;
            continue;
        }
        // An undefined reference stays as written, both percent signs included.
        out.append(text, open, close - open + 1);
        i = close + 1;
    }
    out.append(text, i, std::string::npos);
    return out;
}

}  // namespace larkpost
