// The password cipher cascade (AES, then Serpent, then Twofish, each in CBC and Base64) that
// turns a password into the text kept under Password3 or given with /PASS3, and the decoders
// of the two older stored forms that are still accepted and migrated.
#pragma once

#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace larkpost {

// One stage of the cascade: which cipher, and where in the master string its key material
// and IV start. Position counts bytes from 1.
struct CipherStageParams {
    char Cipher;  // 'r' Rijndael (AES), '5' Serpent, '7' Twofish
    int Position;
    int Length;
    bool Reverse;
};

// Password text in, printable Base64 text out (64 characters for up to 16 bytes, 88 up to 32, ...).
std::string EncryptPassword(std::string_view password);

// The reverse of EncryptPassword. Never fails: malformed input deciphers to some other text,
// and the result is always valid UTF-8 (bytes that are not are read as Windows-1252).
std::string DecryptPassword(std::string_view enciphered);

// The complemented form of the legacy Password key: each UTF-16 code unit c gives the
// character 255 - (c mod 256). The settings reader hands the stored bytes over one unit each.
std::string DecodeLegacyPassword(std::u16string_view complemented);
// The same for text held as UTF-8.
std::string DecodeLegacyPasswordText(std::string_view complemented);

// The single-cipher form of Password_AES and /PASSX: AES-192 in 8-bit CFB, Base64, untrimmed.
std::string DecryptLegacyAES(std::string_view enciphered);

// One stage of the cascade on raw bytes: its set-up, then CBC with the stage's key and IV.
// Encryption pads with ZeroPad first; decryption keeps the length, a final partial block
// (malformed input only) being combined with the encryption of the last chaining value.
TLpBytes EncryptStage(const CipherStageParams& stage, const TLpBytes& plain);
TLpBytes DecryptStage(const CipherStageParams& stage, const TLpBytes& cipherText);

// Appends zero bytes up to the next multiple of blockLength; an empty input becomes one block.
TLpBytes ZeroPad(const TLpBytes& data, size_t blockLength);

// Base64 as the cascade writes it: standard alphabet, "=" padding, no line breaks.
std::string CascadeBase64Encode(const TLpBytes& data);
// The cascade's lenient reader: groups of four; a short final group is ignored; "==" ends a
// group of one byte, "=" one of two; characters outside the alphabet count as zero bits.
TLpBytes Base64DecodeLenient(std::string_view text);

}  // namespace larkpost
