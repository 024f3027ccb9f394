#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "mail/EMailAddress.h"
#include "mail/Encoders.h"
#include "net/TextEncoding.h"
#include "platform/Exception.h"

namespace larkpost {
namespace {

std::string Bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    return s;
}

std::string Base64Lines(const std::string& in) {
    std::istringstream source(in);
    std::ostringstream out;
    EncodeBase64Lines(source, out);
    return out.str();
}

std::string Str(const TLpBytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find("\r\n", from);
        if (end == std::string::npos) {
            lines.push_back(text.substr(from) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(from, end - from));
        from = end + 2;
    }
    return lines;
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    TLpEncoderMIME encoder;
    for (const auto& [in, out] : vectors) {
        SCOPED_TRACE(in);
        EXPECT_EQ(EncodeBase64(std::string_view(in)), out);
        EXPECT_EQ(encoder.EncodeBytes(in), out);
    }
    EXPECT_EQ(EncodeBase64(std::string("\xFB\xFF\xBF", 3)), "+/+/");
}

TEST(Base64, LinesOf76Columns) {
    struct Case {
        std::size_t bytes;
        std::vector<std::size_t> lineLengths;
    };
    const Case cases[] = {
        {0, {}},       {1, {4}},        {56, {76}},         {57, {76}},
        {58, {76, 4}}, {114, {76, 76}}, {115, {76, 76, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::string in = Bytes(c.bytes);
        const std::string out = Base64Lines(in);
        std::vector<std::size_t> lengths;
        std::string joined;
        for (const auto& line : SplitCrLf(out)) {
            lengths.push_back(line.size());
            joined += line;
        }
        EXPECT_EQ(lengths, c.lineLengths);
        EXPECT_EQ(joined, EncodeBase64(std::string_view(in)));
    }
    EXPECT_EQ(Base64Lines(Bytes(58)).substr(78),
              EncodeBase64(std::string_view(Bytes(58)).substr(57)) + "\r\n");
    EXPECT_EQ(Base64Lines(Bytes(58)).substr(78 + 2, 2), "==");
}

TEST(Base64, LineEncoderFedInAnyBlocksMatchesWholeStream) {
    const std::string in = Bytes(57 * 2000 + 31);
    const std::string expected = Base64Lines(in);
    for (std::size_t block : {1u, 56u, 57u, 58u, 1000u, 57u * 1024u, 200000u}) {
        SCOPED_TRACE(block);
        std::string out;
        TLpBase64LineEncoder encoder(
            [&out](const char* data, std::size_t size) { out.append(data, size); });
        for (std::size_t at = 0; at < in.size(); at += block) {
            const std::size_t n = std::min(block, in.size() - at);
            encoder.Write(reinterpret_cast<const std::uint8_t*>(in.data() + at), n);
        }
        encoder.Finish();
        EXPECT_EQ(out, expected);
    }
}

TEST(Base64, MessageEncoderRewindsItsSource) {
    std::istringstream source("hello world");
    source.ignore(5);
    std::ostringstream out;
    TLpMessageEncoderList::CreateEncoder("MIME")->Encode(source, out);
    EXPECT_EQ(out.str(), "aGVsbG8gd29ybGQ=\r\n");
}

TEST(QuotedPrintable, EncodesWhatMustBeEncoded) {
    const std::string a70(70, 'a');
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"empty body", "", ""},
        {"equals sign", "x=y", "x=3Dy\r\n"},
        {"trailing space", "end ", "end=20\r\n"},
        {"trailing tab", "end\t", "end=09\r\n"},
        {"inner blanks", "a b\tc", "a b\tc\r\n"},
        {"leading full stop", ".hidden", "=2Ehidden\r\n"},
        {"inner full stop", "a.b", "a.b\r\n"},
        {"euro in UTF-8", "\xE2\x82\xAC", "=E2=82=AC\r\n"},
        {"control bytes", std::string("\x00\x7F\x1B", 3), "=00=7F=1B\r\n"},
        {"75 letters", std::string(75, 'a'), a70 + "=\r\naaaaa\r\n"},
        {"exactly 70 letters", a70, a70 + "=\r\n\r\n"},
        {"69 letters", std::string(69, 'a'), std::string(69, 'a') + "\r\n"},
        {"encoded byte crossing 70", std::string(68, 'a') + "=",
         std::string(68, 'a') + "=3D=\r\n\r\n"},
        {"full stop after a soft break", a70 + ".x", a70 + "=\r\n=2Ex\r\n"},
        {"CR LF, LF and CR end lines", "a\r\nb\nc\rd", "a\r\nb\r\nc\r\nd\r\n"},
        {"final line end adds no line", "a\r\n", "a\r\n"},
        {"empty lines kept", "a\r\n\r\nb", "a\r\n\r\nb\r\n"},
        {"space before line end", "a \r\nb", "a=20\r\nb\r\n"},
        {"space before soft break", std::string(69, 'a') + " x",
         std::string(69, 'a') + " =\r\nx\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EncodeQuotedPrintableText(c.in), c.out);
    }
}

TEST(QuotedPrintable, StreamMatchesMemoryAcrossBlockEdges) {
    // The CR LF and a trailing space straddle the 64 KiB read blocks.
    const std::string in = std::string(65535, 'a') + "\r\n" + std::string(65534, 'b') + " \nlast";
    std::istringstream source(in);
    std::ostringstream out;
    EncodeQuotedPrintable(source, out);
    EXPECT_EQ(out.str(), EncodeQuotedPrintableText(in));
    for (const auto& line : SplitCrLf(out.str())) {
        EXPECT_LE(line.size(), 73u);
        EXPECT_NE(line.substr(0, 1), ".");
    }
}

TEST(HeaderText, EncodesWordsThatNeedIt) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"", ""},
        {"Hello world", "Hello world"},
        {"Grüße aus Köln", "=?UTF-8?B?R3LDvMOfZQ==?= aus =?UTF-8?B?S8O2bG4=?="},
        {"Grüße Köln", "=?UTF-8?B?R3LDvMOfZSBLw7Zsbg==?="},
        {" Grüße", " =?UTF-8?B?R3LDvMOfZQ==?="},
        {"Grüße ", "=?UTF-8?B?R3LDvMOfZQ==?= "},
        {"a=b 1+1=2", "a=b 1+1=2"},
        // Text a decoder would read as an encoded word is encoded itself.
        {"see =?UTF-8?B?SGk=?= here", "see =?UTF-8?B?PT9VVEYtOD9CP1NHaz0/PQ==?= here"},
        {"Hi\r\nBcc: x@y", "Hi  Bcc: x@y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(EncodeHeaderText(c.in, "", 'B', "UTF-8"), c.out);
    }
}

TEST(HeaderText, SplitsEncodedWordsAt75Characters) {
    std::string text;
    for (int i = 0; i < 50; ++i) text += "\xC3\xA4";  // 50 times a-umlaut, 100 bytes
    const std::string out = EncodeHeaderText(text, "", 'B', "UTF-8");
    // 15 groups would be 45 bytes, which would cut the 23rd character in two: 22 characters
    // (44 bytes, 60 characters of base64) fill a word.
    EXPECT_EQ(SplitCrLf(out + "\r\n"),
              (std::vector<std::string>{"=?UTF-8?B?" + EncodeBase64(text.substr(0, 44)) + "?=",
                                        " =?UTF-8?B?" + EncodeBase64(text.substr(44, 44)) + "?=",
                                        " =?UTF-8?B?" + EncodeBase64(text.substr(88)) + "?="}));
}

std::string DecodeBase64(const std::string& text) {
    static const std::string table =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '=') break;
        value = (value << 6) | static_cast<unsigned>(table.find(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

// Every encoded word must decode by itself to whole characters (RFC 2047, section 5), and in a
// stateful charset must leave the converter in ASCII, since readers decode word by word.
TEST(HeaderText, EveryEncodedWordHoldsWholeCharacters) {
    struct Case {
        const char* charset;
        std::string text;
    };
    auto times = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    const Case cases[] = {
        {"UTF-8", times("\xC3\xA4", 50)},                                   // 2 bytes each
        {"UTF-8", times("\xE2\x82\xAC", 40)},                               // 3 bytes each
        {"UTF-8", times("\xF0\x9F\x98\x80", 30)},                           // 4 bytes each
        {"UTF-8", times("Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC ", 12)},  // blanks in the run
        {"ISO-2022-JP", times("会議の資料について、", 12)},
        {"ISO-2022-JP", times("会議 10時～12時 ", 8)},
        {"ISO-2022-JP", times("カタカナと漢字とABC", 8)},
        {"GB2312", times("中文标题", 20)},
        {"Big5", times("中文標題", 20)},
        {"csEUCKR", times("한국어 제목", 15)},
        {"KOI8-R", times("Привет ", 20)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.charset) + " " + c.text);
        // Trailing blanks would stay plain after the last word.
        const std::string text = c.text.substr(0, c.text.find_last_not_of(' ') + 1);
        const auto encoding = CharsetToEncoding(c.charset);
        const std::string prefix = "=?" + std::string(c.charset) + "?B?";
        const std::string out = EncodeHeaderText(text, "", 'B', c.charset);
        std::string decoded;
        bool first = true;
        for (std::string word : SplitCrLf(out + "\r\n")) {
            if (!first) {
                ASSERT_EQ(word[0], ' ');
                word.erase(0, 1);
            }
            first = false;
            EXPECT_LE(word.size(), 75u);
            ASSERT_EQ(word.substr(0, prefix.size()), prefix) << word;
            ASSERT_EQ(word.substr(word.size() - 2), "?=") << word;
            const std::string bytes =
                DecodeBase64(word.substr(prefix.size(), word.size() - prefix.size() - 2));
            const std::size_t lastShift = bytes.rfind('\x1B');
            if (lastShift != std::string::npos) {
                EXPECT_EQ(bytes.substr(lastShift, 3), "\x1B(B") << word;
            }
            const std::string piece = encoding->GetString(
                reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            EXPECT_EQ(piece.find("\xEF\xBF\xBD"), std::string::npos) << word;
            EXPECT_EQ(Str(encoding->GetBytes(piece)), bytes) << word;
            decoded += piece;
        }
        // Only what the charset cannot hold (the fullwidth tilde in JIS) reads back as "?".
        std::string want = text;
        for (std::size_t at; (at = want.find("～")) != std::string::npos;) want.replace(at, 3, "?");
        EXPECT_EQ(decoded, want);
    }
}

// Folding breaks only between words and never inside quotes, so a longer piece could not stay
// within a header line's 998 octets: it goes as encoded words, which may break anywhere.
TEST(HeaderText, PiecesTooLongForAHeaderLineAreEncoded) {
    const std::string w900(900, 'x'), w901(901, 'x');
    EXPECT_EQ(EncodeHeaderText(w900, "", 'B', "UTF-8"), w900);
    const std::string encoded = EncodeHeaderText("a " + w901 + " b", "", 'B', "UTF-8");
    ASSERT_EQ(encoded.substr(0, 12), "a =?UTF-8?B?");
    ASSERT_EQ(encoded.substr(encoded.size() - 4), "?= b");
    std::string joined;
    for (const auto& line : SplitCrLf(encoded.substr(2, encoded.size() - 4) + "\r\n")) {
        const std::string word = line[0] == ' ' ? line.substr(1) : line;
        EXPECT_LE(word.size(), 75u);
        joined += DecodeBase64(word.substr(10, word.size() - 12));
    }
    EXPECT_EQ(joined, w901);

    // A display name is quoted whole, so the quoted form counts; a longer name goes as a phrase
    // of words, encoded where they need it.
    struct Case {
        std::string name;
        std::string shown;
    };
    const std::string many = "Q. Public, " + std::string(890, 'y');
    const Case cases[] = {
        {std::string(898, 'x'), "\"" + std::string(898, 'x') + "\""},
        {std::string(899, 'x'), std::string(899, 'x')},
        {many, "=?UTF-8?B?US4gUHVibGljLA==?= " + std::string(890, 'y')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        TLpEMailAddressItem item("a@b.c", c.name);
        EXPECT_EQ(EncodeAddressEntry(item, 'B', "UTF-8", false), c.shown + " <a@b.c>");
    }
}

TEST(HeaderText, ConvertsToTheChosenCharset) {
    std::string bytes;
    ASSERT_TRUE(ConvertToCharset("Привет", "KOI8-R", bytes));
    EXPECT_EQ(bytes, "\xF0\xD2\xC9\xD7\xC5\xD4");
    ASSERT_TRUE(ConvertToCharset("日本", "ISO-2022-JP", bytes));
    EXPECT_EQ(bytes, "\x1B$BF|K\\\x1B(B");
    ASSERT_TRUE(ConvertToCharset("한국", "csEUCKR", bytes));
    EXPECT_EQ(bytes, "\xC7\xD1\xB1\xB9");
    ASSERT_TRUE(ConvertToCharset("中文", "GB2312", bytes));
    EXPECT_EQ(bytes, "\xD6\xD0\xCE\xC4");
    ASSERT_TRUE(ConvertToCharset("é€x", "KOI8-R", bytes));  // unrepresentable characters become "?"
    EXPECT_EQ(bytes, "??x");
    ASSERT_TRUE(ConvertToCharset("é€😀", "no-such-charset", bytes));  // the 8-bit encoding
    EXPECT_EQ(bytes, "\xE9???");
    ASSERT_TRUE(ConvertToCharset("é", "", bytes));
    EXPECT_EQ(bytes, "\xE9");
    ASSERT_TRUE(ConvertToCharset("é", "us-ascii", bytes));
    EXPECT_EQ(bytes, "?");
    EXPECT_EQ(EncodeHeaderText("Grüße", "", 'B', "ISO-8859-1"), "=?ISO-8859-1?B?R3L832U=?=");
}

TEST(HeaderText, QEncodingWhenAsked) {
    EXPECT_EQ(EncodeHeaderText("Grüße Köln", "", 'Q', "UTF-8"),
              "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_K=C3=B6ln?=");
}

TEST(AddressEntry, EncodesNamesAndKeepsAddresses) {
    struct Case {
        const char* name;
        bool useAddress;
        const char* out;
    };
    const Case cases[] = {
        {"John Doe", false, "\"John Doe\" <a@b.c>"},
        {"John Doe", true, "\"John Doe\" <a@b.c>"},
        {"", true, "\"a@b.c\" <a@b.c>"},
        {"", false, "a@b.c"},
        {"Jörg", false, "=?UTF-8?B?SsO2cmc=?= <a@b.c>"},
        {"Müller, Hans", true, "=?UTF-8?B?TcO8bGxlciw=?= Hans <a@b.c>"},
        {"Say \"hi\" \\o/", false, "\"Say \\\"hi\\\" \\\\o/\" <a@b.c>"},
        {"Eve\r\nBcc: x@y", false, "\"Eve  Bcc: x@y\" <a@b.c>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TLpEMailAddressItem item("a@b.c", c.name);
        EXPECT_EQ(EncodeAddressEntry(item, 'B', "UTF-8", c.useAddress), c.out);
    }
}

TEST(AddressEntry, ListJoinsEveryEntry) {
    TLpEMailAddressList list;
    EXPECT_EQ(EncodeAddressList(list, 'B', "UTF-8", false), "");
    list.ParseAddressList("John Doe <a@b.c>, d@e.f");
    list.Add();  // neither name nor address
    EXPECT_EQ(EncodeAddressList(list, 'B', "UTF-8", false), "\"John Doe\" <a@b.c>, d@e.f, ");
    EXPECT_EQ(EncodeAddressList(list, 'B', "UTF-8", true),
              "\"John Doe\" <a@b.c>, \"d@e.f\" <d@e.f>, ");
    EXPECT_EQ(list.Items(1).Name(), "d@e.f");  // the missing name was filled in
}

TEST(MessageEncoderList, NamesInOrderAndUnknownNames) {
    std::vector<std::string> names;
    for (const auto& info : TLpMessageEncoderList::Encoders()) names.push_back(info.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"MIME", "binhex4", "QP", "UUE", "XXE"}));
    EXPECT_NE(TLpMessageEncoderList::CreateEncoder("qp"), nullptr);
    try {
        TLpMessageEncoderList::CreateEncoder("yEnc");
        FAIL() << "no exception";
    } catch (const ELpException& e) {
        EXPECT_STREQ(e.what(), "Message encoder not found: yEnc");
    }
}

TEST(MessageEncoderList, UuencodeStyles) {
    auto encode = [](const char* name, const std::string& data) {
        auto encoder = TLpMessageEncoderList::CreateEncoder(name);
        encoder->SetFileName("cat.txt");
        std::istringstream in(data);
        std::ostringstream out;
        encoder->Encode(in, out);
        return out.str();
    };
    EXPECT_EQ(encode("UUE", "Cat"), "begin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\n");
    EXPECT_EQ(encode("XXE", "Cat"), "begin 644 cat.txt\r\n1Eq3o\r\n+\r\nend\r\n");
    const std::string uue = encode("UUE", std::string(46, 'x'));
    const auto lines = SplitCrLf(uue);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].size(), 61u);  // length character and 60 characters for 45 bytes
    EXPECT_EQ(lines[1][0], 'M');
    EXPECT_EQ(lines[2].substr(0, 1), "!");
}

// Pinned output, read back by an independent BinHex decoder: name, data and both CRCs agree.
// The data holds a run of the marker byte 0x90 and a run of seven letters.
TEST(MessageEncoderList, BinHex4) {
    auto encoder = TLpMessageEncoderList::CreateEncoder("binhex4");
    encoder->SetFileName("a.txt");
    std::istringstream in(std::string("Hi\x90\x90\x90") + std::string(7, 'z') + "!");
    std::ostringstream out;
    encoder->Encode(in, out);
    EXPECT_EQ(out.str(),
              "(This file must be converted with BinHex 4.0)\r\n\r\n"
              ":\"@%ZG(Kd!$q3#!#3\"3d!N!561NKTN!#3!hU3\"b'5i3!!:\r\n");
}

}  // namespace
}  // namespace larkpost
