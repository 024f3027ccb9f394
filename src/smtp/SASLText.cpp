#include "smtp/SASLText.h"

#include <botan/base64.h>

namespace larkpost {
namespace {

// Walks UTF-8 text as code points; malformed bytes count as one code point each (U+FFFD).
template <typename Sink>
void ForEachCodeUnit(const std::string& text, Sink sink) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        uint32_t cp = *p;
        int extra = 0;
        if (cp >= 0xF0 && cp <= 0xF4) {
            extra = 3;
            cp &= 0x07;
        } else if (cp >= 0xE0) {
            extra = cp <= 0xEF ? 2 : -1;
            cp &= 0x0F;
        } else if (cp >= 0xC2) {
            extra = cp <= 0xDF ? 1 : -1;
            cp &= 0x1F;
        } else if (cp >= 0x80) {
            extra = -1;
        }
        if (extra < 0 || end - p <= extra) {
            sink(0xFFFD);
            ++p;
            continue;
        }
        bool ok = true;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) ok = false;
        }
        if (!ok) {
            sink(0xFFFD);
            ++p;
            continue;
        }
        for (int i = 1; i <= extra; ++i) cp = (cp << 6) | (p[i] & 0x3F);
        p += extra + 1;
        if (cp >= 0x10000) {
            sink(0xD800 + ((cp - 0x10000) >> 10));
            sink(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            sink(cp);
        }
    }
}

}  // namespace

std::string TextFromLatin1(const TLpBytes& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (uint8_t b : bytes) {
        if (b < 0x80) {
            text.push_back(static_cast<char>(b));
        } else {
            text.push_back(static_cast<char>(0xC0 | (b >> 6)));
            text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return text;
}

TLpBytes Latin1FromText(const std::string& text) {
    TLpBytes out;
    out.reserve(text.size());
    ForEachCodeUnit(text, [&](uint32_t unit) { out.push_back(unit < 256 ? unit : '?'); });
    return out;
}

TLpBytes AsciiFromText(const std::string& text) {
    TLpBytes out;
    out.reserve(text.size());
    ForEachCodeUnit(text, [&](uint32_t unit) { out.push_back(unit < 128 ? unit : '?'); });
    return out;
}

std::string Base64Encode(const TLpBytes& bytes) {
    return Botan::base64_encode(bytes.data(), bytes.size());
}

TLpBytes Base64Decode(const std::string& text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (alphabet) clean.push_back(c);
    }
    // A trailing group of one character carries no whole byte.
    if (clean.size() % 4 == 1) clean.pop_back();
    while (clean.size() % 4 != 0) clean.push_back('=');
    const auto out = Botan::base64_decode(clean);
    return TLpBytes(out.begin(), out.end());
}

}  // namespace larkpost
