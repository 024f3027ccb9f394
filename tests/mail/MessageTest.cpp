#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "mail/MIMEBoundary.h"
#include "mail/Message.h"
#include "mail/MessagePart.h"

namespace larkpost {
namespace {

using Lines = std::vector<std::string>;

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
        tzset();
    }
    ~ScopedEnv() {
        if (m_old) {
            setenv(m_name, m_old->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
        tzset();
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TLpDateTime Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

constexpr const char* kSydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";
constexpr const char* kBoundary = "Ab3dEf7hIj1lMn5pQr9tUv2x=_yZ4b6D8f";

// The message the send workflow builds, with a fixed clock, zone, locale and boundary.
class MessageBlock : public ::testing::Test {
protected:
    MessageBlock() : m_tz("TZ", kSydney), m_lcAll("LC_ALL", "en_AU.UTF-8") {
        TLpMIMEBoundaryStrings::SetBoundarySource([] { return std::string(kBoundary); });
        m_message.Clock = [] { return Utc(2024, 3, 5, 3, 3, 9); };  // 14:03:09 in Sydney
        TLpMessage& m = m_message;
        m.ClearMessage();
        m.SetConvertPreamble(false);
        m.SetEncoding(meMIME);
        m.SetCharSet("utf-8");
        m.SetContentTransferEncoding("8bit");
        m.SetContentType("multipart/mixed");
        m.SetSubject("Grüße aus Köln");
        m.SetUseNowForDate(false);
        m.From().SetName("Fred Sender");
        m.From().SetAddress("fred@example.org");
        m.Recipients().ParseAddressList(
            "Jörg Müller <joerg@example.net>, plain2@example.net, other@example.net");
        m.CCList().ParseAddressList("Carol <carol@example.com>");
        m.BccList().ParseAddressList("hidden@example.com");
        m.ReplyTo().ParseAddressList("replies@example.org");
        m.MessageParts()
            .Add<TLpText>(Lines{"Hello", "World"})
            .SetContentType("text/plain; charset=UTF-8");
        m.ExtraHeaders().SetHeader("X-Mailer", "Larkpost 1.0.0.0");
    }
    ~MessageBlock() override { TLpMIMEBoundaryStrings::SetBoundarySource(nullptr); }

    ScopedEnv m_tz;
    ScopedEnv m_lcAll;
    TLpMessage m_message;
};

TEST_F(MessageBlock, WithoutAttachmentsIsSinglePart) {
    m_message.BuildHeaders();
    EXPECT_TRUE(m_message.IsMsgSinglePartMime());
    EXPECT_EQ(m_message.LastGeneratedHeaders().Text(),
              "From: \"Fred Sender\" <fred@example.org>\r\n"
              "Subject: =?UTF-8?B?R3LDvMOfZQ==?= aus =?UTF-8?B?S8O2bG4=?=\r\n"
              "To: =?UTF-8?B?SsO2cmcgTcO8bGxlcg==?= <joerg@example.net>, plain2@example.net,\r\n"
              " other@example.net\r\n"
              "Cc: \"Carol\" <carol@example.com>\r\n"
              "MIME-Version: 1.0\r\n"
              "Reply-To: replies@example.org\r\n"
              "Date: Tue, 5 Mar 2024 14:03:09 +1100\r\n"
              "X-Mailer: Larkpost 1.0.0.0\r\n");
}

TEST_F(MessageBlock, WithAttachmentIsMultipart) {
    m_message.MessageParts().Add<TLpAttachmentFile>("/tmp/does-not-matter/report.pdf");
    m_message.BuildHeaders();
    EXPECT_FALSE(m_message.IsMsgSinglePartMime());
    EXPECT_EQ(m_message.LastGeneratedHeaders().Text(),
              "From: \"Fred Sender\" <fred@example.org>\r\n"
              "Subject: =?UTF-8?B?R3LDvMOfZQ==?= aus =?UTF-8?B?S8O2bG4=?=\r\n"
              "To: =?UTF-8?B?SsO2cmcgTcO8bGxlcg==?= <joerg@example.net>, plain2@example.net,\r\n"
              " other@example.net\r\n"
              "Cc: \"Carol\" <carol@example.com>\r\n"
              "Content-Type: multipart/mixed; charset=utf-8; boundary=\"" +
                  std::string(kBoundary) +
                  "\"\r\n"
                  "MIME-Version: 1.0\r\n"
                  "Content-Transfer-Encoding: 8bit\r\n"
                  "Reply-To: replies@example.org\r\n"
                  "Date: Tue, 5 Mar 2024 14:03:09 +1100\r\n"
                  "X-Mailer: Larkpost 1.0.0.0\r\n");
    EXPECT_EQ(m_message.MIMEBoundary().CurrentBoundary(), kBoundary);
    EXPECT_EQ(m_message.MIMEBoundary().BoundaryCount(), 1);
    EXPECT_EQ(m_message.MIMEBoundary().CurrentParentIndex(), -1);
}

TEST_F(MessageBlock, EmptyFieldsGiveNoLines) {
    TLpMessage& m = m_message;
    m.FromList().Clear();
    m.SetSubject("");
    m.Recipients().Clear();
    m.CCList().Clear();
    m.ReplyTo().Clear();
    m.ExtraHeaders().Clear();
    m.SetUseNowForDate(true);  // the clock's time at building
    m.BuildHeaders();
    EXPECT_EQ(m.LastGeneratedHeaders().Lines(),
              (Lines{"MIME-Version: 1.0", "Date: Tue, 5 Mar 2024 14:03:09 +1100"}));
}

TEST_F(MessageBlock, SettingsTextCannotInjectHeaderLines) {
    TLpMessage& m = m_message;
    m.SetSubject("Hi\r\nBcc: victim@example.com");
    m.From().SetName("Fred\r\nBcc: victim@example.com");
    m.Recipients().Items(0).SetName("Jörg\nBcc: victim@example.com");
    m.ExtraHeaders().SetHeader("X-Mailer", "Agent\r\nBcc: victim@example.com");
    m.MessageParts().Add<TLpAttachmentFile>("/tmp/x/a.bin");
    m.BuildHeaders();
    const TLpHeaderList& h = m.LastGeneratedHeaders();
    EXPECT_EQ(h.IndexOfHeader("Bcc"), -1);
    for (const auto& line : h.Lines()) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
        EXPECT_FALSE(line.empty());
    }
    EXPECT_EQ(h.GetHeader("Subject"), "Hi  Bcc: victim@example.com");
    EXPECT_EQ(h.GetHeader("X-Mailer"), "Agent  Bcc: victim@example.com");
}

TEST_F(MessageBlock, NormalisesEncodingsAndPriority) {
    TLpMessage& m = m_message;
    m.SetContentTransferEncoding("base64");  // not allowed at message level with parts
    auto& file = m.MessageParts().Add<TLpAttachmentFile>("/tmp/x/a.bin");
    file.SetContentTransfer("x-unknown");
    m.SetPriority(mpHigh);
    m.BuildHeaders();
    const TLpHeaderList& h = m.LastGeneratedHeaders();
    EXPECT_EQ(m.ContentTransferEncoding(), "");
    EXPECT_EQ(h.IndexOfHeader("Content-Transfer-Encoding"), -1);
    EXPECT_EQ(file.ContentTransfer(), "base64");
    EXPECT_EQ(h.GetHeader("Priority"), "urgent");
    EXPECT_EQ(h.GetHeader("X-Priority"), "2");
    EXPECT_EQ(h.GetHeader("Importance"), "high");
    m.SetPriority(mpLowest);
    m.BuildHeaders();
    EXPECT_EQ(m.LastGeneratedHeaders().GetHeader("Priority"), "non-urgent");
    EXPECT_EQ(m.LastGeneratedHeaders().GetHeader("X-Priority"), "5");
    EXPECT_EQ(m.LastGeneratedHeaders().GetHeader("Importance"), "low");
}

TEST_F(MessageBlock, InputHeadersKeepTheirPlaces) {
    TLpMessage& m = m_message;
    m.InputHeaders().SetHeader("X-First", "kept");
    m.InputHeaders().SetHeader("Subject", "old");
    m.BuildHeaders();
    const Lines& lines = m.LastGeneratedHeaders().Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "X-First: kept");
    EXPECT_EQ(lines[1], "Subject: =?UTF-8?B?R3LDvMOfZQ==?= aus =?UTF-8?B?S8O2bG4=?=");
    EXPECT_EQ(lines[2], "From: \"Fred Sender\" <fred@example.org>");
}

TEST(Message, DefaultsAndSetters) {
    TLpMessage m;
    EXPECT_EQ(m.AttachmentEncoding(), "MIME");
    EXPECT_EQ(m.Encoding(), meDefault);
    EXPECT_TRUE(m.UseNowForDate());
    EXPECT_TRUE(m.ConvertPreamble());
    EXPECT_EQ(m.FromList().Count(), 0u);
    m.From().SetAddress("a@b.c");
    EXPECT_EQ(m.FromList().Count(), 1u);

    m.SetEncoding(mePlainText);
    EXPECT_EQ(m.AttachmentEncoding(), "UUE");
    m.SetEncoding(meMIME);
    EXPECT_EQ(m.AttachmentEncoding(), "MIME");
    EXPECT_THROW(m.SetAttachmentEncoding("nope"), ELpException);

    m.SetContentType("");
    EXPECT_EQ(m.ContentType(), "text/plain");
    EXPECT_EQ(m.CharSet(), "us-ascii");
    m.SetContentType("text/html; charset=ISO-8859-1");
    EXPECT_EQ(m.ContentType(), "text/html");
    EXPECT_EQ(m.CharSet(), "ISO-8859-1");
    m.SetContentType("text/plain");
    EXPECT_EQ(m.CharSet(), "us-ascii");
    m.SetCharSet("utf-8");
    m.SetContentType("multipart/mixed");
    EXPECT_EQ(m.CharSet(), "utf-8");

    m.Body() = {" ", "\t", ""};
    EXPECT_TRUE(m.IsBodyBlank());
    m.Body().push_back("x");
    EXPECT_FALSE(m.IsBodyBlank());
}

TEST(Message, PlainTextWithoutParts) {
    ScopedEnv tz("TZ", "UTC0");
    TLpMessage m;
    m.Clock = [] { return Utc(2024, 1, 7, 9, 5, 0); };
    m.SetContentType("text/plain");
    m.Body() = {"hello"};
    m.BuildHeaders();
    EXPECT_EQ(m.Encoding(), mePlainText);
    EXPECT_EQ(m.LastGeneratedHeaders().Lines(), (Lines{"Content-Type: text/plain; charset=us-ascii",
                                                       "Date: Sun, 7 Jan 2024 09:05:00 +0000"}));
}

TEST(Message, NewBoundaryOnEveryBuild) {
    ScopedEnv tz("TZ", "UTC0");
    TLpMessage m;
    m.MessageParts().Add<TLpText>(Lines{"a"});
    m.MessageParts().Add<TLpText>(Lines{"b"});
    m.BuildHeaders();
    EXPECT_EQ(m.Encoding(), meMIME);
    EXPECT_EQ(m.ContentType(), "multipart/alternative");
    const std::string first = m.MIMEBoundary().CurrentBoundary();
    m.BuildHeaders();
    EXPECT_EQ(first.size(), 34u);
    EXPECT_NE(m.MIMEBoundary().CurrentBoundary(), first);
    EXPECT_EQ(m.MIMEBoundary().BoundaryCount(), 1);
}

TEST(Message, FormatMailDateUsesTheZoneInForceAtTheDate) {
    struct Case {
        const char* tz;
        TLpDateTime when;
        const char* text;
    };
    const Case cases[] = {
        {kSydney, Utc(2024, 3, 5, 3, 3, 9), "Tue, 5 Mar 2024 14:03:09 +1100"},
        {kSydney, Utc(2024, 7, 1, 0, 0, 0), "Mon, 1 Jul 2024 10:00:00 +1000"},
        {"UTC0", Utc(2000, 2, 29, 23, 59, 59), "Tue, 29 Feb 2000 23:59:59 +0000"},
        {"NST3:30NDT,M3.2.0,M11.1.0", Utc(2024, 1, 15, 12, 0, 0),
         "Mon, 15 Jan 2024 08:30:00 -0330"},
        {"EST5EDT,M3.2.0,M11.1.0", Utc(2024, 7, 4, 16, 30, 5), "Thu, 4 Jul 2024 12:30:05 -0400"},
        {"<+0545>-5:45", Utc(2023, 12, 31, 18, 15, 0), "Mon, 1 Jan 2024 00:00:00 +0545"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ScopedEnv tz("TZ", c.tz);
        EXPECT_EQ(TLpMessage::FormatMailDate(c.when), c.text);
    }
}

TEST(Message, ChooseHeaderCharsetFromLocale) {
    struct Case {
        const char* lcAll;
        const char* lcCtype;
        const char* lang;
        const char* charset;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", nullptr, nullptr, "GB2312"},
        {"zh_SG", nullptr, nullptr, "GB2312"},
        {"zh_TW.UTF-8", nullptr, nullptr, "Big5"},
        {"zh_HK", nullptr, nullptr, "Big5"},
        {nullptr, "ja_JP.UTF-8", "en_US.UTF-8", "ISO-2022-JP"},
        {nullptr, nullptr, "ko_KR.EUC-KR", "csEUCKR"},
        {"ru_RU.KOI8-R", nullptr, nullptr, "KOI8-R"},
        {"uk_UA.UTF-8", nullptr, nullptr, "windows-1251"},
        {"de_DE.UTF-8", "ja_JP", nullptr, "UTF-8"},  // LC_ALL wins
        {"", "ru_RU", nullptr, "KOI8-R"},            // an empty LC_ALL does not count
        {"C", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, nullptr, "UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lcAll ? c.lcAll : "-") + " " + (c.lcCtype ? c.lcCtype : "-") +
                     " " + (c.lang ? c.lang : "-"));
        ScopedEnv a("LC_ALL", c.lcAll), b("LC_CTYPE", c.lcCtype), l("LANG", c.lang);
        TLpMessage m;
        EXPECT_EQ(m.ChooseHeaderCharset(), std::make_pair('B', std::string(c.charset)));
    }
    ScopedEnv a("LC_ALL", "ja_JP");
    TLpMessage m;
    m.OnInitializeISO = [](char& letter, std::string& charSet) {
        EXPECT_EQ(charSet, "ISO-2022-JP");
        letter = 'Q';
        charSet = "UTF-8";
    };
    EXPECT_EQ(m.ChooseHeaderCharset(), std::make_pair('Q', std::string("UTF-8")));
}

}  // namespace
}  // namespace larkpost
