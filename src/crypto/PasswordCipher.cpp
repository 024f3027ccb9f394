#include "crypto/PasswordCipher.h"

#include <botan/block_cipher.h>
#include <botan/hash.h>
#include <botan/mem_ops.h>

#include <algorithm>
#include <array>
#include <memory>

#include "crypto/CipherConstants.h"
#include "platform/CodePage.h"

namespace larkpost {

namespace {

constexpr size_t kBlock = 16;
constexpr size_t kKeyBuffer = 32;

using Block = std::array<uint8_t, kBlock>;

// A stage's cipher, keyed and with its IV. The key buffer is wiped as soon as the cipher holds
// the key, and Botan wipes its own schedule when the object goes.
struct Stage {
    std::unique_ptr<Botan::BlockCipher> cipher;
    Block iv{};
};

std::string CipherName(char cipher, size_t keyLength) {
    switch (cipher) {
        case 'r': return "AES-" + std::to_string(keyLength * 8);
        case '5': return "Serpent";
        default: return "Twofish";
    }
}

Stage SetUpStage(const CipherStageParams& params) {
    const std::string_view master = CascadeMasterString();
    const size_t start = params.Position >= 1 ? static_cast<size_t>(params.Position - 1) : 0;
    const std::string_view tail = start < master.size() ? master.substr(start) : std::string_view();

    std::array<uint8_t, kKeyBuffer> keyBuffer{};
    const size_t materialLength =
        std::min(tail.size(), static_cast<size_t>(std::max(params.Length, 0)));
    std::string material(tail.substr(0, materialLength));
    if (params.Reverse) std::reverse(material.begin(), material.end());
    std::copy_n(material.begin(), std::min(material.size(), kKeyBuffer), keyBuffer.begin());
    Botan::secure_scrub_memory(material.data(), material.size());

    const size_t keyLength = materialLength <= 16 ? 16 : materialLength <= 24 ? 24 : 32;
    Stage stage;
    stage.cipher = Botan::BlockCipher::create_or_throw(CipherName(params.Cipher, keyLength));
    stage.cipher->set_key(keyBuffer.data(), keyLength);
    Botan::secure_scrub_memory(keyBuffer.data(), keyBuffer.size());

    std::copy_n(tail.begin(), std::min(tail.size(), kBlock), stage.iv.begin());
    return stage;
}

// The input is always whole blocks (ZeroPad makes it so).
TLpBytes CbcEncrypt(const Stage& stage, const TLpBytes& plain) {
    TLpBytes out(plain.size());
    Block chain = stage.iv;
    for (size_t off = 0; off + kBlock <= plain.size(); off += kBlock) {
        Block x;
        for (size_t i = 0; i < kBlock; ++i) x[i] = plain[off + i] ^ chain[i];
        stage.cipher->encrypt(x.data(), chain.data());
        std::copy(chain.begin(), chain.end(), out.begin() + off);
    }
    return out;
}

// Only malformed input has a partial final block; Botan would leave such a tail untouched, so
// it is combined with the encryption of the last chaining value, as a stream.
TLpBytes CbcDecrypt(const Stage& stage, const TLpBytes& cipherText) {
    TLpBytes out(cipherText.size());
    Block chain = stage.iv;
    size_t off = 0;
    for (; off + kBlock <= cipherText.size(); off += kBlock) {
        Block x;
        stage.cipher->decrypt(cipherText.data() + off, x.data());
        for (size_t i = 0; i < kBlock; ++i) out[off + i] = x[i] ^ chain[i];
        std::copy_n(cipherText.begin() + off, kBlock, chain.begin());
    }
    if (off < cipherText.size()) {
        Block keystream;
        stage.cipher->encrypt(chain.data(), keystream.data());
        for (size_t i = 0; off + i < cipherText.size(); ++i)
            out[off + i] = cipherText[off + i] ^ keystream[i];
    }
    return out;
}

std::string_view Trim(std::string_view bytes) {
    while (!bytes.empty() && static_cast<uint8_t>(bytes.front()) <= 32) bytes.remove_prefix(1);
    while (!bytes.empty() && static_cast<uint8_t>(bytes.back()) <= 32) bytes.remove_suffix(1);
    return bytes;
}

std::string_view AsText(const TLpBytes& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

}  // namespace

TLpBytes ZeroPad(const TLpBytes& data, size_t blockLength) {
    if (blockLength == 0) return data;
    if (!data.empty() && data.size() % blockLength == 0) return data;
    TLpBytes out = data;
    out.resize((data.size() / blockLength + 1) * blockLength, 0);
    return out;
}

std::string CascadeBase64Encode(const TLpBytes& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t n = std::min<size_t>(3, data.size() - i);
        uint32_t v = uint32_t(data[i]) << 16;
        if (n > 1) v |= uint32_t(data[i + 1]) << 8;
        if (n > 2) v |= data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        out += n > 2 ? kAlphabet[v & 63] : '=';
    }
    return out;
}

TLpBytes Base64DecodeLenient(std::string_view text) {
    TLpBytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i + 4 <= text.size(); i += 4) {
        const std::string_view g = text.substr(i, 4);
        const uint32_t v = Base64Value(g[0]) << 18 | Base64Value(g[1]) << 12 |
                           Base64Value(g[2]) << 6 | Base64Value(g[3]);
        const size_t n = g[2] == '=' && g[3] == '=' ? 1 : g[3] == '=' ? 2 : 3;
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (n > 1) out.push_back(static_cast<uint8_t>(v >> 8));
        if (n > 2) out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

TLpBytes EncryptStage(const CipherStageParams& params, const TLpBytes& plain) {
    return CbcEncrypt(SetUpStage(params), ZeroPad(plain, kBlock));
}

TLpBytes DecryptStage(const CipherStageParams& params, const TLpBytes& cipherText) {
    return CbcDecrypt(SetUpStage(params), cipherText);
}

std::string EncryptPassword(std::string_view password) {
    TLpBytes data = TextToBytes(password);
    for (const CipherStageParams& params : CascadeStages()) {
        const std::string encoded = CascadeBase64Encode(EncryptStage(params, data));
        data.assign(encoded.begin(), encoded.end());
    }
    return std::string(AsText(data));
}

std::string DecryptPassword(std::string_view enciphered) {
    TLpBytes data = TextToBytes(enciphered);
    const auto& stages = CascadeStages();
    for (auto it = stages.rbegin(); it != stages.rend(); ++it)
        data = DecryptStage(*it, Base64DecodeLenient(Trim(AsText(data))));
    return BytesToText(Trim(AsText(data)));
}

std::string DecodeLegacyPassword(std::u16string_view complemented) {
    std::string out;
    for (char16_t unit : complemented) AppendUtf8(out, 255 - (unit & 0xFF));
    return out;
}

std::string DecodeLegacyPasswordText(std::string_view complemented) {
    return DecodeLegacyPassword(Utf8ToUtf16(complemented));
}

std::string DecryptLegacyAES(std::string_view enciphered) {
    const std::string_view master = CascadeMasterString();
    auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
    sha1->update(reinterpret_cast<const uint8_t*>(master.data()), master.size());
    Botan::secure_vector<uint8_t> key = sha1->final();
    key.resize(24, 0);

    auto aes = Botan::BlockCipher::create_or_throw("AES-192");
    aes->set_key(key);

    Block reg{};
    aes->encrypt(reg.data(), reg.data());

    const TLpBytes x = Base64DecodeLenient(enciphered);
    TLpBytes out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        Block keystream;
        aes->encrypt(reg.data(), keystream.data());
        out[i] = x[i] ^ keystream[0];
        std::copy(reg.begin() + 1, reg.end(), reg.begin());
        reg[kBlock - 1] = x[i];
    }
    return BytesToText(out);
}

}  // namespace larkpost
