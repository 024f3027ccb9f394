// Text encodings of the I/O handler: the program's UTF-8 text to the bytes on the wire and back.
// Conversions work per UTF-16 code unit where that matters (7-bit and 8-bit write one "?" per
// unit, so a character outside the BMP gives two). Code pages beyond the built-in encodings go
// through iconv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace larkpost {

class ILpTextEncoding {
public:
    virtual ~ILpTextEncoding() = default;

    // 20127 for 7-bit ASCII, 28591 for the 8-bit encoding, 65001 UTF-8, 1200/1201 UTF-16.
    virtual int CodePage() const = 0;

    virtual TLpBytes GetBytes(std::string_view text) const;
    // Appends the bytes of text to out (no preamble).
    virtual void AppendBytes(std::string_view text, TLpBytes& out) const = 0;
    virtual size_t GetByteCount(std::string_view text) const;

    virtual std::string GetString(const uint8_t* data, size_t count) const = 0;
    std::string GetString(const TLpBytes& bytes) const {
        return GetString(bytes.data(), bytes.size());
    }
    // Appends the text of the bytes to out (reusing its storage).
    virtual void AppendString(const uint8_t* data, size_t count, std::string& out) const {
        out += GetString(data, count);
    }
    // count -1: from index to the end.
    std::string GetString(const TLpBytes& bytes, size_t index, ptrdiff_t count) const;
    // UTF-16 code units the bytes decode to.
    virtual size_t GetCharCount(const uint8_t* data, size_t count) const;

    // Never written by the handler's text writes.
    virtual TLpBytes GetPreamble() const { return {}; }
};

using TLpTextEncodingPtr = std::shared_ptr<const ILpTextEncoding>;

// Shared parts of the concrete encodings.
class TLpTextEncodingBase : public ILpTextEncoding {};

class TLpASCIIEncoding : public TLpTextEncodingBase {
public:
    int CodePage() const override { return 20127; }
    void AppendBytes(std::string_view text, TLpBytes& out) const override;
    std::string GetString(const uint8_t* data, size_t count) const override;
    void AppendString(const uint8_t* data, size_t count, std::string& out) const override;
    using ILpTextEncoding::GetString;
};

class TLp8BitEncoding : public TLpTextEncodingBase {
public:
    int CodePage() const override { return 28591; }
    void AppendBytes(std::string_view text, TLpBytes& out) const override;
    std::string GetString(const uint8_t* data, size_t count) const override;
    using ILpTextEncoding::GetString;
};

// A system code page through iconv. Raises ELpException "Invalid codepage (%d)" for a code page
// the system cannot convert.
class TLpMBCSEncoding : public TLpTextEncodingBase {
public:
    explicit TLpMBCSEncoding(int codePage);
    int CodePage() const override { return m_codePage; }
    void AppendBytes(std::string_view text, TLpBytes& out) const override;
    std::string GetString(const uint8_t* data, size_t count) const override;
    using ILpTextEncoding::GetString;
    TLpBytes GetPreamble() const override;
    // The iconv name for a code page ("CP1252", "ISO-8859-2", ...).
    static std::string IconvName(int codePage);

protected:
    int m_codePage;
    std::string m_iconvName;
};

class TLpUTF7Encoding : public TLpMBCSEncoding {
public:
    TLpUTF7Encoding() : TLpMBCSEncoding(65000) {}
};

// Without byte-order mark on the wire; malformed input decodes to U+FFFD.
class TLpUTF8Encoding : public TLpMBCSEncoding {
public:
    TLpUTF8Encoding();
    void AppendBytes(std::string_view text, TLpBytes& out) const override;
    std::string GetString(const uint8_t* data, size_t count) const override;
    using ILpTextEncoding::GetString;
};

class TLpUTF16LittleEndianEncoding : public TLpTextEncodingBase {
public:
    int CodePage() const override { return 1200; }
    void AppendBytes(std::string_view text, TLpBytes& out) const override;
    std::string GetString(const uint8_t* data, size_t count) const override;
    using ILpTextEncoding::GetString;
    size_t GetCharCount(const uint8_t*, size_t count) const override { return count / 2; }
    TLpBytes GetPreamble() const override { return {0xFF, 0xFE}; }

protected:
    virtual bool BigEndian() const { return false; }
};

class TLpUTF16BigEndianEncoding : public TLpUTF16LittleEndianEncoding {
public:
    int CodePage() const override { return 1201; }
    TLpBytes GetPreamble() const override { return {0xFE, 0xFF}; }

protected:
    bool BigEndian() const override { return true; }
};

// Shared instances, made on first use and kept for the process.
TLpTextEncodingPtr ASCIIEncoding();
TLpTextEncodingPtr EightBitEncoding();
TLpTextEncodingPtr UTF7Encoding();
TLpTextEncodingPtr UTF8Encoding();
TLpTextEncodingPtr UTF16LEEncoding();
TLpTextEncodingPtr UTF16BEEncoding();
// The locale's charset (UTF-8 here).
TLpTextEncodingPtr OSDefaultEncoding();
// 1200, 1201, 20127, 65000, 65001 give the shared instances; other numbers a code-page encoding.
TLpTextEncodingPtr EncodingForCodePage(int codePage);

// The code page of a charset name (ignoring case), 0 when the name is unknown or has none.
int CharsetToCodePage(std::string_view charset);
// The encoding for a charset name; the 8-bit encoding when the name is empty, unknown, has no
// code page, or the system cannot convert it.
TLpTextEncodingPtr CharsetToEncoding(std::string_view charset);

}  // namespace larkpost
