// Version texts made from the project version: the about box, the help text and the send
// defaults (HELO name, mail agent) use them.
#pragma once

#include <string>

namespace larkpost {

// "a.b.c.d"
std::string GetVersionNumber();
// "Version a.b Release c Build d"
std::string GetVersionText();

}  // namespace larkpost
