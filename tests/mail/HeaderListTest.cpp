#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/HeaderList.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

TEST(HeaderList, SetReplacesInPlaceAndRemoves) {
    TLpHeaderList h;
    h.SetHeader("From", "a@b.c");
    h.SetHeader("Subject", "one");
    h.SetHeader("To", "d@e.f");
    h.SetHeader("SUBJECT", "two");  // the line takes the name as given
    EXPECT_EQ(h.Lines(), (Lines{"From: a@b.c", "SUBJECT: two", "To: d@e.f"}));
    h.SetHeader("subject", "");
    EXPECT_EQ(h.Lines(), (Lines{"From: a@b.c", "To: d@e.f"}));
    h.SetHeader("Missing", "");
    EXPECT_EQ(h.Count(), 2u);
    EXPECT_EQ(h.IndexOfHeader("to"), 1);
    EXPECT_EQ(h.IndexOfHeader("Cc"), -1);
    EXPECT_EQ(h.GetHeader("Cc"), "");
}

TEST(HeaderList, FoldsAndUnfolds) {
    TLpHeaderList h;
    // 30 addresses of 10 characters: the break falls after the last ", " before column 79.
    std::string to;
    for (int i = 0; i < 12; ++i)
        to += (i ? ", " : "") + std::string("user") + char('a' + i) + "@x.yz";
    h.SetHeader("To", to);
    ASSERT_EQ(h.Count(), 2u);
    EXPECT_EQ(h[0], "To: usera@x.yz, userb@x.yz, userc@x.yz, userd@x.yz, usere@x.yz, userf@x.yz,");
    EXPECT_EQ(h[1], " userg@x.yz, userh@x.yz, useri@x.yz, userj@x.yz, userk@x.yz, userl@x.yz");
    EXPECT_EQ(h.GetHeader("To"), to);

    // Replacing a folded header drops its old continuation lines.
    h.SetHeader("To", "short@x.yz");
    EXPECT_EQ(h.Lines(), (Lines{"To: short@x.yz"}));
}

// The wrap routine decides a break while reading column 78 and writes it only when more than one
// character follows, so lines of 78 and 79 columns stay whole and 80 columns fold. Columns are
// characters as they go out (one "?" each, two outside the BMP), however many UTF-8 bytes.
TEST(HeaderList, FoldBoundaryAt79And80Columns) {
    struct Filler {
        const char* character;
        std::size_t columns;
    };
    const Filler fillers[] = {{"a", 1}, {"\xC3\xA9", 1}, {"\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 2}};
    struct Case {
        std::size_t lineLength;
        std::size_t lines;
    };
    const Case cases[] = {{78, 1}, {79, 1}, {80, 2}, {81, 2}};
    for (const auto& f : fillers) {
        for (const auto& c : cases) {
            // "X: " + filler * k + "a"? + " bbbb", lineLength columns in all
            const std::size_t fill = c.lineLength - 3 - 5;
            std::string word;
            for (std::size_t i = 0; i < fill / f.columns; ++i) word += f.character;
            word += std::string(fill % f.columns, 'a');
            SCOPED_TRACE(std::to_string(c.lineLength) + " columns of " + f.character);
            const std::string value = word + " bbbb";
            TLpHeaderList h;
            h.SetHeader("X", value);
            ASSERT_EQ(h.Count(), c.lines);
            if (c.lines == 1) {
                EXPECT_EQ(h[0], "X: " + value);
            } else {
                EXPECT_EQ(h[0], "X: " + word);
                EXPECT_EQ(h[1], " bbbb");
            }
            EXPECT_EQ(h.GetHeader("x"), value);
        }
    }
}

// A reader would take the fold's blank for the first character of the value.
TEST(HeaderList, NameIsNeverAloneOnItsLine) {
    const std::string word = "=?UTF-8?B?" + std::string(60, 'A') + "?=";
    TLpHeaderList h;
    h.SetHeader("Subject", word + "\r\n " + word);
    EXPECT_EQ(h.Lines(), (Lines{"Subject: " + word, " " + word}));
    h.SetHeader("To", std::string(80, 'a') + "@example.net");
    EXPECT_EQ(h.Lines(), (Lines{"Subject: " + word, " " + word,
                                "To: " + std::string(80, 'a') + "@example.net"}));
}

// A value with nothing to fold at is cut at 998 octets (RFC 5322, 2.1.1), between characters.
TEST(HeaderList, NoLinePasses998Octets) {
    struct Case {
        const char* name;
        std::string value;
        Lines lines;
    };
    const std::string e = "\xC3\xA9";
    std::string accents;  // "X: " and 497 accents end at octet 997; the 498th would straddle 998
    for (int i = 0; i < 600; ++i) accents += e;
    const Case cases[] = {
        {"998 octets", std::string(988, 'a'), {"X-Mailer: " + std::string(988, 'a')}},
        {"999 octets", std::string(989, 'a'),
         {"X-Mailer: " + std::string(988, 'a'), " a"}},
        {"2500 octets", std::string(2490, 'a'),
         {"X-Mailer: " + std::string(988, 'a'), " " + std::string(997, 'a'),
          " " + std::string(505, 'a')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TLpHeaderList h;
        h.SetHeader("X-Mailer", c.value);
        EXPECT_EQ(h.Lines(), c.lines);
    }
    TLpHeaderList h;
    h.SetHeader("X", accents);
    ASSERT_EQ(h.Count(), 2u);
    EXPECT_EQ(h[0], "X: " + accents.substr(0, 994));
    EXPECT_EQ(h[1], " " + accents.substr(994));
}

TEST(HeaderList, BreakOnCommaAtColumn78KeepsTheSpaceAfterIt) {
    // The break falls on the comma itself; the continuation takes the text after it, space and all.
    TLpHeaderList h;
    h.SetHeader("To", std::string(61, 'a') + "@example.net, b@example.net, c@example.net");
    EXPECT_EQ(h.Lines(), (Lines{"To: " + std::string(61, 'a') + "@example.net,",
                                "  b@example.net, c@example.net"}));
}

TEST(HeaderList, NeverBreaksInsideQuotes) {
    TLpHeaderList h;
    const std::string name =
        "\"A very long display name, with commas, spaces, and more words than fit in one line\"";
    ASSERT_GT(name.size(), 78u);
    h.SetHeader("To", name + " <a@b.c>, d@e.f");
    EXPECT_EQ(h.Lines(), (Lines{"To: " + name, " <a@b.c>, d@e.f"}));
}

TEST(HeaderList, QuotedBoundaryKeepsContentTypeOnOneLine) {
    TLpHeaderList h;
    h.SetHeader("Content-Type", "multipart/mixed");
    h.SetHeaderParam("Content-Type", "charset", "utf-8");
    h.SetHeaderParam("Content-Type", "boundary", "Ab3dEf7hIj1lMn5pQr9tUv2x=_yZ4b6D8f");
    ASSERT_EQ(h.Count(), 1u);
    EXPECT_EQ(h[0],
              "Content-Type: multipart/mixed; charset=utf-8; "
              "boundary=\"Ab3dEf7hIj1lMn5pQr9tUv2x=_yZ4b6D8f\"");
    EXPECT_EQ(h[0].size(), 91u);
}

TEST(HeaderList, HonoursExistingBreaks) {
    TLpHeaderList h;
    h.SetHeader("Subject", "=?UTF-8?B?w6TDpA==?=\r\n =?UTF-8?B?w6Q=?=");
    EXPECT_EQ(h.Lines(), (Lines{"Subject: =?UTF-8?B?w6TDpA==?=", " =?UTF-8?B?w6Q=?="}));
}

// A value must never start a header line of its own, whatever line breaks it carries.
TEST(HeaderList, LineBreaksInValuesCannotInjectHeaders) {
    const char* values[] = {"Hi\r\nBcc: x@y", "Hi\nBcc: x@y", "Hi\rBcc: x@y", "Hi\r\n\r\nBody",
                            "Hi\r\n "};
    for (const char* v : values) {
        SCOPED_TRACE(v);
        TLpHeaderList h;
        h.SetHeader("Subject", v);
        for (std::size_t i = 0; i < h.Count(); ++i) {
            EXPECT_EQ(h[i].find_first_of("\r\n"), std::string::npos);
            EXPECT_FALSE(h[i].empty());
            if (i > 0) {
                EXPECT_EQ(h[i][0], ' ');
            }
        }
        EXPECT_EQ(h.IndexOfHeader("Bcc"), -1);
    }
}

TEST(HeaderList, ParamsInStyles) {
    std::string old;
    EXPECT_EQ(RemoveParam("text/plain; charset=UTF-8", "charset", qtMIME, &old), "text/plain");
    EXPECT_EQ(old, "UTF-8");
    EXPECT_EQ(ReplaceParam("multipart/mixed", "boundary", "a=_b", qtMIME),
              "multipart/mixed; boundary=\"a=_b\"");
    EXPECT_EQ(ReplaceParam("multipart/mixed", "charset", "utf-8", qtMIME),
              "multipart/mixed; charset=utf-8");
    EXPECT_EQ(ReplaceParam("text/plain", "charset", "", qtMIME), "text/plain");
    EXPECT_EQ(ReplaceParam("; x=1", "y", "2", qtMIME), "");
    // A parameter quoted before stays quoted.
    EXPECT_EQ(ReplaceParam("text/plain; name=\"a\"; charset=x", "charset", "y", qtMIME),
              "text/plain; name=\"a\"; charset=y");
    EXPECT_EQ(ParamValue("attachment; filename=\"a \\\"b\\\".txt\"", "FILENAME", qtMIME),
              "a \"b\".txt");
    EXPECT_EQ(ParamValue("text/plain;charset=utf-8;format=flowed", "format", qtMIME), "flowed");
    EXPECT_EQ(ParamValue("text/plain", "charset", qtMIME), "");
    EXPECT_EQ(MainValue("  Text/Plain ; charset=x"), "Text/Plain");
    EXPECT_TRUE(HasMediaType("Text/Plain; charset=x", "text"));
    EXPECT_TRUE(HasMediaType("multipart/mixed", "MULTIPART/MIXED"));
    EXPECT_FALSE(HasMediaType("textual/x", "text/plain"));
    EXPECT_FALSE(HasMediaType("textual/x", "text"));

    struct Case {
        const char* value;
        TLpHeaderQuotingType style;
        const char* out;
    };
    const Case cases[] = {
        {"utf-8", qtMail, "utf-8"},
        {"a.txt", qtMail, "\"a.txt\""},  // the full stop is special in mail style only
        {"a.txt", qtMIME, "a.txt"},
        {"a=b", qtMIME, "\"a=b\""},
        {"a=b", qtMail, "a=b"},
        {"a{b}", qtHTTP, "\"a{b}\""},
        {"a b", qtMIME, "\"a b\""},
        {"say \"x\"", qtMIME, "\"say \\\"x\\\"\""},
        {"back\\slash", qtHTTP, "\"back\\\\slash\""},
        {"cr\rhere", qtMIME, "\"cr\\\rhere\""},
        {"cr\rhere", qtHTTP, "\"cr\rhere\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(QuoteParamValue(c.value, false, c.style), c.out);
    }
    EXPECT_EQ(QuoteParamValue("utf-8", true, qtMIME), "\"utf-8\"");
}

TEST(HeaderList, SetHeaderParamUsesMimeStyleForContentHeaders) {
    TLpHeaderList h;
    h.SetHeader("Content-Disposition", "attachment");
    h.SetHeaderParam("Content-Disposition", "filename", "a.txt");
    EXPECT_EQ(h.GetHeader("Content-Disposition"), "attachment; filename=a.txt");
    h.SetHeader("X-Thing", "v");
    h.SetHeaderParam("X-Thing", "p", "a.txt");  // mail style: the full stop forces quotes
    EXPECT_EQ(h.GetHeader("X-Thing"), "v; p=\"a.txt\"");
    h.SetHeaderParam("X-Thing", "p", "");
    EXPECT_EQ(h.GetHeader("X-Thing"), "v");
}

TEST(HeaderList, AppendLinesCopiesUnchanged) {
    TLpHeaderList a, b;
    a.SetHeader("From", "x@y");
    b.Add("X-Mailer: Larkpost 1.0.0.0");
    b.Add(" continued");
    a.AppendLines(b);
    EXPECT_EQ(a.Lines(), (Lines{"From: x@y", "X-Mailer: Larkpost 1.0.0.0", " continued"}));
    EXPECT_EQ(a.GetHeader("X-Mailer"), "Larkpost 1.0.0.0 continued");
}

}  // namespace
}  // namespace larkpost
