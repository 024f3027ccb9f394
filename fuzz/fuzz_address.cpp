// Address lists from arbitrary text: the parser never fails, and an item's text form is a fixed
// point (parsing what Text() wrote gives the same Text()).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "mail/EMailAddress.h"

using namespace larkpost;

namespace {

bool PlainField(const std::string& s) {
    // Runs of blanks collapse to one on reading.
    if (!s.empty() && (s.front() == ' ' || s.back() == ' ')) return false;
    if (s.find("  ") != std::string::npos) return false;
    for (unsigned char c : s)
        if (c < 32 || c == 127 || std::strchr("\"\\<>()", c)) return false;
    return fuzz::IsValidUtf8(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TLpEMailAddressList list;
    list.ParseAddressList(text);
    for (size_t i = 0; i < list.Count(); ++i) {
        const TLpEMailAddressItem& item = list.Items(i);
        const std::string first = item.Text();
        TLpEMailAddressItem again;
        again.SetText(first);
        // The in-quote search runs to the last double quote, so escaped quotes and backslashes
        // keep their backslashes on reading, and brackets or comments inside a field are read as
        // structure: the fixed point holds for fields of plain text.
        // Two quoted strings in one text meet the same last-quote search.
        const bool oneQuotedString = std::count(first.begin(), first.end(), '"') <= 2;
        if (oneQuotedString && PlainField(item.Name()) && PlainField(item.Address()) &&
            item.Address().find(' ') == std::string::npos && again.Text() != first)
            std::abort();
        (void)again.User();
        (void)again.Domain();
        (void)again.RenderAddress();
    }
    TLpEMailAddressList copy(list);
    copy.AppendCopies(copy);
    if (copy.Count() != 2 * list.Count()) std::abort();
    return 0;
}
