// Word-oriented AES-128 against FIPS-197 (Appendices A.1, B, C.1) and
// against the definitions of its tables. Every word is built from bytes with
// shifts, so the test means the same on either host byte order.
#include "crypto/aes32.h"

#include <gtest/gtest.h>

#include "tests/crypto/aes_reference.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string g_vectors = TESSALY_VECTORS_DIR "/aes128-fips197-rounds.txt";

std::uint32_t be_word(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 |
           b[at + 3];
}

void be_state(const std::vector<std::uint8_t>& b, std::uint32_t s[4])
{
    for (int c = 0; c < 4; ++c) s[c] = be_word(b, 4 * c);
}

std::uint8_t byte_of(std::uint32_t w, int n) { return static_cast<std::uint8_t>(w >> (24 - 8 * n)); }

std::uint32_t inv_mix_column(std::uint32_t w)
{
    std::uint8_t a[4], r[4];
    for (int i = 0; i < 4; ++i) a[i] = byte_of(w, i);
    const std::uint8_t m[4] = {0x0e, 0x0b, 0x0d, 0x09};
    for (int i = 0; i < 4; ++i)
        r[i] = gmul(m[(4 - i) % 4], a[0]) ^ gmul(m[(5 - i) % 4], a[1]) ^ gmul(m[(6 - i) % 4], a[2]) ^
               gmul(m[(7 - i) % 4], a[3]);
    return std::uint32_t{r[0]} << 24 | std::uint32_t{r[1]} << 16 | std::uint32_t{r[2]} << 8 | r[3];
}

std::uint32_t ror(std::uint32_t w, int n) { return w >> n | w << (32 - n); }

std::vector<std::uint8_t> encrypt(const std::vector<std::uint8_t>& key, std::vector<std::uint8_t> block)
{
    std::uint32_t rk[11][4];
    AES32_Enc_KeySchedule(key.data(), rk);
    AES32_Encrypt(block.data(), rk, block.data());
    return block;
}

std::vector<std::uint8_t> decrypt(const std::vector<std::uint8_t>& key, std::vector<std::uint8_t> block)
{
    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(key.data(), dk);
    AES32_EqDecrypt(block.data(), dk, block.data());
    return block;
}

TEST(Aes32Fips197, KeyExpansionGivesAllFortyFourWordsOfAppendixA1)
{
    const Fips197Rounds v = read_fips197_rounds(g_vectors);
    std::uint32_t rk[11][4];
    AES32_Enc_KeySchedule(hex(v.row[0].key).data(), rk);
    for (int r = 0; r <= 10; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(rk[r][c], be_word(hex(v.row[r].key), 4 * c)) << "w[" << 4 * r + c << "]";
}

TEST(Aes32Fips197, EveryRoundOfAppendixBBothWays)
{
    const Fips197Rounds v = read_fips197_rounds(g_vectors);
    std::uint32_t rk[11][4], dk[11][4], s[4], want[4];
    AES32_Enc_KeySchedule(hex(v.row[0].key).data(), rk);
    AES32_Dec_KeySchedule(hex(v.row[0].key).data(), dk);
    // Encryption round r takes the start of round r to the start of round r + 1.
    for (int r = 1; r <= 9; ++r) {
        be_state(hex(v.row[r].start), s);
        AES32_round(s, rk[r]);
        be_state(hex(v.row[r + 1].start), want);
        for (int c = 0; c < 4; ++c) EXPECT_EQ(s[c], want[c]) << "round " << r;
    }
    // An equivalent-inverse round r takes round r + 1's ShiftRows result to round r's.
    for (int r = 9; r >= 1; --r) {
        be_state(hex(v.row[r + 1].shift), s);
        AES32_EqInv_round(s, dk[r]);
        be_state(hex(v.row[r].shift), want);
        for (int c = 0; c < 4; ++c) EXPECT_EQ(s[c], want[c]) << "round " << r;
    }
    EXPECT_EQ(encrypt(hex(v.row[0].key), hex(v.input)), hex(v.output));
    EXPECT_EQ(decrypt(hex(v.row[0].key), hex(v.output)), hex(v.input));
}

TEST(Aes32Fips197, AppendixC1BothWays)
{
    const auto key = hex("000102030405060708090a0b0c0d0e0f");
    const auto pt = hex("00112233445566778899aabbccddeeff");
    const auto ct = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(encrypt(key, pt), ct);
    EXPECT_EQ(decrypt(key, ct), pt);
}

TEST(Aes32Block, SeparateBuffersAndInPlaceAgreeAndRoundTrip)
{
    const auto key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    std::uint32_t rk[11][4], dk[11][4];
    AES32_Enc_KeySchedule(key.data(), rk);
    AES32_Dec_KeySchedule(key.data(), dk);
    std::uint32_t seed = 1;
    for (int n = 0; n < 200; ++n) {
        std::uint8_t in[16], out[16], back[16], same[16];
        for (auto& b : in) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
        AES32_Encrypt(in, rk, out);
        std::copy(in, in + 16, same);
        AES32_Encrypt(same, rk, same);
        ASSERT_TRUE(std::equal(out, out + 16, same));
        AES32_EqDecrypt(out, dk, back);
        ASSERT_TRUE(std::equal(in, in + 16, back));
        AES32_EqDecrypt(same, dk, same);
        ASSERT_TRUE(std::equal(in, in + 16, same));
    }
}

TEST(Aes32KeySchedule, DecryptionKeysAreInvMixColumnsOfRoundsOneToNineInPlace)
{
    for (const char* k : {"2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f",
                          "ffffffffffffffffffffffffffffffff", "00000000000000000000000000000000"}) {
        const auto key = hex(k);
        std::uint32_t rk[11][4], dk[11][4];
        AES32_Enc_KeySchedule(key.data(), rk);
        AES32_Dec_KeySchedule(key.data(), dk);
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(dk[0][c], rk[0][c]) << k;
            EXPECT_EQ(dk[10][c], rk[10][c]) << k;
            for (int r = 1; r <= 9; ++r) EXPECT_EQ(dk[r][c], inv_mix_column(rk[r][c])) << k << " round " << r;
        }
    }
}

TEST(Aes32Words, PackingAndWordOperationsUseBigEndianColumns)
{
    const auto block = hex("3243f6a8885a308d313198a2e0370734");
    std::uint32_t s[4];
    byte2state(block.data(), s);
    EXPECT_EQ(s[0], 0x3243f6a8u);
    EXPECT_EQ(s[1], 0x885a308du);
    EXPECT_EQ(s[2], 0x313198a2u);
    EXPECT_EQ(s[3], 0xe0370734u);
    std::uint8_t back[16];
    state2byte(s, back);
    EXPECT_TRUE(std::equal(back, back + 16, block.begin()));
    EXPECT_EQ(RotWord(0x01020304u), 0x02030401u);
    EXPECT_EQ(RotWord(0x80000001u), 0x00000180u);
    EXPECT_EQ(SubWord(0x00000000u), 0x63636363u);
    EXPECT_EQ(SubWord(0x00015310u), 0x637cedcau); // each byte in its own position
}

TEST(Aes32Tables, EntriesMatchTheirGfDefinitions)
{
    EXPECT_EQ(Te0[0], 0xc66363a5u);
    EXPECT_EQ(Td0[0], 0x51f4a750u);
    std::uint8_t inverse[256] = {};
    for (int x = 0; x < 256; ++x)
        inverse[sbox_ref(static_cast<std::uint8_t>(x))] = static_cast<std::uint8_t>(x);
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = sbox_ref(static_cast<std::uint8_t>(x)), is = inverse[x];
        const std::uint32_t te0 =
            std::uint32_t{gmul(s, 2)} << 24 | std::uint32_t{s} << 16 | std::uint32_t{s} << 8 | gmul(s, 3);
        const std::uint32_t td0 = std::uint32_t{gmul(is, 0x0e)} << 24 | std::uint32_t{gmul(is, 0x09)} << 16 |
                                  std::uint32_t{gmul(is, 0x0d)} << 8 | gmul(is, 0x0b);
        ASSERT_EQ(Te0[x], te0) << x;
        ASSERT_EQ(Te1[x], ror(te0, 8)) << x;
        ASSERT_EQ(Te2[x], ror(te0, 16)) << x;
        ASSERT_EQ(Te3[x], ror(te0, 24)) << x;
        ASSERT_EQ(Td0[x], td0) << x;
        ASSERT_EQ(Td1[x], ror(td0, 8)) << x;
        ASSERT_EQ(Td2[x], ror(td0, 16)) << x;
        ASSERT_EQ(Td3[x], ror(td0, 24)) << x;
        for (int n = 0; n < 4; ++n) {
            ASSERT_EQ(byte_of(Te4[x], n), s) << x;
            ASSERT_EQ(byte_of(Td4[x], n), is) << x;
        }
        ASSERT_EQ(SubWord(static_cast<std::uint32_t>(x)) & 0xff, s) << x;
    }
}

std::string printed(const std::uint32_t s[4])
{
    testing::internal::CaptureStdout();
    AES32_print_state(s);
    return testing::internal::GetCapturedStdout();
}

TEST(Aes32PrintState, PrintsFourPaddedLowerCaseWordsAndNewline)
{
    const std::uint32_t zero[4] = {0, 0, 0, 0};
    const std::string z = printed(zero);
    EXPECT_EQ(z, "00000000 00000000 00000000 00000000 \n");
    EXPECT_EQ(z.size(), 37u);
    const std::uint32_t s[4] = {0x3243f6a8, 0x885a308d, 0xffffffff, 0x0000000a};
    EXPECT_EQ(printed(s), "3243f6a8 885a308d ffffffff 0000000a \n");
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) g_vectors = argv[1];
    return RUN_ALL_TESTS();
}
