#include "mail/Encoders.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>

#include "mail/EMailAddress.h"
#include "net/TextEncoding.h"
#include "platform/CodePage.h"
#include "platform/Exception.h"

namespace larkpost {

namespace {

constexpr std::string_view kBase64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUUETable =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr std::string_view kXXETable =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kBinHexTable =
    "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";

constexpr std::size_t kLineBytes = 57;  // 57 bytes make one 76-character base64 line
constexpr std::size_t kLineChars = 76;
constexpr std::size_t kReadBlock = kLineBytes * 1024;

// Folding breaks a header line only between words and never inside a quoted string, so one such
// piece longer than this could not stay within the 998 octets of a line (RFC 5322, 2.1.1) beside
// a header name; it goes as encoded words, which may be split anywhere between characters.
constexpr std::size_t kLongestPlainWord = 900;

// Two output characters for every 12-bit value, stored as they lie in memory: the inner loop
// turns 6 input bytes into 8 characters with one load, four lookups and one store.
struct TPairTable {
    std::array<std::uint16_t, 4096> Pairs;
    explicit TPairTable(const char* table) {
        for (int i = 0; i < 4096; ++i) {
            const char pair[2] = {table[i >> 6], table[i & 63]};
            std::memcpy(&Pairs[static_cast<std::size_t>(i)], pair, 2);
        }
    }
};

const TPairTable& Base64Pairs() {
    static const TPairTable pairs(kBase64Table.data());
    return pairs;
}

std::uint64_t LoadBigEndian64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Base64 groups with the pair table; returns the number of characters written.
std::size_t Base64Groups(const std::uint8_t* data, std::size_t size, char* out) {
    const std::uint16_t* pairs = Base64Pairs().Pairs.data();
    char* o = out;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 6) {
        const std::uint64_t v = LoadBigEndian64(data + i);
        const std::uint16_t chars[4] = {pairs[v >> 52], pairs[(v >> 40) & 4095],
                                        pairs[(v >> 28) & 4095], pairs[(v >> 16) & 4095]};
        std::memcpy(o, chars, 8);
        o += 8;
    }
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v =
            (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        std::memcpy(o, &pairs[v >> 12], 2);
        std::memcpy(o + 2, &pairs[v & 4095], 2);
        o += 4;
    }
    const std::size_t left = size - i;
    if (left > 0) {
        const std::uint32_t v =
            (std::uint32_t(data[i]) << 16) | (left > 1 ? std::uint32_t(data[i + 1]) << 8 : 0);
        o[0] = kBase64Table[v >> 18];
        o[1] = kBase64Table[(v >> 12) & 63];
        o[2] = left > 1 ? kBase64Table[(v >> 6) & 63] : '=';
        o[3] = '=';
        o += 4;
    }
    return static_cast<std::size_t>(o - out);
}

// Reads up to size bytes; returns how many arrived.
std::size_t ReadSome(std::istream& in, std::uint8_t* buffer, std::size_t size) {
    in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount());
}

// Quoted-printable state across blocks: the column, a held space or tab whose fate depends on
// whether the line ends after it, and a CR whose LF may arrive in the next block.
class TQuotedPrintableState {
public:
    explicit TQuotedPrintableState(std::string& out) : m_out(out) {}

    void Feed(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t c = data[i];
            if (m_afterCR) {
                m_afterCR = false;
                if (c == '\n') continue;
            }
            if (c == '\r' || c == '\n') {
                EndLine();
                m_afterCR = c == '\r';
                continue;
            }
            FlushHeld(false);
            m_lineOpen = true;
            if (c == ' ' || c == '\t') {
                m_held = static_cast<int>(c);
            } else if (c >= 33 && c <= 126 && c != '=') {
                if (c == '.' && m_col == 0) {
                    Emit("=2E", 3);
                } else {
                    const char ch = static_cast<char>(c);
                    Emit(&ch, 1);
                }
            } else {
                EmitHex(c);
            }
        }
    }

    // The source ended: an open last line still gets its line end.
    void Finish() {
        if (m_lineOpen) EndLine();
    }

private:
    void EndLine() {
        FlushHeld(true);
        m_out += "\r\n";
        m_col = 0;
        m_lineOpen = false;
    }
    void FlushHeld(bool atLineEnd) {
        if (m_held < 0) return;
        const auto c = static_cast<std::uint8_t>(m_held);
        m_held = -1;
        if (atLineEnd) {
            EmitHex(c);
            return;
        }
        const char ch = static_cast<char>(c);
        Emit(&ch, 1);
    }
    void EmitHex(std::uint8_t c) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        const char text[3] = {'=', kHex[c >> 4], kHex[c & 15]};
        Emit(text, 3);
    }
    void Emit(const char* text, std::size_t size) {
        m_out.append(text, size);
        m_col += size;
        if (m_col >= 70) {
            m_out += "=\r\n";
            m_col = 0;
        }
    }

    std::string& m_out;
    std::size_t m_col = 0;
    int m_held = -1;
    bool m_afterCR = false;
    bool m_lineOpen = false;
};

void QuotedPrintableStream(std::istream& source, std::ostream& destination, std::int64_t count) {
    std::vector<std::uint8_t> buffer(65536);
    std::string out;
    TQuotedPrintableState state(out);
    std::int64_t left = count;
    while (count < 0 || left > 0) {
        std::size_t want = buffer.size();
        if (count >= 0)
            want = static_cast<std::size_t>(
                std::min<std::int64_t>(left, static_cast<std::int64_t>(want)));
        const std::size_t got = ReadSome(source, buffer.data(), want);
        if (got == 0) break;
        left -= static_cast<std::int64_t>(got);
        state.Feed(buffer.data(), got);
        destination.write(out.data(), static_cast<std::streamsize>(out.size()));
        out.clear();
    }
    state.Finish();
    destination.write(out.data(), static_cast<std::streamsize>(out.size()));
}

char Lower(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

// CRC-16 as BinHex 4.0 uses it (polynomial 0x1021, initial 0, no reflection).
std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

// BinHex output stages: run-length coding (0x90 marks a repeat), 8-to-6-bit coding, and lines of
// 64 characters, the first of them opened by a colon.
class TBinHexWriter {
public:
    explicit TBinHexWriter(std::ostream& out) : m_out(out) { m_line = ":"; }
    void Write(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) PutRle(data[i]);
    }
    void Finish() {
        FlushRun();
        if (m_bitCount > 0) PutChar(kBinHexTable[(m_bits << (6 - m_bitCount)) & 63]);
        m_line += ':';
        m_out << m_line << "\r\n";
    }

private:
    void PutRle(std::uint8_t b) {
        if (m_haveLast && b == m_last && m_run < 255) {
            ++m_run;
            return;
        }
        FlushRun();
        m_haveLast = true;
        m_last = b;
        m_run = 1;
    }
    void FlushRun() {
        if (!m_haveLast) return;
        PutLiteral(m_last);
        if (m_run == 2) {
            PutLiteral(m_last);
        } else if (m_run > 2) {
            PutBits(0x90);
            PutBits(static_cast<std::uint8_t>(m_run));
        }
        m_haveLast = false;
        m_run = 0;
    }
    void PutLiteral(std::uint8_t b) {
        PutBits(b);
        if (b == 0x90) PutBits(0x00);
    }
    void PutBits(std::uint8_t b) {
        m_bits = (m_bits << 8) | b;
        m_bitCount += 8;
        while (m_bitCount >= 6) {
            m_bitCount -= 6;
            PutChar(kBinHexTable[(m_bits >> m_bitCount) & 63]);
        }
        m_bits &= (1u << m_bitCount) - 1;
    }
    void PutChar(char ch) {
        m_line += ch;
        if (m_line.size() == 64) {
            m_out << m_line << "\r\n";
            m_line.clear();
        }
    }

    std::ostream& m_out;
    std::string m_line;
    std::uint32_t m_bits = 0;
    int m_bitCount = 0;
    bool m_haveLast = false;
    std::uint8_t m_last = 0;
    int m_run = 0;
};

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool LooksLikeEncodedWord(std::string_view text) {
    // "=?" charset "?" B|Q "?" encoded-text "?=", as a decoder would spot it.
    auto isWs = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    for (std::size_t start = text.find("=?"); start != std::string_view::npos;
         start = text.find("=?", start + 1)) {
        std::size_t i = start + 2;
        const std::size_t charsetStart = i;
        while (i < text.size() && text[i] != '?' && !isWs(text[i])) ++i;
        if (i == charsetStart || i + 2 >= text.size() || text[i] != '?') continue;
        const char letter = Lower(text[i + 1]);
        if ((letter != 'b' && letter != 'q') || text[i + 2] != '?') continue;
        i += 3;
        while (i < text.size() && text[i] != '?' && !isWs(text[i])) ++i;
        if (i + 1 < text.size() && text[i] == '?' && text[i + 1] == '=') return true;
    }
    return false;
}

bool IsQPlain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!*+-/").find(static_cast<char>(c)) != std::string_view::npos;
}

// The encoded text of one encoded word (what stands between "?B?" or "?Q?" and "?=").
std::string EncodeWordText(std::string_view bytes, bool q) {
    if (!q) return EncodeBase64(bytes);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsQPlain(c) || c == ' ') {
            out += c == ' ' ? '_' : ch;
            continue;
        }
        out += '=';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::size_t EncodedWordTextLength(std::string_view bytes, bool q) {
    if (!q) return (bytes.size() + 2) / 3 * 4;
    std::size_t length = 0;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        length += IsQPlain(c) || c == ' ' ? 1 : 3;
    }
    return length;
}

// The end of the character that starts at pos of UTF-8 text; a malformed byte counts alone.
std::size_t NextCharacter(std::string_view text, std::size_t pos) {
    char32_t cp;
    const std::size_t length = DecodeUtf8At(text, pos, cp);
    return pos + (length == 0 ? 1 : length);
}

// Encoded words of at most 75 characters for a run of text, separated by CR LF and a space.
// Each word holds whole characters (RFC 2047, section 5) and is converted on its own, so in a
// stateful charset such as ISO-2022-JP every word starts and ends in ASCII mode: a reader
// decodes each word by itself. A word holds at least one character whatever its length.
std::string EncodeRun(std::string_view text, char letter, std::string_view charset,
                      const ILpTextEncoding& encoding) {
    const std::string prefix = "=?" + std::string(charset) + "?" + std::string(1, letter) + "?";
    const bool q = Lower(letter) == 'q';
    const std::size_t used = prefix.size() + 2;
    const std::size_t room = used < 75 ? 75 - used : 0;
    auto convert = [&](std::string_view piece) {
        TLpBytes bytes;
        encoding.AppendBytes(piece, bytes);
        return std::string(bytes.begin(), bytes.end());
    };
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = NextCharacter(text, pos);
        std::string bytes = convert(text.substr(pos, end - pos));
        while (end < text.size()) {
            const std::size_t next = NextCharacter(text, end);
            std::string longer = convert(text.substr(pos, next - pos));
            if (EncodedWordTextLength(longer, q) > room) break;
            bytes = std::move(longer);
            end = next;
        }
        if (!out.empty()) out += "\r\n ";
        out += prefix;
        out += EncodeWordText(bytes, q);
        out += "?=";
        pos = end;
    }
    return out;
}

bool IsHeaderWhitespace(unsigned char c) {
    return c == 9 || c == 10 || c == 13 || c == 32;
}

std::string WithoutLineBreaks(std::string_view text) {
    std::string out(text);
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

}  // namespace

// ---- Stream encoders -------------------------------------------------------------------------

std::string TLpEncoder::EncodeBytes(std::string_view bytes) {
    std::istringstream in{std::string(bytes)};
    std::ostringstream out;
    Encode(in, out);
    return out.str();
}

TLpEncoder3to4::TLpEncoder3to4(std::string_view codingTable, char fillChar) : m_fill(fillChar) {
    std::memcpy(m_table, codingTable.data(), std::min<std::size_t>(64, codingTable.size()));
}

void TLpEncoder3to4::EncodeGroups(const std::uint8_t* data, std::size_t size, char* out) const {
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        *out++ = m_table[data[i] >> 2];
        *out++ = m_table[((data[i] & 3) << 4) | (data[i + 1] >> 4)];
        *out++ = m_table[((data[i + 1] & 15) << 2) | (data[i + 2] >> 6)];
        *out++ = m_table[data[i + 2] & 63];
    }
    const std::size_t left = size - i;
    if (left == 0) return;
    const std::uint8_t b1 = left > 1 ? data[i + 1] : 0;
    *out++ = m_table[data[i] >> 2];
    *out++ = m_table[((data[i] & 3) << 4) | (b1 >> 4)];
    *out++ = left > 1 ? m_table[(b1 & 15) << 2] : (m_fill ? m_fill : m_table[0]);
    *out++ = m_fill ? m_fill : m_table[0];
}

void TLpEncoder3to4::Encode(std::istream& source, std::ostream& destination, std::int64_t count) {
    std::vector<std::uint8_t> buffer(kReadBlock);
    std::vector<char> out(EncodedLength(kReadBlock));
    std::int64_t left = count;
    while (count < 0 || left > 0) {
        std::size_t want = buffer.size();
        if (count >= 0)
            want = static_cast<std::size_t>(
                std::min<std::int64_t>(left, static_cast<std::int64_t>(want)));
        const std::size_t got = ReadSome(source, buffer.data(), want);
        if (got == 0) break;
        left -= static_cast<std::int64_t>(got);
        EncodeGroups(buffer.data(), got, out.data());
        destination.write(out.data(), static_cast<std::streamsize>(EncodedLength(got)));
        if (got < want) break;
    }
}

TLpEncoderMIME::TLpEncoderMIME() : TLpEncoder3to4(kBase64Table, '=') {}

void TLpEncoderQuotedPrintable::Encode(std::istream& source, std::ostream& destination,
                                       std::int64_t count) {
    QuotedPrintableStream(source, destination, count);
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    Base64Groups(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), out.data());
    return out;
}

std::string EncodeBase64(const TLpBytes& bytes) {
    return EncodeBase64(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

TLpBase64LineEncoder::TLpBase64LineEncoder(TSink sink) : m_sink(std::move(sink)) {}

void TLpBase64LineEncoder::EmitLines(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kBatchLines = 840;  // about 64 KiB of output per sink call
    while (size > 0) {
        const std::size_t lines = std::min(kBatchLines, (size + kLineBytes - 1) / kLineBytes);
        m_out.resize(lines * (kLineChars + 2));
        char* o = m_out.data();
        for (std::size_t i = 0; i < lines && size > 0; ++i) {
            const std::size_t take = std::min(kLineBytes, size);
            o += Base64Groups(data, take, o);
            *o++ = '\r';
            *o++ = '\n';
            data += take;
            size -= take;
        }
        m_sink(m_out.data(), static_cast<std::size_t>(o - m_out.data()));
    }
}

void TLpBase64LineEncoder::Write(const std::uint8_t* data, std::size_t size) {
    if (m_carryCount > 0) {
        const std::size_t take = std::min(kLineBytes - m_carryCount, size);
        std::memcpy(m_carry + m_carryCount, data, take);
        m_carryCount += take;
        data += take;
        size -= take;
        if (m_carryCount < kLineBytes) return;
        EmitLines(m_carry, kLineBytes);
        m_carryCount = 0;
    }
    const std::size_t whole = size / kLineBytes * kLineBytes;
    if (whole > 0) EmitLines(data, whole);
    m_carryCount = size - whole;
    if (m_carryCount > 0) std::memcpy(m_carry, data + whole, m_carryCount);
}

void TLpBase64LineEncoder::Finish() {
    if (m_carryCount > 0) EmitLines(m_carry, m_carryCount);
    m_carryCount = 0;
}

std::string EncodeQuotedPrintableText(std::string_view bytes) {
    std::string out;
    TQuotedPrintableState state(out);
    state.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    state.Finish();
    return out;
}

// ---- Message encoders ------------------------------------------------------------------------

void TLpMessageEncoderMIME::Encode(std::istream& source, std::ostream& destination) {
    EncodeBase64Lines(source, destination);
}

void TLpMessageEncoderQuotedPrintable::Encode(std::istream& source, std::ostream& destination) {
    EncodeQuotedPrintable(source, destination);
}

TLpMessageEncoderUUEBase::TLpMessageEncoderUUEBase(std::string_view table) {
    std::memcpy(m_table, table.data(), 64);
}

void TLpMessageEncoderUUEBase::Encode(std::istream& source, std::ostream& destination) {
    constexpr std::size_t kUUELineBytes = 45;
    destination << "begin 644 " << m_fileName << "\r\n";
    std::uint8_t line[kUUELineBytes + 2];
    char out[2 + 60 + 2];
    while (true) {
        const std::size_t got = ReadSome(source, line, kUUELineBytes);
        if (got == 0) break;
        line[got] = 0;
        line[got + 1] = 0;
        char* o = out;
        *o++ = m_table[got];
        for (std::size_t i = 0; i < got; i += 3) {
            *o++ = m_table[line[i] >> 2];
            *o++ = m_table[((line[i] & 3) << 4) | (line[i + 1] >> 4)];
            *o++ = m_table[((line[i + 1] & 15) << 2) | (line[i + 2] >> 6)];
            *o++ = m_table[line[i + 2] & 63];
        }
        *o++ = '\r';
        *o++ = '\n';
        destination.write(out, o - out);
        if (got < kUUELineBytes) break;
    }
    destination << m_table[0] << "\r\nend\r\n";
}

TLpMessageEncoderUUE::TLpMessageEncoderUUE() : TLpMessageEncoderUUEBase(kUUETable) {}
TLpMessageEncoderXXE::TLpMessageEncoderXXE() : TLpMessageEncoderUUEBase(kXXETable) {}

void TLpMessageEncoderBinHex4::Encode(std::istream& source, std::ostream& destination) {
    // The header carries the data length, so a source that cannot tell its size is read first.
    std::string held;
    std::uint32_t dataLength = 0;
    const auto start = source.tellg();
    source.seekg(0, std::ios::end);
    const auto end = source.tellg();
    const bool seekable = start != std::streampos(-1) && end != std::streampos(-1);
    if (seekable) {
        source.seekg(start);
        dataLength = static_cast<std::uint32_t>(end - start);
    } else {
        source.clear();
        std::ostringstream all;
        all << source.rdbuf();
        held = all.str();
        dataLength = static_cast<std::uint32_t>(held.size());
    }

    std::string name = m_fileName.substr(0, 63);
    if (name.empty()) name = "untitled";
    std::vector<std::uint8_t> header;
    header.push_back(static_cast<std::uint8_t>(name.size()));
    header.insert(header.end(), name.begin(), name.end());
    header.push_back(0);                                // version
    header.insert(header.end(), {'?', '?', '?', '?'});  // file type: unknown
    header.insert(header.end(), {'?', '?', '?', '?'});  // creator: unknown
    PutBigEndian(header, 0, 2);                         // Finder flags
    PutBigEndian(header, dataLength, 4);
    PutBigEndian(header, 0, 4);  // no resource fork
    PutBigEndian(header, Crc16(0, header.data(), header.size()), 2);

    destination << "(This file must be converted with BinHex 4.0)\r\n\r\n";
    TBinHexWriter writer(destination);
    writer.Write(header.data(), header.size());
    std::uint16_t crc = 0;
    if (seekable) {
        std::vector<std::uint8_t> buffer(65536);
        std::uint32_t left = dataLength;
        while (left > 0) {
            const std::size_t got =
                ReadSome(source, buffer.data(), std::min<std::size_t>(left, buffer.size()));
            if (got == 0) break;
            crc = Crc16(crc, buffer.data(), got);
            writer.Write(buffer.data(), got);
            left -= static_cast<std::uint32_t>(got);
        }
    } else {
        const auto* data = reinterpret_cast<const std::uint8_t*>(held.data());
        crc = Crc16(0, data, held.size());
        writer.Write(data, held.size());
    }
    std::vector<std::uint8_t> tail;
    PutBigEndian(tail, crc, 2);
    PutBigEndian(tail, 0, 2);  // CRC of the empty resource fork
    writer.Write(tail.data(), tail.size());
    writer.Finish();
}

const std::vector<TLpMessageEncoderInfo>& TLpMessageEncoderList::Encoders() {
    static const std::vector<TLpMessageEncoderInfo> encoders = {
        {"MIME", [] { return std::unique_ptr<TLpMessageEncoder>(new TLpMessageEncoderMIME); }},
        {"binhex4",
         [] { return std::unique_ptr<TLpMessageEncoder>(new TLpMessageEncoderBinHex4); }},
        {"QP",
         [] { return std::unique_ptr<TLpMessageEncoder>(new TLpMessageEncoderQuotedPrintable); }},
        {"UUE", [] { return std::unique_ptr<TLpMessageEncoder>(new TLpMessageEncoderUUE); }},
        {"XXE", [] { return std::unique_ptr<TLpMessageEncoder>(new TLpMessageEncoderXXE); }},
    };
    return encoders;
}

const TLpMessageEncoderInfo& TLpMessageEncoderList::ByName(std::string_view name) {
    for (const auto& info : Encoders()) {
        if (SameText(info.Name, name)) return info;
    }
    throw ELpException("Message encoder not found: " + std::string(name));
}

std::unique_ptr<TLpMessageEncoder> TLpMessageEncoderList::CreateEncoder(std::string_view name) {
    return ByName(name).Create();
}

void EncodeBase64Lines(std::istream& source, std::ostream& destination) {
    source.clear();
    source.seekg(0, std::ios::beg);
    source.clear();
    TLpBase64LineEncoder encoder([&destination](const char* data, std::size_t size) {
        destination.write(data, static_cast<std::streamsize>(size));
    });
    std::vector<std::uint8_t> buffer(kReadBlock);
    while (true) {
        const std::size_t got = ReadSome(source, buffer.data(), buffer.size());
        if (got == 0) break;
        encoder.Write(buffer.data(), got);
        if (got < buffer.size()) break;
    }
    encoder.Finish();
}

void EncodeQuotedPrintable(std::istream& source, std::ostream& destination) {
    QuotedPrintableStream(source, destination, -1);
}

// ---- Header words ----------------------------------------------------------------------------

bool ConvertToCharset(std::string_view text, std::string_view charset, std::string& bytes) {
    TLpBytes out;
    try {
        CharsetToEncoding(charset)->AppendBytes(text, out);
    } catch (const ELpException&) {
        return false;
    }
    bytes.assign(out.begin(), out.end());
    return true;
}

std::string EncodeHeaderText(std::string_view text, std::string_view specials, char letter,
                             std::string_view charset) {
    if (text.empty()) return {};
    const std::string plainText = WithoutLineBreaks(text);
    const TLpTextEncodingPtr encoding = CharsetToEncoding(charset);
    std::string bytes;
    if (!ConvertToCharset(plainText, charset, bytes) || bytes.empty()) return {};

    bool safe[256] = {};
    for (int c = 32; c <= 126; ++c) safe[c] = true;
    // Text that a decoder would take for encoded words must be encoded itself to read the same.
    if (LooksLikeEncodedWord(plainText)) safe[static_cast<unsigned char>('=')] = false;
    for (char ch : specials) safe[static_cast<unsigned char>(ch)] = false;

    // Words are found in the text itself, so that runs can be cut between its characters; every
    // charset a header can name writes blanks and ASCII as ASCII, so the words are the same.
    const std::string_view source = plainText;
    const std::size_t length = source.size();
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(source[i]); };
    std::string result;
    bool runOpen = false;
    std::size_t runStart = 0;
    std::size_t p = 0;
    while (p < length) {
        std::size_t r = p;
        while (r < length && IsHeaderWhitespace(byteAt(r))) ++r;
        std::size_t q = r;
        bool needsEncoding = false;
        while (q < length && !IsHeaderWhitespace(byteAt(q))) {
            if (!safe[byteAt(q)]) needsEncoding = true;
            ++q;
        }
        // A word too long for any header line can only be split as encoded words.
        if (q - r > kLongestPlainWord) needsEncoding = true;
        if (!needsEncoding) {
            if (runOpen) {
                result += EncodeRun(source.substr(runStart, p - runStart), letter, charset,
                                    *encoding);
                runOpen = false;
            }
            result.append(source, p, q - p);
        } else if (!runOpen) {
            result.append(source, p, r - p);
            runOpen = true;
            runStart = r;
        }
        p = q;
    }
    if (runOpen) result += EncodeRun(source.substr(runStart), letter, charset, *encoding);
    return result;
}

std::string EncodeAddressList(TLpEMailAddressList& list, char letter, std::string_view charset,
                              bool useAddressForMissingName) {
    std::string result;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (i > 0) result += ", ";
        result += EncodeAddressEntry(list.Items(i), letter, charset, useAddressForMissingName);
    }
    return result;
}

std::string EncodeAddressEntry(TLpEMailAddressItem& item, char letter, std::string_view charset,
                               bool useAddressForMissingName) {
    if (useAddressForMissingName && item.Name().empty()) item.SetName(item.Address());
    const std::string name = WithoutLineBreaks(item.Name());
    if (name.empty()) return item.Address();
    const bool plain = std::all_of(name.begin(), name.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 32 && c <= 126;
    });
    std::string shown;
    if (plain) {
        shown = "\"";
        for (char ch : name) {
            if (ch == '\\' || ch == '"') shown += '\\';
            shown += ch;
        }
        shown += '"';
    }
    if (!plain || shown.size() > kLongestPlainWord)
        shown = EncodeHeaderText(name, "()[]<>:;.,@\\\"", letter, charset);
    return shown + " <" + item.Address() + ">";
}

}  // namespace larkpost
