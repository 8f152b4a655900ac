// The byte-oriented AES-128 against OpenSSL's AES-128-ECB, an implementation
// that shares no code with ours, on many random keys and blocks.
#include "crypto/aes8.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>

namespace {

// One block through AES-128-ECB without padding; false if OpenSSL failed.
bool openssl_block(bool encrypt, const std::uint8_t* key, const std::uint8_t* in, std::uint8_t* out)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    const bool ok = ctx &&
                    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, out, &n, in, 16) == 1 &&
                    EVP_CipherFinal_ex(ctx, out + n, &m) == 1 && n + m == 16;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

TEST(Aes8OpenSsl, EncryptDecryptAndEqDecryptAgreeWithOpenSsl)
{
    std::mt19937 g(197);
    auto fill = [&g](std::uint8_t* p) {
        for (int i = 0; i < 16; i++) p[i] = static_cast<std::uint8_t>(g());
    };
    for (int n = 0; n < 1000; n++) {
        std::uint8_t key[16], rk[11][16], dk[11][16];
        fill(key);
        // The first two keys are the extremes: all zero bits, all one bits.
        if (n == 0) std::memset(key, 0x00, 16);
        if (n == 1) std::memset(key, 0xff, 16);
        AES8_KeySchedule(key, rk);
        AES8_EqInvKey(rk, dk);
        for (int b = 0; b < 4; b++) {
            std::uint8_t pt[16], ct[16], want[16], back[16];
            fill(pt);
            AES8_Encrypt(pt, rk, ct);
            ASSERT_TRUE(openssl_block(true, key, pt, want));
            ASSERT_EQ(0, std::memcmp(ct, want, 16)) << "encrypt, key " << n << " block " << b;
            // Decrypt a block OpenSSL made, not one of ours.
            fill(want);
            ASSERT_TRUE(openssl_block(true, key, want, ct));
            AES8_Decrypt(ct, rk, back);
            ASSERT_EQ(0, std::memcmp(back, want, 16)) << "decrypt, key " << n;
            AES8_EqDecrypt(ct, dk, back);
            ASSERT_EQ(0, std::memcmp(back, want, 16)) << "eq-decrypt, key " << n;
        }
    }
}

} // namespace
