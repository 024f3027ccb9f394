// Conversions between the program's UTF-8 text and the byte forms it meets in files and ciphers:
// Windows-1252 files brought from the original platform, UTF-16 code units, raw Latin-1 bytes.
#pragma once

#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace larkpost {

bool IsValidUtf8(std::string_view bytes);

// Every byte through the Windows-1252 table; the five bytes it leaves undefined keep their number.
std::string Windows1252ToUtf8(std::string_view bytes);

// Each byte is the code point of the same number (ISO 8859-1).
std::string Latin1ToUtf8(std::string_view bytes);

// The system's 8-bit code page read back: UTF-8 when the bytes are valid UTF-8, otherwise
// Windows-1252, so text from either origin comes out readable and always valid UTF-8.
std::string BytesToText(std::string_view bytes);
inline std::string BytesToText(const TLpBytes& bytes) {
    return BytesToText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Text to bytes in the system's 8-bit code page: UTF-8 here, so the bytes are the text's own.
inline TLpBytes TextToBytes(std::string_view text) { return TLpBytes(text.begin(), text.end()); }

// Malformed sequences and lone surrogates become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view units);

// Decodes one UTF-8 sequence at bytes[pos] into codePoint; returns its length, or 0 when it is
// malformed (overlong forms, surrogates, truncated sequences and values past U+10FFFF included).
size_t DecodeUtf8At(std::string_view bytes, size_t pos, char32_t& codePoint);

// Appends the UTF-8 form of one code point (U+FFFD for a surrogate or a value past U+10FFFF).
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace larkpost
