// Fuzz target: the two AES-128 implementations against each other.
//
// Input: a 16-byte key, then any number of 16-byte blocks (a partial tail is
// ignored). For every key the round keys of both forms must agree, and for
// every block:
//  - AES8_Encrypt and AES32_Encrypt give the same ciphertext;
//  - AES8_Decrypt, AES8_EqDecrypt and AES32_EqDecrypt all give the block back;
//  - the block taken as a ciphertext decrypts alike with all three, and
//    encrypting that gives the block back;
//  - every cipher gives the same result in place (input and output one buffer).
#include "crypto/aes32.h"
#include "crypto/aes8.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "block_ciphers_fuzz: %s\n", what);
        std::abort();
    }
}

bool same(const std::uint8_t* a, const std::uint8_t* b) { return std::memcmp(a, b, 16) == 0; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 16) return 0;
    std::uint8_t key[16];
    std::memcpy(key, data, 16);

    std::uint8_t rk8[11][16], dk8[11][16], row[16];
    std::uint32_t rk32[11][4], dk32[11][4];
    AES8_KeySchedule(key, rk8);
    AES8_EqInvKey(rk8, dk8);
    AES32_Enc_KeySchedule(key, rk32);
    AES32_Dec_KeySchedule(key, dk32);
    for (int r = 0; r < 11; ++r) {
        state2byte(rk32[r], row);
        check(same(row, rk8[r]), "encryption round keys differ between AES8 and AES32");
        state2byte(dk32[r], row);
        check(same(row, dk8[r]), "decryption round keys differ between AES8 and AES32");
    }
    std::uint8_t dk8_in_place[11][16];
    std::memcpy(dk8_in_place, rk8, sizeof rk8);
    AES8_EqInvKey(dk8_in_place, dk8_in_place);
    check(std::memcmp(dk8_in_place, dk8, sizeof dk8) == 0, "AES8_EqInvKey in place differs");

    for (std::size_t at = 16; at + 16 <= size; at += 16) {
        std::uint8_t p[16], c8[16], c32[16], back[16], buf[16];
        std::memcpy(p, data + at, 16);

        AES8_Encrypt(p, rk8, c8);
        AES32_Encrypt(p, rk32, c32);
        check(same(c8, c32), "AES8_Encrypt and AES32_Encrypt disagree");
        AES8_Decrypt(c8, rk8, back);
        check(same(back, p), "AES8_Decrypt does not undo the encryption");
        AES8_EqDecrypt(c8, dk8, back);
        check(same(back, p), "AES8_EqDecrypt does not undo the encryption");
        AES32_EqDecrypt(c32, dk32, back);
        check(same(back, p), "AES32_EqDecrypt does not undo the encryption");

        // The block as a ciphertext.
        std::uint8_t d8[16], e8[16], d32[16];
        AES8_Decrypt(p, rk8, d8);
        AES8_EqDecrypt(p, dk8, e8);
        AES32_EqDecrypt(p, dk32, d32);
        check(same(d8, e8) && same(d8, d32), "the three decryptions disagree");
        AES32_Encrypt(d32, rk32, back);
        check(same(back, p), "encryption does not undo AES32_EqDecrypt");

        // In place: each cipher with input and output one buffer gives its result above.
        auto in_place = [&](const char* what, const std::uint8_t* want, auto cipher) {
            std::memcpy(buf, p, 16);
            cipher(buf);
            if (!same(buf, want)) {
                std::fprintf(stderr, "block_ciphers_fuzz: %s in place differs\n", what);
                std::abort();
            }
        };
        in_place("AES8_Encrypt", c8, [&](std::uint8_t* b) { AES8_Encrypt(b, rk8, b); });
        in_place("AES32_Encrypt", c32, [&](std::uint8_t* b) { AES32_Encrypt(b, rk32, b); });
        in_place("AES8_Decrypt", d8, [&](std::uint8_t* b) { AES8_Decrypt(b, rk8, b); });
        in_place("AES8_EqDecrypt", d8, [&](std::uint8_t* b) { AES8_EqDecrypt(b, dk8, b); });
        in_place("AES32_EqDecrypt", d8, [&](std::uint8_t* b) { AES32_EqDecrypt(b, dk32, b); });
    }
    return 0;
}
