// The body file: rich text as word processors save it, plain text by byte-order mark, and the
// writer whose documents read back to the same lines.
#include <gtest/gtest.h>

#include "TempDir.h"
#include "app/BodyFile.h"
#include "platform/SystemError.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

const std::string kData = LARKPOST_TEST_DATA_DIR;

TEST(BodyFile, ReadsAWordProcessorDocument) {
    EXPECT_EQ(LoadBodyFile(kData + "/body-wordpad.rtf"),
              (Lines{"Hallo Gr\xC3\xBC\xC3\x9F" "e,",
                     "fett und kursiv \xE2\x82\xAC 5",
                     "",
                     "Euro: \xE2\x82\xAC  Schl\xC3\xBCssel {x} C:\\temp\tEnde",
                     "Link",
                     "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                     "Letzte Zeile"}));
}

// Saved by LibreOffice Writer 7.4 from a UTF-8 text: styles, page tables, \loch groups, and a
// character outside the BMP as \uc0 surrogates.
TEST(BodyFile, ReadsWhatLibreOfficeSaved) {
    EXPECT_EQ(LoadBodyFile(kData + "/body-libreoffice.rtf"),
              (Lines{"Hallo Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 5", "", "  two leading blanks",
                     "braces {x} and back\\slash",
                     "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80",
                     "tab\there", "Last line"}));
}

TEST(BodyFile, TruncatedDocumentGivesWhatItHolds) {
    EXPECT_EQ(LoadBodyFile(kData + "/body-truncated.rtf"),
              (Lines{"Hallo Gr\xC3\xBC\xC3\x9F" "e,", "fett und kurs"}));
}

TEST(RtfToLines, HandlesWhatEditorsWrite) {
    struct Case { const char* name; std::string rtf; Lines lines; };
    const Case cases[] = {
        {"final paragraph without \\par", R"({\rtf1 a\par b})", {"a", "b"}},
        {"\\line breaks a line", R"({\rtf1 a\line b\par})", {"a", "b"}},
        {"backslash before a line break is \\par", "{\\rtf1 a\\\nb}", {"a", "b"}},
        {"file line breaks mean nothing", "{\\rtf1 a\r\nb\\par}", {"ab"}},
        {"empty document", R"({\rtf1\ansi })", {}},
        {"one empty paragraph", R"({\rtf1\ansi \par})", {""}},
        {"delimiter space eaten, others kept", R"({\rtf1\b  two\b0   three})", {" two  three"}},
        {"\\uc2 skips two fallbacks", R"({\rtf1\uc2\u8364\'80\'80 x})", {"\xE2\x82\xAC x"}},
        {"\\uc0 skips none", R"({\rtf1\uc0\u228 x})", {"\xC3\xA4x"}},
        {"negative \\u and a group ending the fallback", R"({\rtf1{\u-3913}?})", {"\xEF\x82\xB7?"}},
        {"surrogate pair", R"({\rtf1\u-10179?\u-8704?})", {"\xF0\x9F\x98\x80"}},
        {"lone surrogate", R"({\rtf1\u-10179? x})", {"\xEF\xBF\xBD x"}},
        {"\\ansicpg1251 bytes", R"({\rtf1\ansi\ansicpg1251 \'e4\'e0})", {"\xD0\xB4\xD0\xB0"}},
        {"font charsets switch the code page, raw bytes too",
         "{\\rtf1\\ansi{\\fonttbl{\\f0\\fcharset0 A;}{\\f1\\fcharset204 B;}}\\f1\\'cf\\f0 \xE4}",
         {"\xD0\x9F\xC3\xA4"}},
        {"multi-byte code page", R"({\rtf1\ansi\ansicpg932 \'82\'a0})", {"\xE3\x81\x82"}},
        {"starred destinations are skipped", R"({\rtf1{\*\unknown x}{\*\bkmkstart b}y})", {"y"}},
        {"stylesheet and info are skipped", R"({\rtf1{\stylesheet{\s0 Normal;}}{\info{\title T}}z})", {"z"}},
        {"\\bin data is skipped", "{\\rtf1{\\pict\\bin3 }}}}x}", {"x"}},
        {"\\bin outside a picture", "{\\rtf1 a\\bin2 {}b}", {"ab"}},
        {"special characters", R"({\rtf1\emdash\endash\lquote\rquote\ldblquote\rdblquote\bullet\~})",
         {"\xE2\x80\x94\xE2\x80\x93\xE2\x80\x98\xE2\x80\x99\xE2\x80\x9C\xE2\x80\x9D\xE2\x80\xA2\xC2\xA0"}},
        {"table cells", R"({\rtf1\trowd a\cell b\cell\row c})", {"a\tb\t", "c"}},
        {"text after the closing brace is ignored", R"({\rtf1 a}b\par c)", {"a"}},
        {"unbalanced close", R"({\rtf1 a}})", {"a"}},
        {"cut inside \\' escape", R"({\rtf1 a\')", {"a"}},
        {"cut after a backslash", "{\\rtf1 a\\", {"a"}},
        {"bad hex digits dropped", R"({\rtf1 a\'zzb})", {"ab"}},
        {"huge parameter", R"({\rtf1\fs99999999999999999 x})", {"x"}},
        {"deep nesting", "{\\rtf1 " + std::string(20000, '{') + "x", {"x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RtfToLines(c.rtf), c.lines);
    }
}

TEST(LinesToRtf, ReadsBackToTheSameLines) {
    const Lines cases[] = {
        {},
        {""},
        {"", "", ""},
        {"plain", "  leading blanks", "trailing blanks  ", "\ttab first"},
        {"braces {} and \\backslash\\", "\\par is text", "{\\rtf1 not a header}"},
        {"1252: \xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F \xE2\x82\xAC \xE2\x80\x9Cquoted\xE2\x80\x9D",
         "beyond 1252: \xD0\x9F\xD1\x80\xD0\xB8 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80",
         "digits after non-ASCII: \xC3\xA4" "123 \xE2\x82\xAC" "9"},
        {"a line ending in a backslash\\", "?", "a question mark after \xC3\xA4?"},
        {"control \x01 and \x1F characters", "\xEF\xBB\xBF" "byte-order mark first"},
    };
    for (const auto& lines : cases) {
        SCOPED_TRACE(lines.empty() ? "no lines" : lines.front());
        const std::string rtf = LinesToRtf(lines);
        EXPECT_TRUE(IsRtf(rtf));
        for (char c : rtf) ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "rich text is 7-bit";
        EXPECT_EQ(RtfToLines(rtf), lines);
    }
    // A line holding a line break comes back as two lines rather than breaking the document.
    EXPECT_EQ(RtfToLines(LinesToRtf({"one\r\ntwo"})), (Lines{"one", "two"}));
    EXPECT_EQ(LinesToRtf({"x\xC3\xA4"}).find("x\\u228\\'e4\\par"), LinesToRtf({}).size() - 3)
        << "an older reader sees the 1252 byte in place of \\u";
}

TEST(BodyFile, PlainTextByByteOrderMark) {
    struct Case { const char* name; std::string bytes; Lines lines; };
    const std::string utf16be =
        std::string("\xFE\xFF\0a\0\r\0\n\x20\xAC", 10);
    const Case cases[] = {
        {"UTF-8 without mark", "Gr\xC3\xBC\xC3\x9F" "e\nzwei\n", {"Gr\xC3\xBC\xC3\x9F" "e", "zwei"}},
        {"UTF-8 with mark", "\xEF\xBB\xBF\xE2\x82\xAC\r\n", {"\xE2\x82\xAC"}},
        {"8-bit code page", "Gr\xFC\xDF" "e \x80", {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"}},
        {"UTF-16 big-endian", utf16be, {"a", "\xE2\x82\xAC"}},
        {"line ends of every kind", "a\rb\r\nc\n\nd", {"a", "b", "c", "", "d"}},
        {"empty file", "", {}},
        {"NUL bytes survive as text", std::string("a\0b", 3), {std::string("a\0b", 3)}},
    };
    TTempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("body.txt", c.bytes);
        EXPECT_EQ(LoadBodyFile(dir.File("body.txt")), c.lines);
    }
    EXPECT_EQ(LoadBodyFile(kData + "/body-utf16le.txt"),
              (Lines{"Zeile eins", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC", "", "letzte"}));
}

TEST(BodyFile, SaveReplacesTheFileAndLoadsBack) {
    TTempDir dir;
    const Lines lines = {"Hallo", "", "\xE2\x82\xAC 5 {x}"};
    dir.Write("LarkpostBody.rtf", "old contents");
    SaveBodyFile(dir.File("LarkpostBody.rtf"), lines);
    EXPECT_EQ(LoadBodyFile(dir.File("LarkpostBody.rtf")), lines);
}

TEST(BodyFile, UnreadableOrUnwritableRaisesTheFileError) {
    TTempDir dir;
    try {
        LoadBodyFile(dir.File("missing.rtf"));
        ADD_FAILURE() << "no exception";
    } catch (const ELpFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + dir.File("missing.rtf") + "\". No such file or directory");
    }
    EXPECT_THROW(LoadBodyFile(dir.Dir()), ELpFileError);
    EXPECT_THROW(SaveBodyFile(dir.File("no/such/folder.rtf"), {"x"}), ELpFileError);
}

}  // namespace
}  // namespace larkpost
