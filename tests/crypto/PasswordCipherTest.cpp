// The password cascade against Botan's own CBC and CFB modes, its fixed outputs, and the
// inputs a settings file or a script can throw at the decoders.
#include <botan/base64.h>
#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "crypto/CipherConstants.h"
#include "crypto/PasswordCipher.h"
#include "platform/CodePage.h"

namespace larkpost {
namespace {

// The cascade again, built from Botan's CBC mode and Base64 instead of ours.
std::string ReferenceEncrypt(const std::string& password) {
    const std::string_view master = CascadeMasterString();
    std::string data = password;
    for (const CipherStageParams& p : CascadeStages()) {
        std::string km(master.substr(p.Position - 1, p.Length));
        if (p.Reverse) std::reverse(km.begin(), km.end());
        const size_t keyLen = km.size() <= 16 ? 16 : km.size() <= 24 ? 24 : 32;
        km.resize(keyLen, '\0');
        std::string iv(master.substr(p.Position - 1, 16));
        iv.resize(16, '\0');
        const std::string name = p.Cipher == 'r'   ? "AES-" + std::to_string(keyLen * 8)
                                 : p.Cipher == '5' ? "Serpent"
                                                   : "Twofish";
        auto cbc = Botan::Cipher_Mode::create_or_throw(name + "/CBC/NoPadding", Botan::ENCRYPTION);
        cbc->set_key(reinterpret_cast<const uint8_t*>(km.data()), km.size());
        cbc->start(reinterpret_cast<const uint8_t*>(iv.data()), iv.size());
        Botan::secure_vector<uint8_t> buf(data.begin(), data.end());
        buf.resize(buf.empty() ? 16 : (buf.size() + 15) / 16 * 16, 0);
        cbc->finish(buf);
        data = Botan::base64_encode(buf);
    }
    return data;
}

std::string ReferenceLegacyAES(const std::string& password) {
    const std::string_view master = CascadeMasterString();
    auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
    sha1->update(reinterpret_cast<const uint8_t*>(master.data()), master.size());
    auto key = sha1->final();
    key.resize(24, 0);
    auto ecb = Botan::BlockCipher::create_or_throw("AES-192");
    ecb->set_key(key);
    uint8_t iv[16] = {};
    ecb->encrypt(iv);
    auto cfb = Botan::Cipher_Mode::create_or_throw("AES-192/CFB(8)", Botan::ENCRYPTION);
    cfb->set_key(key);
    cfb->start(iv, 16);
    Botan::secure_vector<uint8_t> buf(password.begin(), password.end());
    cfb->finish(buf);
    return Botan::base64_encode(buf);
}

TEST(PasswordCascade, ConstantsHaveTheirDescribedForm) {
    const std::string_view master = CascadeMasterString();
    ASSERT_EQ(master.size(), 128u);
    EXPECT_TRUE(std::any_of(master.begin(), master.end(), [](char c) { return uint8_t(c) >= 0x80; }));
    for (char c : master) {
        const auto b = uint8_t(c);
        EXPECT_FALSE(b < 0x20 || b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D);
    }
    const auto& stages = CascadeStages();
    EXPECT_EQ(std::string({stages[0].Cipher, stages[1].Cipher, stages[2].Cipher}), "r57");
    int sizes = 0;
    for (const auto& s : stages) {
        EXPECT_GE(s.Position, 1);
        EXPECT_LE(s.Position - 1 + s.Length, 128);
        sizes |= 1 << (s.Length <= 16 ? 0 : s.Length <= 24 ? 1 : 2);
    }
    EXPECT_GT(__builtin_popcount(sizes), 1) << "the cascade should use more than one key size";
}

TEST(PasswordCascade, LengthDependsOnlyOnPasswordBytesAndRoundTrips) {
    struct Case { size_t bytes; size_t length; };
    const Case cases[] = {{0, 64}, {1, 64}, {15, 64}, {16, 64}, {17, 88}, {32, 88},
                          {33, 128}, {48, 128}, {49, 172}, {64, 172}, {200, 512}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::string pw;
        for (size_t i = 0; i < c.bytes; ++i) pw += static_cast<char>('!' + i % 90);
        const std::string enc = EncryptPassword(pw);
        EXPECT_EQ(enc.size(), c.length);
        EXPECT_EQ(enc, ReferenceEncrypt(pw));
        EXPECT_EQ(DecryptPassword(enc), pw);
    }
}

TEST(PasswordCascade, FixedOutputsPinTheConstants) {
    // Stored Password3 values depend on these staying exactly as they are.
    EXPECT_EQ(EncryptPassword("secret"), ReferenceEncrypt("secret"));
    EXPECT_EQ(EncryptPassword("secret"),
              "0xEobVTou+6HsGqwBZyrWx7BL8+JJs+X/x6gro+pwO7io34eK0prMSQWtY8oC/bx");
    EXPECT_EQ(DecryptPassword("0xEobVTou+6HsGqwBZyrWx7BL8+JJs+X/x6gro+pwO7io34eK0prMSQWtY8oC/bx"),
              "secret");
}

TEST(PasswordCascade, TrimsBlanksAndControlsAroundPasswordAndText) {
    struct Case { const char* name; std::string password; std::string enciphered; std::string out; };
    const std::string pw = EncryptPassword("pa ss");
    const Case cases[] = {
        {"blanks around the password", "  pa ss\t", "", "pa ss"},
        {"control bytes around it", std::string("\x01\x1Fpw\x7F\x05", 6), "", "pw\x7F"},
        {"blanks only", "     ", "", ""},
        {"empty", "", "", ""},
        {"text with spaces around", "", "  " + pw + "  ", "pa ss"},
        {"text with a line break after", "", pw + "\r\n", "pa ss"},
        {"text with a tab before", "", "\t" + pw, "pa ss"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string enc = c.enciphered.empty() ? EncryptPassword(c.password) : c.enciphered;
        EXPECT_EQ(DecryptPassword(enc), c.out);
    }
}

TEST(PasswordCascade, NonAsciiPasswordsSurviveWhole) {
    // UTF-8 represents every character, so nothing turns into "?".
    for (const std::string pw : {"p\xC3\xA4sswort\xE2\x82\xAC", "\xF0\x9F\x94\x91 key", "\xE5\xAF\x86\xE7\xA0\x81"}) {
        SCOPED_TRACE(pw);
        EXPECT_EQ(DecryptPassword(EncryptPassword(pw)), pw);
    }
}

TEST(PasswordCascade, MalformedTextDeciphersToSomeTextWithoutFailing) {
    const std::string valid = EncryptPassword("secret");
    const std::string inputs[] = {
        "",
        "abc",
        "====",
        "!!!!????****",
        valid.substr(0, 63),
        valid.substr(0, 20),
        valid.substr(4),
        "QUJD",                   // three bytes: a partial block at the first stage
        std::string(10000, 'A'),  // huge
        std::string("\0\xFF\x80 x", 5),
    };
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.substr(0, 40));
        std::string out;
        EXPECT_NO_THROW(out = DecryptPassword(in));
        EXPECT_TRUE(IsValidUtf8(out));
        EXPECT_NE(out, "secret");
    }
}

// Botan leaves a partial block untouched; the cascade combines it with E(last chaining value),
// which is what CFB does to a segment: so CFB keyed alike, started at that value, is the reference.
TEST(PasswordCascade, PartialFinalBlockIsCombinedWithTheEncryptedChainingValue) {
    const std::string_view master = CascadeMasterString();
    for (const CipherStageParams& p : CascadeStages()) {
        SCOPED_TRACE(p.Cipher);
        const TLpBytes full = EncryptStage(p, TLpBytes{'a', 'b', 'c'});
        ASSERT_EQ(full.size(), 16u);
        TLpBytes malformed = full;
        const TLpBytes tail = {1, 2, 3, 4, 5};
        malformed.insert(malformed.end(), tail.begin(), tail.end());

        const TLpBytes out = DecryptStage(p, malformed);
        ASSERT_EQ(out.size(), 21u);
        EXPECT_EQ(TLpBytes(out.begin(), out.begin() + 3), (TLpBytes{'a', 'b', 'c'}));

        std::string km(master.substr(p.Position - 1, p.Length));
        if (p.Reverse) std::reverse(km.begin(), km.end());
        km.resize(km.size() <= 16 ? 16 : km.size() <= 24 ? 24 : 32, '\0');
        const std::string name = p.Cipher == 'r'   ? "AES-" + std::to_string(km.size() * 8)
                                 : p.Cipher == '5' ? "Serpent"
                                                   : "Twofish";
        auto cfb = Botan::Cipher_Mode::create_or_throw(name + "/CFB", Botan::DECRYPTION);
        cfb->set_key(reinterpret_cast<const uint8_t*>(km.data()), km.size());
        cfb->start(full.data(), 16);
        Botan::secure_vector<uint8_t> buf(tail.begin(), tail.end());
        cfb->finish(buf);
        EXPECT_EQ(TLpBytes(out.begin() + 16, out.end()), TLpBytes(buf.begin(), buf.end()));
    }
}

TEST(ZeroPad, PadsToTheNextWholeBlock) {
    struct Case { size_t in; size_t out; };
    for (const Case c : {Case{0, 16}, {1, 16}, {15, 16}, {16, 16}, {17, 32}, {32, 32}}) {
        SCOPED_TRACE(c.in);
        const TLpBytes data(c.in, 0xAB);
        const TLpBytes padded = ZeroPad(data, 16);
        ASSERT_EQ(padded.size(), c.out);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), padded.begin()));
        EXPECT_TRUE(std::all_of(padded.begin() + c.in, padded.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST(Base64DecodeLenient, ReadsGroupsOfFour) {
    struct Case { const char* name; std::string in; std::string out; };
    const Case cases[] = {
        {"three bytes", "QUJD", "ABC"},
        {"two bytes", "QUI=", "AB"},
        {"one byte", "QQ==", "A"},
        {"short final group ignored", "QUJDRA", "ABC"},
        {"short text", "QUJ", ""},
        {"padding inside the text", "QQ==QUI=", "AAB"},
        {"characters outside the alphabet count as zero", "A!A!", std::string(3, '\0')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TLpBytes out = Base64DecodeLenient(c.in);
        EXPECT_EQ(std::string(out.begin(), out.end()), c.out);
    }
    const TLpBytes all = {0, 1, 2, 0xFE, 0xFF, 0x7F, 0x80};
    EXPECT_EQ(Base64DecodeLenient(CascadeBase64Encode(all)), all);
    EXPECT_EQ(CascadeBase64Encode(all), Botan::base64_encode(all.data(), all.size()));
}

TEST(LegacyPassword, ComplementsTheLowByteOfEachCodeUnit) {
    struct Case { const char* name; std::u16string in; std::string out; };
    const Case cases[] = {
        {"0x9E is a", u"\x9E", "a"},
        {"only the low byte counts", u"\x019E\xFF9E", "aa"},
        {"non-ASCII result", u"\x8F\x1B", "p\xC3\xA4"},
        {"0xFF gives NUL", u"\xFF", std::string(1, '\0')},
        {"empty", u"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeLegacyPassword(c.in), c.out);
    }
    // Held as UTF-8 text, "\xC2\x9E" is the one code unit 0x9E.
    EXPECT_EQ(DecodeLegacyPasswordText("\xC2\x9E\xC2\x9D"), "ab");
}

TEST(LegacyAES, DecipherMatchesBotansCfb8AndKeepsBlanks) {
    for (const std::string& pw : std::vector<std::string>{"secret", " padded  ", "", "p\xC3\xA4ss", std::string(70, 'x')}) {
        SCOPED_TRACE(pw);
        EXPECT_EQ(DecryptLegacyAES(ReferenceLegacyAES(pw)), pw);
    }
    for (const std::string& bad : std::vector<std::string>{"", "*", "QUJ", std::string(5000, '/')}) {
        std::string out;
        EXPECT_NO_THROW(out = DecryptLegacyAES(bad));
        EXPECT_TRUE(IsValidUtf8(out));
    }
}

}  // namespace
}  // namespace larkpost
