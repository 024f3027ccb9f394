// The SASL mechanisms' answers against published vectors: RFC 2202 (HMAC), RFC 2195
// (CRAM-MD5), RFC 2831 (DIGEST-MD5), RFC 2289 (OTP six words).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "smtp/OTPCalculator.h"
#include "smtp/SASLDigests.h"
#include "smtp/SASLMechanisms.h"
#include "smtp/SASLText.h"

namespace larkpost {
namespace {

TLpBytes Repeat(uint8_t byte, size_t count) {
    return TLpBytes(count, byte);
}
TLpBytes Bytes(const std::string& text) {
    return TLpBytes(text.begin(), text.end());
}
TLpBytes Sequence(uint8_t from, uint8_t to) {
    TLpBytes out;
    for (int b = from; b <= to; ++b) out.push_back(static_cast<uint8_t>(b));
    return out;
}

TEST(SASLDigests, HmacMatchesRfc2202) {
    struct Case {
        const char* name;
        const char* hash;
        TLpBytes key;
        TLpBytes data;
        const char* mac;
    };
    const std::string bigKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
    const std::string bigKeyData =
        "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";
    const Case cases[] = {
        {"md5 1", "MD5", Repeat(0x0b, 16), Bytes("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {"md5 2", "MD5", Bytes("Jefe"), Bytes("what do ya want for nothing?"),
         "750c783e6ab0b503eaa86e310a5db738"},
        {"md5 3", "MD5", Repeat(0xaa, 16), Repeat(0xdd, 50), "56be34521d144c88dbb8c733f0e8b3f6"},
        {"md5 4", "MD5", Sequence(1, 25), Repeat(0xcd, 50), "697eaf0aca3a3aea3a75164746ffaa79"},
        {"md5 5", "MD5", Repeat(0x0c, 16), Bytes("Test With Truncation"),
         "56461ef2342edc00f9bab995690efd4c"},
        {"md5 6", "MD5", Repeat(0xaa, 80), Bytes(bigKeyFirst), "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {"md5 7", "MD5", Repeat(0xaa, 80), Bytes(bigKeyData), "6f630fad67cda0ee1fb1f562db3aa53e"},
        {"sha1 1", "SHA-1", Repeat(0x0b, 20), Bytes("Hi There"),
         "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"sha1 2", "SHA-1", Bytes("Jefe"), Bytes("what do ya want for nothing?"),
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"sha1 3", "SHA-1", Repeat(0xaa, 20), Repeat(0xdd, 50),
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"sha1 4", "SHA-1", Sequence(1, 25), Repeat(0xcd, 50),
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {"sha1 5", "SHA-1", Repeat(0x0c, 20), Bytes("Test With Truncation"),
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {"sha1 6", "SHA-1", Repeat(0xaa, 80), Bytes(bigKeyFirst),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"sha1 7", "SHA-1", Repeat(0xaa, 80), Bytes(bigKeyData),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LowerHex(HmacOf(c.hash, c.key, c.data)), c.mac);
    }
}

TEST(SASLCram, AnswersAsRfc2195AndRfc2202) {
    TLpUserPassProvider credentials;
    credentials.SetUsername("tim");
    credentials.SetPassword("tanstaaftanstaaf");
    TLpSASLCRAMMD5 md5;
    md5.SetUserPassProvider(&credentials);
    // RFC 2195, 2.
    const std::string response =
        md5.FirstResponse("<1896.697170952@postoffice.reston.mci.net>", "host", "smtp");
    EXPECT_EQ(response, "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(Base64Encode(Latin1FromText(response)),
              "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");

    // RFC 2202 test 2 through the mechanism: key "Jefe", the challenge as the message.
    credentials.SetUsername("jefe");
    credentials.SetPassword("Jefe");
    TLpSASLCRAMSHA1 sha1;
    sha1.SetUserPassProvider(&credentials);
    EXPECT_EQ(sha1.FirstResponse("what do ya want for nothing?", "", "smtp"),
              "jefe effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(md5.FirstResponse("what do ya want for nothing?", "", "smtp"),
              "jefe 750c783e6ab0b503eaa86e310a5db738");

    // An empty challenge gets an empty answer; an empty user name still answers, with a
    // leading space (CRAM-MD5's readiness ignores the user name).
    EXPECT_EQ(md5.FirstResponse("", "", "smtp"), "");
    credentials.SetUsername("");
    EXPECT_TRUE(md5.IsReady());
    EXPECT_FALSE(sha1.IsReady());
    EXPECT_EQ(md5.FirstResponse("what do ya want for nothing?", "", "smtp").substr(0, 1), " ");
}

TEST(SASLDigest, AnswersAsRfc2831Example) {
    TLpUserPassProvider credentials;
    credentials.SetUsername("chris");
    credentials.SetPassword("secret");
    TLpSASLDigest digest;
    digest.SetUserPassProvider(&credentials);
    digest.SetCNonceSource([] { return std::string("OA6MHXh6VqTrRk"); });
    // RFC 2831, 4: the IMAP example (the service and host make the digest-uri).
    const std::string challenge =
        "realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\","
        "algorithm=md5-sess,charset=utf-8";
    EXPECT_EQ(digest.FirstResponse(challenge, "elwood.innosoft.com", "imap"),
              "charset=utf-8,username=\"chris\",realm=\"elwood.innosoft.com\","
              "nonce=\"OA6MG9tEQGm2hh\",nc=00000001,cnonce=\"OA6MHXh6VqTrRk\","
              "digest-uri=\"imap/elwood.innosoft.com\","
              "response=d388dad90d4bbd760a152321f2143af7,qop=auth");
    // The second challenge (rspauth) gets an empty line.
    EXPECT_EQ(digest.NextResponse("rspauth=ea40f60335c427b5527b84dbabcdfffd", "h", "imap"), "");
}

TEST(SASLDigest, ChoosesQopAndRefusesBadChallenges) {
    TLpUserPassProvider credentials;
    credentials.SetUsername("u");
    credentials.SetPassword("p");
    TLpSASLDigest digest;
    digest.SetUserPassProvider(&credentials);
    digest.SetCNonceSource([] { return std::string("c"); });
    auto qopOf = [&](const std::string& challenge) {
        const std::string answer = digest.FirstResponse(challenge, "mx", "smtp");
        return answer.substr(answer.rfind(",qop=") + 5);
    };
    // "auth" whenever it is allowed: this client applies no integrity layer afterwards.
    EXPECT_EQ(qopOf("nonce=\"n\",qop=\"auth,auth-int\",algorithm=md5-sess"), "auth");
    EXPECT_EQ(qopOf("nonce=\"n\",qop=\"auth-int\",algorithm=md5-sess"), "auth-int");
    EXPECT_EQ(qopOf("nonce=\"n\",algorithm=md5-sess"), "auth");
    EXPECT_THROW(qopOf("nonce=\"n\",qop=\"auth-int,auth-conf\",algorithm=md5-sess"),
                 ELpSASLDigestAuthConfNotSupported);
    try {
        digest.FirstResponse("nonce=\"n\",qop=\"auth\"", "mx", "smtp");
        FAIL() << "no algorithm accepted";
    } catch (const ELpSASLDigestChallNoAlgorithm& e) {
        EXPECT_STREQ(e.what(), "missing algorithm in challange.");
    }
    // Quoted values keep their escapes and may hold commas; no charset, no charset directive.
    const std::string answer =
        digest.FirstResponse("realm=\"a,\\\"b\" , nonce = xyz ,algorithm=md5-sess", "mx", "smtp");
    EXPECT_EQ(answer.substr(0, answer.find(",cnonce")),
              "username=\"u\",realm=\"a,\\\"b\",nonce=\"xyz\",nc=00000001");
    // The default client nonce is random: two answers differ.
    TLpSASLDigest fresh;
    fresh.SetUserPassProvider(&credentials);
    const std::string challenge = "nonce=\"n\",algorithm=md5-sess";
    EXPECT_NE(fresh.FirstResponse(challenge, "mx", "smtp"),
              fresh.FirstResponse(challenge, "mx", "smtp"));
}

TEST(SASLOTP, SixWordsMatchRfc2289Vectors) {
    struct Case {
        const char* hash;
        const char* passPhrase;
        const char* seed;
        uint32_t count;
        uint64_t key;
        const char* words;
    };
    // RFC 2289, Appendix C.
    const Case cases[] = {
        {"md4", "This is a test.", "TeSt", 0, 0xD1854218EBBB0B51, "ROME MUG FRED SCAN LIVE LACE"},
        {"md4", "This is a test.", "TeSt", 1, 0x63473EF01CD0B444, "CARD SAD MINI RYE COL KIN"},
        {"md4", "This is a test.", "TeSt", 99, 0xC5E612776E6C237A, "NOTE OUT IBIS SINK NAVE MODE"},
        {"md4", "AbCdEfGhIjK", "alpha1", 0, 0x50076F47EB1ADE4E, "AWAY SEN ROOK SALT LICE MAP"},
        {"md4", "AbCdEfGhIjK", "alpha1", 1, 0x65D20D1949B5F7AB, "CHEW GRIM WU HANG BUCK SAID"},
        {"md4", "AbCdEfGhIjK", "alpha1", 99, 0xD150C82CCE6F62D1, "ROIL FREE COG HUNK WAIT COCA"},
        {"md4", "OTP's are good", "correct", 0, 0x849C79D4F6F55388,
         "FOOL STEM DONE TOOL BECK NILE"},
        {"md4", "OTP's are good", "correct", 1, 0x8C0992FB250847B1,
         "GIST AMOS MOOT AIDS FOOD SEEM"},
        {"md4", "OTP's are good", "correct", 99, 0x3F3BF4B4145FD74B, "TAG SLOW NOV MIN WOOL KENO"},
        {"md5", "This is a test.", "TeSt", 0, 0x9E876134D90499DD, "INCH SEA ANNE LONG AHEM TOUR"},
        {"md5", "This is a test.", "TeSt", 1, 0x7965E05436F5029F, "EASE OIL FUM CURE AWRY AVIS"},
        {"md5", "This is a test.", "TeSt", 99, 0x50FE1962C4965880, "BAIL TUFT BITS GANG CHEF THY"},
        {"md5", "AbCdEfGhIjK", "alpha1", 0, 0x87066DD9644BF206, "FULL PEW DOWN ONCE MORT ARC"},
        {"md5", "AbCdEfGhIjK", "alpha1", 1, 0x7CD34C1040ADD14B, "FACT HOOF AT FIST SITE KENT"},
        {"md5", "AbCdEfGhIjK", "alpha1", 99, 0x5AA37A81F212146C, "BODE HOP JAKE STOW JUT RAP"},
        {"md5", "OTP's are good", "correct", 0, 0xF205753943DE4CF9, "ULAN NEW ARMY FUSE SUIT EYED"},
        {"md5", "OTP's are good", "correct", 1, 0xDDCDAC956F234937, "SKIM CULT LOB SLAM POE HOWL"},
        {"md5", "OTP's are good", "correct", 99, 0xB203E28FA525BE47, "LONG IVY JULY AJAR BOND LEE"},
        {"sha1", "This is a test.", "TeSt", 0, 0xBB9E6AE1979D8FF4, "MILT VARY MAST OK SEES WENT"},
        {"sha1", "This is a test.", "TeSt", 1, 0x63D936639734385B, "CART OTTO HIVE ODE VAT NUT"},
        {"sha1", "This is a test.", "TeSt", 99, 0x87FEC7768B73CCF9, "GAFF WAIT SKID GIG SKY EYED"},
        {"sha1", "AbCdEfGhIjK", "alpha1", 0, 0xAD85F658EBE383C9, "LEST OR HEEL SCOT ROB SUIT"},
        {"sha1", "AbCdEfGhIjK", "alpha1", 1, 0xD07CE229B5CF119B, "RITE TAKE GELD COST TUNE RECK"},
        {"sha1", "AbCdEfGhIjK", "alpha1", 99, 0x27BC71035AAF3DC6, "MAY STAR TIN LYON VEDA STAN"},
        {"sha1", "OTP's are good", "correct", 0, 0xD51F3E99BF8E6F0B,
         "RUST WELT KICK FELL TAIL FRAU"},
        {"sha1", "OTP's are good", "correct", 1, 0x82AEB52D943774E4,
         "FLIT DOSE ALSO MEW DRUM DEFY"},
        {"sha1", "OTP's are good", "correct", 99, 0x4F296A74FE1567EC,
         "AURA ALOE HURL WING BERG WAIT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hash) + " " + c.seed + " " + std::to_string(c.count));
        EXPECT_EQ(TLpOTPCalculator::MakeKey(c.hash, c.seed, c.count, c.passPhrase), c.key);
        EXPECT_EQ(TLpOTPCalculator::MakeSixWords(c.hash, c.seed, c.count, c.passPhrase), c.words);
    }
    for (const char* name : {"MD5", "sha-1", "md2", ""}) {
        SCOPED_TRACE(name);
        try {
            TLpOTPCalculator::MakeSixWords(name, "seed", 1, "pass");
            FAIL() << "hash name accepted";
        } catch (const ELpOTPUnknownMethod& e) {
            EXPECT_STREQ(e.what(), "Unknown OTP method");
        }
    }
}

TEST(SASLOTP, AnswersOtpAndSKeyChallenges) {
    TLpUserPassProvider credentials;
    credentials.SetUsername("user");
    credentials.SetPassword("This is a test.");
    TLpSASLOTP otp;
    otp.SetUserPassProvider(&credentials);
    std::string initial;
    ASSERT_TRUE(otp.InitialResponse("mx", "smtp", initial));
    EXPECT_EQ(initial, std::string("\0user", 5));  // empty authorization identity, NUL, user
    // RFC 2444: the extended challenge carries more words after the seed; they are ignored.
    EXPECT_EQ(otp.NextResponse("otp-md5 1 TeSt ext", "mx", "smtp"),
              "word:EASE OIL FUM CURE AWRY AVIS");
    EXPECT_EQ(otp.NextResponse("no challenge here", "mx", "smtp"), "");
    EXPECT_EQ(otp.NextResponse("otp-md5 -5 TeSt", "mx", "smtp"),
              "word:INCH SEA ANNE LONG AHEM TOUR");
    // A count that is no number is the same conversion error as a port that is none.
    for (const char* challenge : {"otp-md5 x1 TeSt", "otp-md5  ", "otp-md5 12a TeSt"}) {
        SCOPED_TRACE(challenge);
        try {
            otp.NextResponse(challenge, "mx", "smtp");
            ADD_FAILURE() << "no exception";
        } catch (const ELpConvertError& e) {
            EXPECT_STREQ(e.ClassName(), "ELpConvertError");
        }
    }
    try {
        otp.NextResponse("otp-md5 x1 TeSt", "mx", "smtp");
    } catch (const ELpConvertError& e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }
    EXPECT_THROW(otp.NextResponse("otp-sha256 1 TeSt", "mx", "smtp"), ELpOTPUnknownMethod);

    TLpSASLSKey skey;
    skey.SetUserPassProvider(&credentials);
    EXPECT_EQ(skey.NextResponse("  99 TeSt  ", "mx", "smtp"), "NOTE OUT IBIS SINK NAVE MODE");
    // A count that is not a number counts as 0.
    EXPECT_EQ(skey.NextResponse("many TeSt", "mx", "smtp"), "ROME MUG FRED SCAN LIVE LACE");

    // A server asking for billions of rounds is refused at once instead of hashing for minutes;
    // the largest count real software uses still works.
    EXPECT_NO_THROW(otp.NextResponse("otp-md5 9999 TeSt", "mx", "smtp"));
    const auto start = std::chrono::steady_clock::now();
    for (const char* challenge : {"otp-md5 10000 TeSt", "otp-sha1 4294967297 TeSt"}) {
        SCOPED_TRACE(challenge);
        EXPECT_THROW(otp.NextResponse(challenge, "mx", "smtp"), ELpOTPSequenceOutOfRange);
    }
    for (const char* challenge : {"2147483647 TeSt", "99999999999999999999999 TeSt"}) {
        SCOPED_TRACE(challenge);
        EXPECT_THROW(skey.NextResponse(challenge, "mx", "smtp"), ELpOTPSequenceOutOfRange);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    try {
        otp.NextResponse("otp-md5 4294967296 TeSt", "mx", "smtp");
    } catch (const ELpOTPSequenceOutOfRange& e) {
        EXPECT_STREQ(e.what(), "OTP sequence count out of range (4294967296)");
    }
}

TEST(SASLMechanisms, ResponsesAndReadiness) {
    TLpUserPassProvider credentials;
    credentials.SetUsername("alice");
    credentials.SetPassword("pw");
    std::string initial;

    TLpSASLLogin login;
    login.SetUserPassProvider(&credentials);
    ASSERT_TRUE(login.InitialResponse("mx", "smtp", initial));
    EXPECT_EQ(initial, "alice");
    EXPECT_EQ(login.FirstResponse("Username:", "mx", "smtp"), "alice");
    EXPECT_EQ(login.NextResponse("Password:", "mx", "smtp"), "pw");

    TLpSASLPlain plain;
    plain.SetUserPassProvider(&credentials);
    ASSERT_TRUE(plain.InitialResponse("mx", "smtp", initial));
    EXPECT_EQ(initial, std::string("\0alice\0pw", 9));
    EXPECT_EQ(Base64Encode(Latin1FromText(initial)), "AGFsaWNlAHB3");
    EXPECT_EQ(plain.NextResponse("", "mx", "smtp"), "");
    plain.SetLoginAs("admin");
    credentials.SetUsername("");
    EXPECT_TRUE(plain.IsReady());
    EXPECT_EQ(plain.FirstResponse("", "mx", "smtp"), std::string("admin\0admin\0pw", 14));
    plain.SetLoginAs("");
    EXPECT_FALSE(plain.IsReady());
    EXPECT_FALSE(login.IsReady());

    TLpSASLAnonymous anonymous;
    EXPECT_FALSE(anonymous.IsReady());
    anonymous.SetTraceInfo("trace");
    EXPECT_TRUE(anonymous.IsReady());
    ASSERT_TRUE(anonymous.InitialResponse("mx", "smtp", initial));
    EXPECT_EQ(initial, "trace");

    // Mechanisms without an initial response, and the provider rule.
    TLpSASLCRAMMD5 cram;
    EXPECT_FALSE(cram.InitialResponse("mx", "smtp", initial));
    try {
        cram.FirstResponse("challenge", "mx", "smtp");
        FAIL() << "no provider accepted";
    } catch (const ELpUserPassProviderUnassigned& e) {
        EXPECT_STREQ(e.what(), "Unassigned UserPassProvider!");
    }
    TLpSASLLogin orphan;
    EXPECT_FALSE(orphan.IsReady());
    EXPECT_TRUE(orphan.IsOffered({"PLAIN", "login"}));
    EXPECT_FALSE(orphan.IsOffered({"PLAIN", "LOGINX"}));
}

TEST(SASLText, ResponsesTakeOneBytePerCodeUnit) {
    EXPECT_EQ(Latin1FromText("a\xC3\xA9\xE2\x82\xAC"), (TLpBytes{'a', 0xE9, '?'}));
    EXPECT_EQ(Latin1FromText("\xF0\x9F\x98\x80"), (TLpBytes{'?', '?'}));
    EXPECT_EQ(AsciiFromText("a\xC3\xA9"), (TLpBytes{'a', '?'}));
    EXPECT_EQ(TextFromLatin1(TLpBytes{'x', 0xE9}), "x\xC3\xA9");
    EXPECT_EQ(Base64Decode("dGlt\r\nIGI5"), Bytes("tim b9"));
    EXPECT_EQ(Base64Decode("dGltIA"), Bytes("tim "));
}

}  // namespace
}  // namespace larkpost
