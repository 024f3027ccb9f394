// Header folding and unfolding: SetHeader then GetHeader gives the value back, except for the
// whitespace folding may move; every stored line is one line of at most 998 octets,
// continuations start with a blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/HeaderList.h"

using namespace larkpost;

namespace {

// What folding may change: where blanks and line breaks are (a break also swallows the break
// characters after it, commas included).
std::string Skeleton(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != ',') out.push_back(c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string value;
    for (size_t i = 0; i < size; ++i) {
        // Control characters are trimmed from folded pieces by design; keep to text.
        const char c = static_cast<char>(data[i]);
        if (static_cast<uint8_t>(c) >= 32 && c != 127) value.push_back(c);
    }
    TLpHeaderList headers;
    headers.SetHeader("X-First", "1");
    headers.SetHeader("Subject", value);
    headers.SetHeader("X-Last", "2");
    for (size_t i = 0; i < headers.Count(); ++i) {
        const std::string& line = headers[i];
        if (line.find_first_of("\r\n") != std::string::npos) std::abort();
        if (line.size() > 998) std::abort();
    }
    const std::string back = headers.GetHeader("subject");
    if (Skeleton(back) != Skeleton(value)) std::abort();
    if (headers.GetHeader("X-First") != "1" || headers.GetHeader("X-Last") != "2") std::abort();
    headers.SetHeader("SUBJECT", "");
    if (headers.IndexOfHeader("Subject") != -1 || headers.Count() != 2) std::abort();

    const std::string param(value.substr(0, 200));
    std::string old;
    const std::string replaced = ReplaceParam("text/plain; charset=x", "name", param, qtMIME, &old);
    if (!replaced.empty() && ParamValue(replaced, "charset", qtMIME) != "x") std::abort();
    (void)RemoveParam(value, "charset", qtMail);
    (void)MainValue(value);
    (void)HasMediaType(value, "text");
    return 0;
}
