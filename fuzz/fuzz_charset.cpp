// Text encodings chosen by charset name: converting arbitrary text and bytes never fails, and the
// Unicode encodings give valid UTF-8 text back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "net/TextEncoding.h"

using namespace larkpost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The charset name runs up to the first NUL; the rest is the text.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t nul = all.find('\0');
    const std::string name = nul == std::string::npos ? all : all.substr(0, nul);
    const std::string text = nul == std::string::npos ? std::string() : all.substr(nul + 1);
    (void)CharsetToCodePage(name);
    const TLpTextEncodingPtr encoding = CharsetToEncoding(name);
    if (!encoding) std::abort();
    const TLpBytes bytes = encoding->GetBytes(text);
    if (bytes.size() != encoding->GetByteCount(text)) std::abort();
    (void)encoding->GetString(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    (void)encoding->GetCharCount(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const std::string back = encoding->GetString(bytes.data(), bytes.size());
    const int cp = encoding->CodePage();
    if (fuzz::IsValidUtf8(text) && (cp == 65001 || cp == 1200 || cp == 1201) && back != text) std::abort();
    return 0;
}
