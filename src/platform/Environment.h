// Environment variables and the %NAME% references scripts and settings files contain.
#pragma once

#include <optional>
#include <string>

namespace larkpost {

std::optional<std::string> GetEnvironmentVariable(const std::string& name);
// Replaces each %NAME% whose variable is defined by its value; other text stays as written.
std::string ExpandEnvironmentStrings(const std::string& text);

}  // namespace larkpost
