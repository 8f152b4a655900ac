// The word-oriented AES-128 against OpenSSL's libcrypto as an independent
// oracle: many random keys and blocks, both directions.
#include "crypto/aes32.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

// ECB without padding over whole blocks, one OpenSSL context per key.
std::vector<std::uint8_t> openssl_ecb(bool enc, const std::uint8_t key[16],
                                      const std::vector<std::uint8_t>& in)
{
    std::vector<std::uint8_t> out(in.size());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, enc ? 1 : 0), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(static_cast<std::size_t>(n), in.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

TEST(Aes32VsOpenSsl, RandomKeysAndBlocksBothDirections)
{
    std::mt19937 rng(20240611);
    const int key_count = 2000, block_count = 8;
    for (int k = 0; k < key_count; ++k) {
        std::uint8_t key[16];
        for (auto& b : key) b = static_cast<std::uint8_t>(rng());
        // A few keys with long runs of equal bytes stress the key schedule's edges.
        if (k < 4)
            for (auto& b : key)
                b = static_cast<std::uint8_t>(k == 0 ? 0x00 : k == 1 ? 0xff : k == 2 ? 0x80 : 0x01);
        std::vector<std::uint8_t> data(16 * block_count);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        const auto want_enc = openssl_ecb(true, key, data);
        const auto want_dec = openssl_ecb(false, key, data);
        std::uint32_t rk[11][4], dk[11][4];
        AES32_Enc_KeySchedule(key, rk);
        AES32_Dec_KeySchedule(key, dk);
        for (int j = 0; j < block_count; ++j) {
            std::uint8_t out[16];
            AES32_Encrypt(&data[16 * j], rk, out);
            ASSERT_TRUE(std::equal(out, out + 16, &want_enc[16 * j]))
                << "encrypt, key " << k << " block " << j;
            AES32_EqDecrypt(&data[16 * j], dk, out);
            ASSERT_TRUE(std::equal(out, out + 16, &want_dec[16 * j]))
                << "decrypt, key " << k << " block " << j;
        }
    }
}

} // namespace
