#include "net/TextEncoding.h"

#include <iconv.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <langinfo.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/CodePage.h"
#include "platform/Exception.h"

namespace larkpost {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One code point of UTF-8 at text[i], advancing i; a malformed sequence gives U+FFFD for one byte.
char32_t NextCodePoint(std::string_view text, size_t& i) {
    char32_t cp;
    const size_t length = DecodeUtf8At(text, i, cp);
    if (length == 0) {
        ++i;
        return kReplacement;
    }
    i += length;
    return cp;
}

// Sixteen bytes at a time where SSE2 is there (every x86-64), the last block overlapping the one
// before it: line reads check every byte they return.
bool IsAllAscii(const uint8_t* data, size_t count) {
#if defined(__SSE2__)
    if (count >= 16) {
        __m128i high = _mm_setzero_si128();
        size_t i = 0;
        for (; i + 16 <= count; i += 16)
            high = _mm_or_si128(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
        high = _mm_or_si128(high,
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + count - 16)));
        return _mm_movemask_epi8(high) == 0;
    }
#endif
    uint64_t bits = 0;
    if (count >= 8) {
        uint64_t a, b;
        std::memcpy(&a, data, 8);
        std::memcpy(&b, data + count - 8, 8);
        bits = a | b;
        if (count > 16)
            for (size_t i = 8; i + 8 < count; i += 8) {
                std::memcpy(&a, data + i, 8);
                bits |= a;
            }
    } else {
        for (size_t i = 0; i < count; ++i) bits |= data[i];
    }
    return (bits & 0x8080808080808080ULL) == 0;
}

// Bytes that are valid UTF-8 pass unchanged; malformed parts become U+FFFD.
std::string SanitizeUtf8(const uint8_t* data, size_t count) {
    std::string_view view(reinterpret_cast<const char*>(data), count);
    std::string out;
    out.reserve(count);
    size_t i = 0;
    while (i < count) {
        size_t start = i;
        while (i < count && data[i] < 0x80) ++i;
        out.append(view.data() + start, i - start);
        if (i >= count) break;
        size_t before = i;
        NextCodePoint(view, i);
        // A malformed sequence is skipped one byte at a time; a well-formed one is longer.
        if (i - before == 1)
            AppendUtf8(out, kReplacement);
        else
            out.append(view.data() + before, i - before);
    }
    return out;
}

// One pass of iconv between two charsets. Unconvertible input is replaced (a "?" going out,
// U+FFFD coming in) one code point or byte at a time, as the system code-page conversions do.
std::string IconvConvert(const std::string& from, const std::string& to, const char* data,
                         size_t count, bool toUtf8) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
    std::string out;
    char buffer[4096];
    char* in = const_cast<char*>(data);
    size_t inLeft = count;
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        if (rc != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: skip one input unit and put the replacement in its place.
        if (toUtf8) {
            AppendUtf8(out, kReplacement);
            ++in;
            --inLeft;
        } else {
            // A stateful charset (ISO-2022-JP after a kanji) is still in its two-byte mode: go
            // back to ASCII first, or the "?" is read as half of a two-byte character.
            char* resetPtr = buffer;
            size_t resetLeft = sizeof buffer;
            iconv(cd, nullptr, nullptr, &resetPtr, &resetLeft);
            out.append(buffer, sizeof buffer - resetLeft);
            size_t i = 0;
            NextCodePoint(std::string_view(in, inLeft), i);
            out += '?';
            in += i;
            inLeft -= i;
        }
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, sizeof buffer - outLeft);
    iconv_close(cd);
    return out;
}

template <typename T>
TLpTextEncodingPtr Shared(std::atomic<std::shared_ptr<const ILpTextEncoding>*>& slot) {
    auto* current = slot.load(std::memory_order_acquire);
    if (current) return *current;
    auto* made = new std::shared_ptr<const ILpTextEncoding>(std::make_shared<T>());
    std::shared_ptr<const ILpTextEncoding>* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        // Another thread made one first: keep theirs.
        delete made;
        return *expected;
    }
    return *made;
}

}  // namespace

// ---- ILpTextEncoding ------------------------------------------------------------------------

TLpBytes ILpTextEncoding::GetBytes(std::string_view text) const {
    TLpBytes out;
    out.reserve(text.size());
    AppendBytes(text, out);
    return out;
}

size_t ILpTextEncoding::GetByteCount(std::string_view text) const {
    return GetBytes(text).size();
}

std::string ILpTextEncoding::GetString(const TLpBytes& bytes, size_t index, ptrdiff_t count) const {
    if (index >= bytes.size()) return std::string();
    size_t available = bytes.size() - index;
    size_t n = count < 0 || static_cast<size_t>(count) > available ? available
                                                                   : static_cast<size_t>(count);
    return GetString(bytes.data() + index, n);
}

size_t ILpTextEncoding::GetCharCount(const uint8_t* data, size_t count) const {
    std::string text = GetString(data, count);
    size_t units = 0;
    for (size_t i = 0; i < text.size();) units += NextCodePoint(text, i) >= 0x10000 ? 2 : 1;
    return units;
}

// ---- 7-bit and 8-bit ------------------------------------------------------------------------

void TLpASCIIEncoding::AppendBytes(std::string_view text, TLpBytes& out) const {
    size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    while (i < text.size()) {
        if (s[i] < 0x80) {
            out.push_back(s[i++]);
            continue;
        }
        // One "?" per UTF-16 code unit.
        char32_t cp = NextCodePoint(text, i);
        out.push_back('?');
        if (cp >= 0x10000) out.push_back('?');
    }
}

std::string TLpASCIIEncoding::GetString(const uint8_t* data, size_t count) const {
    std::string out;
    AppendString(data, count, out);
    return out;
}

void TLpASCIIEncoding::AppendString(const uint8_t* data, size_t count, std::string& out) const {
    if (IsAllAscii(data, count)) {
        out.append(reinterpret_cast<const char*>(data), count);
        return;
    }
    out.reserve(out.size() + count);
    size_t i = 0;
    while (i < count) {
        size_t start = i;
        while (i < count && data[i] < 0x80) ++i;
        out.append(reinterpret_cast<const char*>(data) + start, i - start);
        for (; i < count && data[i] >= 0x80; ++i) out += "\xEF\xBF\xBD";
    }
}

void TLp8BitEncoding::AppendBytes(std::string_view text, TLpBytes& out) const {
    size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    while (i < text.size()) {
        if (s[i] < 0x80) {
            out.push_back(s[i++]);
            continue;
        }
        char32_t cp = NextCodePoint(text, i);
        if (cp < 0x100) {
            out.push_back(static_cast<uint8_t>(cp));
            continue;
        }
        out.push_back('?');
        if (cp >= 0x10000) out.push_back('?');
    }
}

std::string TLp8BitEncoding::GetString(const uint8_t* data, size_t count) const {
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint8_t b = data[i];
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

// ---- Code pages -----------------------------------------------------------------------------

std::string TLpMBCSEncoding::IconvName(int codePage) {
    switch (codePage) {
        case 20127:
            return "ASCII";
        case 65000:
            return "UTF-7";
        case 65001:
            return "UTF-8";
        case 1200:
            return "UTF-16LE";
        case 1201:
            return "UTF-16BE";
        case 12000:
            return "UTF-32LE";
        case 12001:
            return "UTF-32BE";
        case 20866:
            return "KOI8-R";
        case 21866:
            return "KOI8-U";
        case 932:
            return "CP932";
        case 936:
            return "CP936";
        case 949:
            return "CP949";
        case 950:
            return "CP950";
        case 51932:
            return "EUC-JP";
        case 51936:
            return "EUC-CN";
        case 51949:
            return "EUC-KR";
        case 50220:
        case 50221:
        case 50222:
            return "ISO-2022-JP";
        case 50225:
            return "ISO-2022-KR";
        case 54936:
            return "GB18030";
        case 52936:
            return "HZ";
        case 10000:
            return "MACINTOSH";
        case 38598:
            return "ISO-8859-8";
        case 37:
            return "IBM037";
        default:
            break;
    }
    if (codePage >= 28591 && codePage <= 28606)
        return "ISO-8859-" + std::to_string(codePage - 28590);
    return "CP" + std::to_string(codePage);
}

TLpMBCSEncoding::TLpMBCSEncoding(int codePage) : m_codePage(codePage) {
    m_iconvName = IconvName(codePage);
    iconv_t probe = iconv_open(m_iconvName.c_str(), "UTF-8");
    if (probe == reinterpret_cast<iconv_t>(-1))
        throw ELpException("Invalid codepage (" + std::to_string(codePage) + ")");
    iconv_close(probe);
}

void TLpMBCSEncoding::AppendBytes(std::string_view text, TLpBytes& out) const {
    std::string converted = IconvConvert("UTF-8", m_iconvName, text.data(), text.size(), false);
    out.insert(out.end(), converted.begin(), converted.end());
}

std::string TLpMBCSEncoding::GetString(const uint8_t* data, size_t count) const {
    return IconvConvert(m_iconvName, "UTF-8", reinterpret_cast<const char*>(data), count, true);
}

TLpBytes TLpMBCSEncoding::GetPreamble() const {
    switch (m_codePage) {
        case 65001:
            return {0xEF, 0xBB, 0xBF};
        case 1200:
            return {0xFF, 0xFE};
        case 1201:
            return {0xFE, 0xFF};
        default:
            return {};
    }
}

TLpUTF8Encoding::TLpUTF8Encoding() : TLpMBCSEncoding(65001) {}

void TLpUTF8Encoding::AppendBytes(std::string_view text, TLpBytes& out) const {
    std::string clean = SanitizeUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    out.insert(out.end(), clean.begin(), clean.end());
}

std::string TLpUTF8Encoding::GetString(const uint8_t* data, size_t count) const {
    return SanitizeUtf8(data, count);
}

// ---- UTF-16 ---------------------------------------------------------------------------------

void TLpUTF16LittleEndianEncoding::AppendBytes(std::string_view text, TLpBytes& out) const {
    const bool big = BigEndian();
    const std::u16string units = Utf8ToUtf16(text);
    out.reserve(out.size() + 2 * units.size());
    for (const char16_t u : units) {
        const auto hi = static_cast<uint8_t>(u >> 8), lo = static_cast<uint8_t>(u & 0xFF);
        out.push_back(big ? hi : lo);
        out.push_back(big ? lo : hi);
    }
}

std::string TLpUTF16LittleEndianEncoding::GetString(const uint8_t* data, size_t count) const {
    const bool big = BigEndian();
    std::u16string units(count / 2, u'\0');  // an odd last byte is ignored
    for (size_t k = 0; k < units.size(); ++k)
        units[k] = big ? static_cast<char16_t>(data[2 * k] << 8 | data[2 * k + 1])
                       : static_cast<char16_t>(data[2 * k + 1] << 8 | data[2 * k]);
    return Utf16ToUtf8(units);
}

// ---- Shared instances and factories ---------------------------------------------------------

TLpTextEncodingPtr ASCIIEncoding() {
    static std::atomic<std::shared_ptr<const ILpTextEncoding>*> slot{nullptr};
    return Shared<TLpASCIIEncoding>(slot);
}
TLpTextEncodingPtr EightBitEncoding() {
    static std::atomic<std::shared_ptr<const ILpTextEncoding>*> slot{nullptr};
    return Shared<TLp8BitEncoding>(slot);
}
TLpTextEncodingPtr UTF7Encoding() {
    static std::atomic<std::shared_ptr<const ILpTextEncoding>*> slot{nullptr};
    return Shared<TLpUTF7Encoding>(slot);
}
TLpTextEncodingPtr UTF8Encoding() {
    static std::atomic<std::shared_ptr<const ILpTextEncoding>*> slot{nullptr};
    return Shared<TLpUTF8Encoding>(slot);
}
TLpTextEncodingPtr UTF16LEEncoding() {
    static std::atomic<std::shared_ptr<const ILpTextEncoding>*> slot{nullptr};
    return Shared<TLpUTF16LittleEndianEncoding>(slot);
}
TLpTextEncodingPtr UTF16BEEncoding() {
    static std::atomic<std::shared_ptr<const ILpTextEncoding>*> slot{nullptr};
    return Shared<TLpUTF16BigEndianEncoding>(slot);
}

namespace {
struct TLpOSDefaultEncoding : TLpMBCSEncoding {
    TLpOSDefaultEncoding() : TLpMBCSEncoding(65001) {}
};
}  // namespace

TLpTextEncodingPtr OSDefaultEncoding() {
    static std::once_flag once;
    static TLpTextEncodingPtr instance;
    std::call_once(once, [] {
        // The locale's charset; "ANSI_X3.4-1968" (the C locale) and anything unknown read as
        // UTF-8, the program's own text.
        const char* codeset = nl_langinfo(CODESET);
        int cp = codeset ? CharsetToCodePage(codeset) : 0;
        if (cp == 0 || cp == 20127 || cp == 65001) {
            instance = UTF8Encoding();
            return;
        }
        try {
            instance = EncodingForCodePage(cp);
        } catch (const ELpException&) {
            instance = UTF8Encoding();
        }
    });
    return instance;
}

TLpTextEncodingPtr EncodingForCodePage(int codePage) {
    switch (codePage) {
        case 1200:
            return UTF16LEEncoding();
        case 1201:
            return UTF16BEEncoding();
        case 20127:
            return ASCIIEncoding();
        case 65000:
            return UTF7Encoding();
        case 65001:
            return UTF8Encoding();
        case 28591:
            return EightBitEncoding();
        default:
            return std::make_shared<TLpMBCSEncoding>(codePage);
    }
}

// ---- Charset names --------------------------------------------------------------------------

namespace {

struct CharsetRow {
    const char* name;
    int codePage;
};

// IANA charset names and their aliases, with the code page each converts through (0: none).
const CharsetRow kCharsets[] = {
    {"US-ASCII", 20127},
    {"ASCII", 20127},
    {"ANSI_X3.4-1968", 20127},
    {"ANSI_X3.4-1986", 20127},
    {"ISO646-US", 20127},
    {"ISO_646.irv:1991", 20127},
    {"iso-ir-6", 20127},
    {"us", 20127},
    {"IBM367", 20127},
    {"cp367", 20127},
    {"csASCII", 20127},
    {"ISO-8859-1", 28591},
    {"ISO_8859-1", 28591},
    {"ISO_8859-1:1987", 28591},
    {"iso-ir-100", 28591},
    {"latin1", 28591},
    {"l1", 28591},
    {"IBM819", 28591},
    {"CP819", 28591},
    {"csISOLatin1", 28591},
    {"ISO8859-1", 28591},
    {"ISO-8859-2", 28592},
    {"ISO_8859-2", 28592},
    {"ISO_8859-2:1987", 28592},
    {"iso-ir-101", 28592},
    {"latin2", 28592},
    {"l2", 28592},
    {"csISOLatin2", 28592},
    {"ISO-8859-3", 28593},
    {"ISO_8859-3", 28593},
    {"ISO_8859-3:1988", 28593},
    {"iso-ir-109", 28593},
    {"latin3", 28593},
    {"l3", 28593},
    {"csISOLatin3", 28593},
    {"ISO-8859-4", 28594},
    {"ISO_8859-4", 28594},
    {"ISO_8859-4:1988", 28594},
    {"iso-ir-110", 28594},
    {"latin4", 28594},
    {"l4", 28594},
    {"csISOLatin4", 28594},
    {"ISO-8859-5", 28595},
    {"ISO_8859-5", 28595},
    {"ISO_8859-5:1988", 28595},
    {"iso-ir-144", 28595},
    {"cyrillic", 28595},
    {"csISOLatinCyrillic", 28595},
    {"ISO-8859-6", 28596},
    {"ISO_8859-6", 28596},
    {"ISO_8859-6:1987", 28596},
    {"iso-ir-127", 28596},
    {"ECMA-114", 28596},
    {"ASMO-708", 708},
    {"arabic", 28596},
    {"csISOLatinArabic", 28596},
    {"ISO-8859-7", 28597},
    {"ISO_8859-7", 28597},
    {"ISO_8859-7:1987", 28597},
    {"iso-ir-126", 28597},
    {"ELOT_928", 28597},
    {"ECMA-118", 28597},
    {"greek", 28597},
    {"greek8", 28597},
    {"csISOLatinGreek", 28597},
    {"ISO-8859-8", 28598},
    {"ISO_8859-8", 28598},
    {"ISO_8859-8:1988", 28598},
    {"iso-ir-138", 28598},
    {"hebrew", 28598},
    {"csISOLatinHebrew", 28598},
    {"ISO-8859-8-I", 38598},
    {"ISO_8859-8-I", 38598},
    {"csISO88598I", 38598},
    {"ISO-8859-9", 28599},
    {"ISO_8859-9", 28599},
    {"ISO_8859-9:1989", 28599},
    {"iso-ir-148", 28599},
    {"latin5", 28599},
    {"l5", 28599},
    {"csISOLatin5", 28599},
    {"ISO-8859-10", 0},
    {"iso-ir-157", 0},
    {"latin6", 0},
    {"l6", 0},
    {"csISOLatin6", 0},
    {"ISO-8859-11", 0},
    {"TIS-620", 874},
    {"windows-874", 874},
    {"csTIS620", 874},
    {"ISO-8859-13", 28603},
    {"csISO885913", 28603},
    {"ISO-8859-14", 0},
    {"iso-ir-199", 0},
    {"latin8", 0},
    {"l8", 0},
    {"iso-celtic", 0},
    {"ISO-8859-15", 28605},
    {"ISO_8859-15", 28605},
    {"Latin-9", 28605},
    {"csISO885915", 28605},
    {"ISO-8859-16", 0},
    {"iso-ir-226", 0},
    {"latin10", 0},
    {"l10", 0},
    {"UTF-8", 65001},
    {"csUTF8", 65001},
    {"UTF8", 65001},
    {"UTF-7", 65000},
    {"csUTF7", 65000},
    {"UNICODE-1-1-UTF-7", 65000},
    {"UTF-16", 1200},
    {"csUTF16", 1200},
    {"UTF-16LE", 1200},
    {"csUTF16LE", 1200},
    {"UTF-16BE", 1201},
    {"csUTF16BE", 1201},
    {"unicodeFFFE", 1201},
    {"UTF-32", 12000},
    {"csUTF32", 12000},
    {"UTF-32LE", 12000},
    {"csUTF32LE", 12000},
    {"UTF-32BE", 12001},
    {"csUTF32BE", 12001},
    {"ISO-10646-UCS-2", 1200},
    {"csUnicode", 1200},
    {"ISO-10646-UCS-4", 0},
    {"csUCS4", 0},
    {"SCSU", 0},
    {"BOCU-1", 0},
    {"csBOCU-1", 0},
    {"CESU-8", 0},
    {"csCESU-8", 0},
    {"windows-1250", 1250},
    {"cp1250", 1250},
    {"cswindows1250", 1250},
    {"windows-1251", 1251},
    {"cp1251", 1251},
    {"cswindows1251", 1251},
    {"windows-1252", 1252},
    {"cp1252", 1252},
    {"cswindows1252", 1252},
    {"windows-1253", 1253},
    {"cp1253", 1253},
    {"cswindows1253", 1253},
    {"windows-1254", 1254},
    {"cp1254", 1254},
    {"cswindows1254", 1254},
    {"windows-1255", 1255},
    {"cp1255", 1255},
    {"cswindows1255", 1255},
    {"windows-1256", 1256},
    {"cp1256", 1256},
    {"cswindows1256", 1256},
    {"windows-1257", 1257},
    {"cp1257", 1257},
    {"cswindows1257", 1257},
    {"windows-1258", 1258},
    {"cp1258", 1258},
    {"cswindows1258", 1258},
    {"IBM437", 437},
    {"cp437", 437},
    {"437", 437},
    {"csPC8CodePage437", 437},
    {"IBM850", 850},
    {"cp850", 850},
    {"850", 850},
    {"csPC850Multilingual", 850},
    {"IBM852", 852},
    {"cp852", 852},
    {"852", 852},
    {"csPCp852", 852},
    {"IBM855", 855},
    {"cp855", 855},
    {"855", 855},
    {"csIBM855", 855},
    {"IBM857", 857},
    {"cp857", 857},
    {"857", 857},
    {"csIBM857", 857},
    {"IBM860", 860},
    {"cp860", 860},
    {"860", 860},
    {"csIBM860", 860},
    {"IBM861", 861},
    {"cp861", 861},
    {"861", 861},
    {"cp-is", 861},
    {"csIBM861", 861},
    {"IBM862", 862},
    {"cp862", 862},
    {"862", 862},
    {"csPC862LatinHebrew", 862},
    {"IBM863", 863},
    {"cp863", 863},
    {"863", 863},
    {"csIBM863", 863},
    {"IBM864", 864},
    {"cp864", 864},
    {"csIBM864", 864},
    {"IBM865", 865},
    {"cp865", 865},
    {"865", 865},
    {"csIBM865", 865},
    {"IBM866", 866},
    {"cp866", 866},
    {"866", 866},
    {"csIBM866", 866},
    {"IBM869", 869},
    {"cp869", 869},
    {"869", 869},
    {"cp-gr", 869},
    {"csIBM869", 869},
    {"IBM037", 37},
    {"cp037", 37},
    {"ebcdic-cp-us", 37},
    {"ebcdic-cp-ca", 37},
    {"ebcdic-cp-wt", 37},
    {"ebcdic-cp-nl", 37},
    {"csIBM037", 37},
    {"IBM500", 500},
    {"CP500", 500},
    {"ebcdic-cp-be", 500},
    {"ebcdic-cp-ch", 500},
    {"csIBM500", 500},
    {"IBM1026", 1026},
    {"CP1026", 1026},
    {"csIBM1026", 1026},
    {"KOI8-R", 20866},
    {"csKOI8R", 20866},
    {"KOI8-U", 21866},
    {"csKOI8U", 21866},
    {"GB2312", 936},
    {"csGB2312", 936},
    {"GBK", 936},
    {"CP936", 936},
    {"MS936", 936},
    {"windows-936", 936},
    {"csGBK", 936},
    {"GB_2312-80", 936},
    {"iso-ir-58", 936},
    {"chinese", 936},
    {"csISO58GB231280", 936},
    {"EUC-CN", 51936},
    {"GB18030", 54936},
    {"csGB18030", 54936},
    {"HZ-GB-2312", 52936},
    {"Big5", 950},
    {"csBig5", 950},
    {"Big5-HKSCS", 950},
    {"csBig5HKSCS", 950},
    {"cn-big5", 950},
    {"x-x-big5", 950},
    {"Shift_JIS", 932},
    {"MS_Kanji", 932},
    {"csShiftJIS", 932},
    {"SJIS", 932},
    {"Windows-31J", 932},
    {"csWindows31J", 932},
    {"cp932", 932},
    {"x-sjis", 932},
    {"EUC-JP", 51932},
    {"csEUCPkdFmtJapanese", 51932},
    {"Extended_UNIX_Code_Packed_Format_for_Japanese", 51932},
    {"x-euc-jp", 51932},
    {"ISO-2022-JP", 50220},
    {"csISO2022JP", 50220},
    {"ISO-2022-JP-2", 0},
    {"csISO2022JP2", 0},
    {"EUC-KR", 51949},
    {"csEUCKR", 51949},
    {"KS_C_5601-1987", 949},
    {"KS_C_5601-1989", 949},
    {"KSC_5601", 949},
    {"korean", 949},
    {"iso-ir-149", 949},
    {"csKSC56011987", 949},
    {"ks_c_5601", 949},
    {"cp949", 949},
    {"ISO-2022-KR", 50225},
    {"csISO2022KR", 50225},
    {"ISO-2022-CN", 0},
    {"ISO-2022-CN-EXT", 0},
    {"macintosh", 10000},
    {"mac", 10000},
    {"csMacintosh", 10000},
    {"hp-roman8", 0},
    {"roman8", 0},
    {"r8", 0},
    {"csHPRoman8", 0},
    {"VISCII", 0},
    {"csVISCII", 0},
    {"VIQR", 0},
    {"csVIQR", 0},
    {"TSCII", 0},
    {"KOI7-switched", 0},
    {"KZ-1048", 0},
    {"PTCP154", 0},
};

std::string Lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const std::unordered_map<std::string, int>& CharsetMap() {
    static const std::unordered_map<std::string, int> map = [] {
        std::unordered_map<std::string, int> m;
        for (const auto& row : kCharsets) m.emplace(Lower(row.name), row.codePage);
        return m;
    }();
    return map;
}

}  // namespace

int CharsetToCodePage(std::string_view charset) {
    const auto& map = CharsetMap();
    auto it = map.find(Lower(charset));
    return it == map.end() ? 0 : it->second;
}

TLpTextEncodingPtr CharsetToEncoding(std::string_view charset) {
    if (charset.empty()) return EightBitEncoding();
    int codePage = CharsetToCodePage(charset);
    if (codePage == 0) return EightBitEncoding();
    try {
        return EncodingForCodePage(codePage);
    } catch (const ELpException&) {
        return EightBitEncoding();
    }
}

}  // namespace larkpost
