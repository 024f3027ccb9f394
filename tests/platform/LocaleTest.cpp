#include <gtest/gtest.h>

#include <string>

#include "platform/Locale.h"
#include "platform/TimeZone.h"

namespace larkpost {
namespace {

TEST(Locale, SplitsLocaleNames) {
    struct Case {
        const char* name;
        const char* language;
        const char* territory;
        const char* script;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", "zh", "CN", ""},
        {"zh-Hant-TW", "zh", "TW", "hant"},
        {"pt-BR", "pt", "BR", ""},
        {"sr_RS@latin", "sr", "RS", "latin"},
        {"JA_jp.eucJP", "ja", "JP", ""},
        {"ru", "ru", "", ""},
        {"C", "", "", ""},
        {"C.UTF-8", "", "", ""},
        {"POSIX", "", "", ""},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TLpUserLocale locale = ParseLocaleName(c.name);
        EXPECT_EQ(locale.Language, c.language);
        EXPECT_EQ(locale.Territory, c.territory);
        EXPECT_EQ(locale.Script, c.script);
    }
}

TEST(TimeZone, ReportsTheOffsetInForce) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    const auto winter = LocalTimeAt(1704067200);  // 2024-01-01 00:00:00 UTC
    const auto summer = LocalTimeAt(1719792000);  // 2024-07-01 00:00:00 UTC
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    ASSERT_TRUE(winter && summer);
    EXPECT_EQ(winter->UtcOffsetSeconds, 3600);
    EXPECT_EQ(winter->Fields.tm_hour, 1);
    EXPECT_EQ(summer->UtcOffsetSeconds, 7200);
    EXPECT_EQ(summer->Fields.tm_hour, 2);
}

}  // namespace
}  // namespace larkpost
