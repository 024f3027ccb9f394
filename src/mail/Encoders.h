// Transfer encoders for MIME bodies (base64 and quoted-printable, RFC 2045 section 6; uuencode,
// xxencode and BinHex 4.0 for the older attachment styles) and RFC 2047 encoded words for header
// text and address lists. Every encoder here produces 7-bit ASCII only.
//
// Streams are std::istream (source) and std::ostream (destination). Large sources are read and
// encoded in blocks, so an attachment is never held whole in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bytes.h"

namespace larkpost {

class TLpEMailAddressItem;
class TLpEMailAddressList;

// ---- Stream encoders -------------------------------------------------------------------------

class TLpEncoder {
public:
    virtual ~TLpEncoder() = default;
    // Encodes count bytes of source (all that is left when count is -1) into destination.
    virtual void Encode(std::istream& source, std::ostream& destination,
                        std::int64_t count = -1) = 0;
    // The same over bytes in memory.
    std::string EncodeBytes(std::string_view bytes);
};

// Turns each group of 3 bytes into 4 characters of a 64-character table; a short final group is
// filled with the fill character (none when it is 0).
class TLpEncoder3to4 : public TLpEncoder {
public:
    TLpEncoder3to4(std::string_view codingTable, char fillChar);
    void Encode(std::istream& source, std::ostream& destination, std::int64_t count = -1) override;
    // Writes the 4 * ceil(size / 3) characters for data to out.
    void EncodeGroups(const std::uint8_t* data, std::size_t size, char* out) const;
    std::size_t EncodedLength(std::size_t size) const { return (size + 2) / 3 * 4; }

protected:
    char m_table[64];
    char m_fill;
};

// RFC 4648 base64 alphabet with "=" fill.
class TLpEncoderMIME : public TLpEncoder3to4 {
public:
    TLpEncoderMIME();
};

class TLpEncoderQuotedPrintable : public TLpEncoder {
public:
    void Encode(std::istream& source, std::ostream& destination, std::int64_t count = -1) override;
};

// Base64 of bytes in memory, without line breaks.
std::string EncodeBase64(std::string_view bytes);
std::string EncodeBase64(const TLpBytes& bytes);

// Base64 lines fed block by block: every complete 57 bytes become one 76-character line followed
// by CR LF, handed to the sink as soon as a batch of lines is ready. Finish() emits the shorter
// last line. Blocks of any size may be fed; multiples of 57 bytes avoid any carry-over copy.
class TLpBase64LineEncoder {
public:
    using TSink = std::function<void(const char* data, std::size_t size)>;
    explicit TLpBase64LineEncoder(TSink sink);
    void Write(const std::uint8_t* data, std::size_t size);
    void Finish();

private:
    void EmitLines(const std::uint8_t* data, std::size_t size);

    TSink m_sink;
    std::uint8_t m_carry[57];
    std::size_t m_carryCount = 0;
    std::vector<char> m_out;
};

// Quoted-printable text of bytes in memory ("x=y" gives "x=3Dy\r\n").
std::string EncodeQuotedPrintableText(std::string_view bytes);

// ---- Message encoders and their registry -----------------------------------------------------

// Encodes a whole part's data as the lines of its transfer encoding, each ending in CR LF.
class TLpMessageEncoder {
public:
    virtual ~TLpMessageEncoder() = default;
    virtual void Encode(std::istream& source, std::ostream& destination) = 0;
    // The file name that the uuencode styles and BinHex carry inside their data.
    const std::string& FileName() const noexcept { return m_fileName; }
    void SetFileName(std::string value) { m_fileName = std::move(value); }

protected:
    std::string m_fileName;
};

// Base64 lines of 76 characters; an empty source gives no line.
class TLpMessageEncoderMIME : public TLpMessageEncoder {
public:
    void Encode(std::istream& source, std::ostream& destination) override;
};

class TLpMessageEncoderQuotedPrintable : public TLpMessageEncoder {
public:
    void Encode(std::istream& source, std::ostream& destination) override;
};

// "begin 644 name", lines of up to 45 bytes each led by their length character, "end".
class TLpMessageEncoderUUEBase : public TLpMessageEncoder {
public:
    void Encode(std::istream& source, std::ostream& destination) override;

protected:
    explicit TLpMessageEncoderUUEBase(std::string_view table);
    char m_table[64];
};

class TLpMessageEncoderUUE : public TLpMessageEncoderUUEBase {
public:
    TLpMessageEncoderUUE();
};

class TLpMessageEncoderXXE : public TLpMessageEncoderUUEBase {
public:
    TLpMessageEncoderXXE();
};

// BinHex 4.0 (RFC 1741): header, data fork and an empty resource fork, run-length coded,
// CRC-checked, in 64-character lines between colons.
class TLpMessageEncoderBinHex4 : public TLpMessageEncoder {
public:
    void Encode(std::istream& source, std::ostream& destination) override;
};

struct TLpMessageEncoderInfo {
    std::string Name;
    std::function<std::unique_ptr<TLpMessageEncoder>()> Create;
};

// Message encoders by name: "MIME", "binhex4", "QP", "UUE", "XXE", in that order.
class TLpMessageEncoderList {
public:
    // Raises ELpException "Message encoder not found: <name>" for a name not registered
    // (names compare ignoring case).
    static const TLpMessageEncoderInfo& ByName(std::string_view name);
    static std::unique_ptr<TLpMessageEncoder> CreateEncoder(std::string_view name);
    static const std::vector<TLpMessageEncoderInfo>& Encoders();
};

// Base64 lines of a whole stream (rewound first).
void EncodeBase64Lines(std::istream& source, std::ostream& destination);
// Quoted-printable text of a whole stream (from its current position).
void EncodeQuotedPrintable(std::istream& source, std::ostream& destination);

// ---- Header words (RFC 2047) -----------------------------------------------------------------

// Header text with each run of words that needs it turned into encoded words of at most 75
// characters, separated by CR LF and a space. Specials are extra bytes that force encoding.
// CR and LF in text count as spaces, so no header text can start a header line of its own.
// A text that cannot be converted to charset gives the empty text.
std::string EncodeHeaderText(std::string_view text, std::string_view specials, char letter,
                             std::string_view charset);
// The header value of an address list: every entry's encoded form joined with ", ".
std::string EncodeAddressList(TLpEMailAddressList& list, char letter, std::string_view charset,
                              bool useAddressForMissingName);
// One address: "\"Plain Name\" <a@b.c>", encoded words for a non-ASCII name, or the bare
// address. With useAddressForMissingName an empty name becomes the address (the item changes).
std::string EncodeAddressEntry(TLpEMailAddressItem& item, char letter, std::string_view charset,
                               bool useAddressForMissingName);

// The bytes of UTF-8 text in the named charset (the I/O handler's text encoding for that name);
// false when it cannot be converted. An empty or unknown name selects the 8-bit encoding.
bool ConvertToCharset(std::string_view text, std::string_view charset, std::string& bytes);

}  // namespace larkpost
