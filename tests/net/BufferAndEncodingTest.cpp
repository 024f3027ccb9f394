// The byte queue and the text encodings, without a socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

#include "net/Buffer.h"
#include "net/Exceptions.h"
#include "net/TextEncoding.h"

namespace larkpost {
namespace {

TLpBytes Bytes(const std::string& s) {
    return TLpBytes(s.begin(), s.end());
}
std::string Str(const TLpBytes& b) {
    return std::string(b.begin(), b.end());
}

TEST(Buffer, FindsFromTheStartAndRejectsBadArguments) {
    TLpBuffer b;
    EXPECT_EQ(b.Find(Bytes("\n")), -1);  // empty buffer
    b.Append(Bytes("ab\r\ncd\r\n"));
    EXPECT_EQ(b.Find(Bytes("\r\n")), 2);
    EXPECT_EQ(b.Find(Bytes("\r\n"), 3), 6);
    EXPECT_EQ(b.Find(Bytes("xyz")), -1);
    try {
        b.Find(TLpBytes());
        ADD_FAILURE();
    } catch (const ELpException& e) {
        EXPECT_STREQ(e.what(), "Buffer terminator must be specified.");
    }
    for (int start : {-1, 8}) {
        try {
            b.Find(Bytes("\n"), start);
            ADD_FAILURE() << start;
        } catch (const ELpException& e) {
            EXPECT_STREQ(e.what(), "Buffer start position is invalid.");
        }
    }
    TLpBytes out;
    try {
        b.ExtractToBytes(out, 9);
        ADD_FAILURE();
    } catch (const ELpNotEnoughDataInBuffer& e) {
        EXPECT_STREQ(e.what(), "Not enough data in buffer. (9/8)");
    }
    EXPECT_EQ(b.Extract(4), "ab\r\n");
    EXPECT_EQ(b.Size(), 4);
}

TEST(Buffer, KeepsItsBytesInOrderThroughAppendsAndRemovalsOfAnySize) {
    // Against a plain deque: compaction and shrinking must never lose or reorder a byte, and the
    // capacity never runs past the most that was ever unread.
    std::mt19937 rng(12345);
    TLpBuffer b;
    std::deque<uint8_t> model;
    int removed = 0;
    int peak = 0;
    b.OnBytesRemoved = [&](TLpBuffer*, int n) { removed += n; };
    for (int round = 0; round < 3000; ++round) {
        int n = static_cast<int>(rng() % 5000);
        TLpBytes chunk(n);
        for (auto& x : chunk) x = static_cast<uint8_t>(rng());
        b.Append(chunk);
        model.insert(model.end(), chunk.begin(), chunk.end());
        peak = std::max(peak, b.Size());
        int take = static_cast<int>(rng() % (model.size() + 1));
        TLpBytes out;
        b.ExtractToBytes(out, take);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), model.begin()));
        model.erase(model.begin(), model.begin() + take);
        ASSERT_EQ(b.Size(), static_cast<int>(model.size()));
        ASSERT_LE(b.HeadIndex() + b.Size(), b.Capacity());
        ASSERT_LE(b.Capacity(), peak + 2 * b.GrowthFactor());
        if (b.Size() == 0) {
            ASSERT_EQ(b.HeadIndex(), 0);
        }
    }
    EXPECT_GT(removed, 0);
}

TEST(TextEncoding, TextToBytes) {
    struct Case {
        const char* name;
        TLpTextEncodingPtr encoding;
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"ascii plain", ASCIIEncoding(), "EHLO x", "EHLO x"},
        {"ascii e-acute", ASCIIEncoding(), "\xC3\xA9", "?"},
        {"ascii outside the BMP", ASCIIEncoding(), "\xF0\x9F\x98\x80", "??"},
        {"8-bit e-acute", EightBitEncoding(), "\xC3\xA9", "\xE9"},
        {"8-bit euro", EightBitEncoding(), "\xE2\x82\xAC", "?"},
        {"utf-8 euro", UTF8Encoding(), "\xE2\x82\xAC", "\xE2\x82\xAC"},
        {"utf-8 malformed input", UTF8Encoding(), "a\xFF", "a\xEF\xBF\xBD"},
        {"utf-16le", UTF16LEEncoding(), "A\xF0\x9F\x98\x80", std::string("A\0\x3D\xD8\x00\xDE", 6)},
        {"utf-16be", UTF16BEEncoding(), "A\xC3\xA9", std::string("\0A\0\xE9", 4)},
        {"windows-1252 euro", CharsetToEncoding("windows-1252"), "\xE2\x82\xAC", "\x80"},
        {"koi8-r zhe", CharsetToEncoding("KOI8-R"), "\xD0\x96", "\xF6"},
        {"iso-2022-jp", CharsetToEncoding("ISO-2022-JP"), "\xE6\x97\xA5", "\x1B$BF|\x1B(B"},
        // Back to ASCII before the "?" for a character JIS lacks, or it is half a kanji.
        {"iso-2022-jp tilde after kanji", CharsetToEncoding("ISO-2022-JP"), "時～12",
         "\x1B$B;~\x1B(B?12"},
        {"iso-2022-jp circled one between kanji", CharsetToEncoding("ISO-2022-JP"), "資料①表",
         "\x1B$B;qNA\x1B(B?\x1B$BI=\x1B(B"},
        {"utf-7", CharsetToEncoding("UTF-7"), "\xE2\x82\xAC", "+IKw-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Str(c.encoding->GetBytes(c.text)), c.bytes);
    }
}

TEST(TextEncoding, BytesToText) {
    struct Case {
        const char* name;
        TLpTextEncodingPtr encoding;
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"ascii high byte", ASCIIEncoding(), "a\xE9", "a\xEF\xBF\xBD"},
        {"8-bit high byte", EightBitEncoding(), "a\xE9", "a\xC3\xA9"},
        {"8-bit every byte", EightBitEncoding(), std::string("\0\xFF", 2),
         std::string("\0\xC3\xBF", 3)},
        {"utf-8 truncated", UTF8Encoding(), "a\xC3", "a\xEF\xBF\xBD"},
        {"utf-8 overlong", UTF8Encoding(), "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"utf-16le odd last byte", UTF16LEEncoding(), std::string("A\0B", 3), "A"},
        {"utf-16le lone surrogate", UTF16LEEncoding(), std::string("\x3D\xD8", 2), "\xEF\xBF\xBD"},
        {"gb2312", CharsetToEncoding("GB2312"), "\xD6\xD0", "\xE4\xB8\xAD"},
        {"big5", CharsetToEncoding("Big5"), "\xA4\xA4", "\xE4\xB8\xAD"},
        {"euc-kr", CharsetToEncoding("csEUCKR"), "\xC7\xD1", "\xED\x95\x9C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.encoding->GetString(Bytes(c.bytes)), c.text);
    }
}

TEST(TextEncoding, CharsetNamesMapToCodePages) {
    struct Case {
        const char* name;
        int codePage;
    };
    const Case cases[] = {
        {"US-ASCII", 20127},    {"us-ascii", 20127},      {"ISO-8859-1", 28591},
        {"latin1", 28591},      {"UTF-8", 65001},         {"utf-8", 65001},
        {"UTF-7", 65000},       {"UTF-16", 1200},         {"GB2312", 936},
        {"Big5", 950},          {"ISO-2022-JP", 50220},   {"EUC-KR", 51949},
        {"csEUCKR", 51949},     {"KOI8-R", 20866},        {"windows-1251", 1251},
        {"windows-1252", 1252}, {"Shift_JIS", 932},       {"ISO-8859-15", 28605},
        {"ISO-8859-10", 0},     {"x-no-such-charset", 0}, {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CharsetToCodePage(c.name), c.codePage);
    }
    // No code page, an unknown name and an empty one all fall back to the 8-bit encoding.
    for (const char* name : {"", "ISO-8859-10", "x-no-such-charset"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CharsetToEncoding(name)->CodePage(), 28591);
    }
    EXPECT_EQ(CharsetToEncoding("US-ASCII"), ASCIIEncoding());
    EXPECT_EQ(CharsetToEncoding("UTF-8"), UTF8Encoding());
}

TEST(TextEncoding, CodePageFactoryAndPreambles) {
    EXPECT_EQ(EncodingForCodePage(65001), UTF8Encoding());
    EXPECT_EQ(EncodingForCodePage(1201), UTF16BEEncoding());
    EXPECT_EQ(EncodingForCodePage(20127), ASCIIEncoding());
    try {
        EncodingForCodePage(99999);
        ADD_FAILURE();
    } catch (const ELpException& e) {
        EXPECT_STREQ(e.what(), "Invalid codepage (99999)");
    }
    EXPECT_EQ(Str(UTF8Encoding()->GetPreamble()), "\xEF\xBB\xBF");
    EXPECT_EQ(Str(UTF16LEEncoding()->GetPreamble()), "\xFF\xFE");
    EXPECT_TRUE(ASCIIEncoding()->GetPreamble().empty());
    EXPECT_EQ(UTF8Encoding()->GetCharCount(Bytes("a\xF0\x9F\x98\x80").data(), 5), 3u);
}

}  // namespace
}  // namespace larkpost
