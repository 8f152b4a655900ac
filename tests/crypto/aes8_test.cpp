// Byte-oriented AES-128 against FIPS-197 (Appendix B step by step, C.1), the
// GF(2^8) definitions of its steps, and the word-oriented AES.
// Usage: aes8_test [gtest flags] [path/to/aes128-fips197-rounds.txt]
#include "crypto/aes32.h"
#include "crypto/aes8.h"

#include <gtest/gtest.h>

#include "tests/crypto/aes_reference.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#ifndef TESSALY_VECTORS_DIR
#error "TESSALY_VECTORS_DIR must be defined by the build"
#endif

namespace {

using Block = std::vector<std::uint8_t>;
std::string g_rounds_file = TESSALY_VECTORS_DIR "/aes128-fips197-rounds.txt";

// Blocks are compared as hex text, so a failure prints readable bytes.
std::string of(const std::uint8_t* p)
{
    static const char digit[] = "0123456789abcdef";
    std::string h;
    for (int i = 0; i < 16; i++) h += {digit[p[i] >> 4], digit[p[i] & 15]};
    return h;
}
std::string of(const Block& b) { return of(b.data()); }

// Column-wise product with the circulant matrix (m0 m1 m2 m3).
Block mix_ref(const Block& s, const std::uint8_t m[4])
{
    Block o(16);
    for (int c = 0; c < 4; c++)
        for (int i = 0; i < 4; i++)
            o[4 * c + i] = gmul(m[0], s[4 * c + i]) ^ gmul(m[1], s[4 * c + (i + 1) % 4]) ^
                           gmul(m[2], s[4 * c + (i + 2) % 4]) ^ gmul(m[3], s[4 * c + (i + 3) % 4]);
    return o;
}

Block random_block(std::mt19937& g)
{
    Block b(16);
    for (auto& x : b) x = static_cast<std::uint8_t>(g());
    return b;
}

const std::uint8_t app_b_key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                    0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

TEST(Aes8Gf, XtimeDoublesModuloTheAesPolynomial)
{
    EXPECT_EQ(GF_xtime(0x57), 0xae);
    EXPECT_EQ(GF_xtime(0xae), 0x47);
    EXPECT_EQ(GF_xtime(0x80), 0x1b);
    // No reduction just below bit 7; reduction whenever bit 7 is set.
    EXPECT_EQ(GF_xtime(0x7f), 0xfe);
    EXPECT_EQ(GF_xtime(0xff), 0xe5);
    EXPECT_EQ(GF_xtime(0x00), 0x00);
    for (unsigned b = 0; b < 256; b++) ASSERT_EQ(GF_xtime(static_cast<std::uint8_t>(b)), gmul(b, 2)) << b;
}

// The S-box from its definition (sbox_ref).
TEST(Aes8Steps, SubBytesMatchesTheSboxDefinitionAndInvSubBytesUndoesIt)
{
    for (unsigned base = 0; base < 256; base += 16) {
        std::uint8_t s[16];
        for (unsigned i = 0; i < 16; i++) s[i] = static_cast<std::uint8_t>(base + i);
        AES8_SubBytes(s);
        for (unsigned i = 0; i < 16; i++)
            ASSERT_EQ(s[i], sbox_ref(static_cast<std::uint8_t>(base + i))) << "S-box at " << base + i;
        AES8_InvSubBytes(s);
        for (unsigned i = 0; i < 16; i++) ASSERT_EQ(s[i], base + i) << "inverse S-box";
    }
}

TEST(Aes8Steps, ShiftRowsRotatesRowRLeftByR)
{
    std::uint8_t s[16];
    for (int i = 0; i < 16; i++) s[i] = static_cast<std::uint8_t>(0x10 + i);
    AES8_ShiftRows(s);
    EXPECT_EQ(of(s), "10151a1f14191e13181d12171c11161b");
    for (int i = 0; i < 16; i++) s[i] = static_cast<std::uint8_t>(0x10 + i);
    AES8_InvShiftRows(s);
    EXPECT_EQ(of(s), "101d1a1714111e1b1815121f1c191613");

    // Byte 4c + r takes byte 4(c + r) + r, columns modulo 4.
    std::mt19937 g(4);
    for (int n = 0; n < 50; n++) {
        const Block r = random_block(g);
        std::memcpy(s, r.data(), 16);
        AES8_ShiftRows(s);
        for (int c = 0; c < 4; c++)
            for (int row = 0; row < 4; row++) ASSERT_EQ(s[4 * c + row], r[4 * ((c + row) % 4) + row]);
    }
}

TEST(Aes8Steps, MixColumnsKnownColumnsAndMatrixForm)
{
    // Four columns at once, so a column that leaks into its neighbour shows.
    std::uint8_t s[16], t[16];
    const Block in = hex("db135345f20a225c01010101d4d4d4d5");
    std::memcpy(s, in.data(), 16);
    AES8_MixColumns(s);
    EXPECT_EQ(of(s), "8e4da1bc9fdc589d01010101d5d5d7d6");
    AES8_InvMixColumns(s);
    EXPECT_EQ(of(s), of(in));

    const std::uint8_t fwd[4] = {2, 3, 1, 1}, inv[4] = {0x0e, 0x0b, 0x0d, 0x09};
    std::mt19937 g(8);
    for (int n = 0; n < 200; n++) {
        Block r = random_block(g);
        std::memcpy(s, r.data(), 16);
        std::memcpy(t, r.data(), 16);
        AES8_MixColumns(s);
        AES8_InvMixColumns(t);
        ASSERT_EQ(of(s), of(mix_ref(r, fwd)));
        ASSERT_EQ(of(t), of(mix_ref(r, inv)));
    }
}

TEST(Aes8Steps, EachInverseUndoesItsStepBothWays)
{
    using Step = void (*)(std::uint8_t*);
    const Step pair[3][2] = {{AES8_SubBytes, AES8_InvSubBytes},
                             {AES8_ShiftRows, AES8_InvShiftRows},
                             {AES8_MixColumns, AES8_InvMixColumns}};
    std::mt19937 g(80);
    for (int n = 0; n < 300; n++) {
        const Block r = random_block(g);
        for (const auto& p : pair)
            for (int order = 0; order < 2; order++) {
                std::uint8_t s[16];
                std::memcpy(s, r.data(), 16);
                p[order](s);
                p[1 - order](s);
                ASSERT_EQ(of(s), of(r)) << "pair " << (&p - pair) << " order " << order;
            }
    }
}

// Appendix B forwards: every step of every round, the round keys, the output.
TEST(Aes8Fips197, EncryptionStateAfterEveryStepOfAppendixB)
{
    const Fips197Rounds t = read_fips197_rounds(g_rounds_file);
    ASSERT_EQ(t.row.size(), 11u);
    std::uint8_t rk[11][16], s[16];
    AES8_KeySchedule(app_b_key, rk);
    for (int r = 0; r <= 10; r++) EXPECT_EQ(of(rk[r]), t.row[r].key) << "round key " << r;

    std::memcpy(s, hex(t.input).data(), 16);
    AES8_AddRoundkey(s, rk[0]);
    for (int r = 1; r <= 10; r++) {
        const RoundRow& w = t.row[r];
        SCOPED_TRACE("round " + std::to_string(r));
        EXPECT_EQ(of(s), w.start);
        AES8_SubBytes(s);
        EXPECT_EQ(of(s), w.sub);
        AES8_ShiftRows(s);
        EXPECT_EQ(of(s), w.shift);
        if (r < 10) {
            AES8_MixColumns(s);
            EXPECT_EQ(of(s), w.mix);
            std::uint8_t whole[16];
            std::memcpy(whole, hex(w.start).data(), 16);
            AES8_Round(whole, rk[r]);
            AES8_AddRoundkey(s, rk[r]);
            EXPECT_EQ(of(whole), of(s)) << "AES8_Round";
        } else {
            AES8_AddRoundkey(s, rk[r]);
        }
    }
    EXPECT_EQ(of(s), t.output);
    AES8_Encrypt(hex(t.input).data(), rk, s);
    EXPECT_EQ(of(s), t.output);
}

// Appendix B backwards through the straightforward inverse cipher, each
// step landing on the table's state, then both inverse ciphers whole.
TEST(Aes8Fips197, InverseCipherRetracesAppendixB)
{
    const Fips197Rounds t = read_fips197_rounds(g_rounds_file);
    ASSERT_EQ(t.row.size(), 11u);
    std::uint8_t rk[11][16], dk[11][16], s[16];
    AES8_KeySchedule(app_b_key, rk);

    std::memcpy(s, hex(t.output).data(), 16);
    AES8_AddRoundkey(s, rk[10]);
    for (int r = 10; r >= 1; r--) {
        SCOPED_TRACE("round " + std::to_string(r));
        if (r < 10) {
            EXPECT_EQ(of(s), t.row[r].mix);
            std::uint8_t whole[16];
            std::memcpy(whole, hex(t.row[r + 1].shift).data(), 16);
            AES8_InvRound(whole, rk[r]);
            AES8_InvMixColumns(s);
            EXPECT_EQ(of(whole), of(s)) << "AES8_InvRound";
        }
        EXPECT_EQ(of(s), t.row[r].shift);
        AES8_InvShiftRows(s);
        EXPECT_EQ(of(s), t.row[r].sub);
        AES8_InvSubBytes(s);
        EXPECT_EQ(of(s), t.row[r].start);
        AES8_AddRoundkey(s, rk[r - 1]);
    }
    EXPECT_EQ(of(s), t.input);

    AES8_Decrypt(hex(t.output).data(), rk, s);
    EXPECT_EQ(of(s), t.input);
    AES8_EqInvKey(rk, dk);
    AES8_EqDecrypt(hex(t.output).data(), dk, s);
    EXPECT_EQ(of(s), t.input);
}

TEST(Aes8Fips197, AppendixC1)
{
    std::uint8_t key[16], rk[11][16], dk[11][16], s[16];
    for (int i = 0; i < 16; i++) key[i] = static_cast<std::uint8_t>(i);
    const Block pt = hex("00112233445566778899aabbccddeeff"), ct = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    AES8_KeySchedule(key, rk);
    AES8_EqInvKey(rk, dk);
    AES8_Encrypt(pt.data(), rk, s);
    EXPECT_EQ(of(s), of(ct));
    AES8_Decrypt(ct.data(), rk, s);
    EXPECT_EQ(of(s), of(pt));
    AES8_EqDecrypt(ct.data(), dk, s);
    EXPECT_EQ(of(s), of(pt));
}

TEST(Aes8Keys, EqInvKeyIsTheWordDecryptionScheduleAlsoInPlace)
{
    std::mt19937 g(11);
    for (int n = 0; n < 100; n++) {
        const Block key = random_block(g);
        std::uint8_t rk[11][16], dk[11][16], same[11][16], want[16];
        std::uint32_t w[11][4];
        AES8_KeySchedule(key.data(), rk);
        AES8_EqInvKey(rk, dk);
        std::memcpy(same, rk, sizeof same);
        AES8_EqInvKey(same, same);
        AES32_Dec_KeySchedule(key.data(), w);
        for (int r = 0; r <= 10; r++) {
            state2byte(w[r], want);
            ASSERT_EQ(of(dk[r]), of(want)) << "round key " << r;
            ASSERT_EQ(of(same[r]), of(want)) << "in place, round key " << r;
        }
        EXPECT_EQ(of(dk[0]), of(rk[0]));
        EXPECT_EQ(of(dk[10]), of(rk[10]));
    }
}

// Random keys and blocks: the three byte ciphers agree with the word ones,
// in separate and in shared buffers; the wrong kind of round keys misses.
TEST(Aes8Agreement, MatchesWordAesOnRandomKeysAndBlocks)
{
    std::mt19937 g(32);
    for (int n = 0; n < 500; n++) {
        const Block key = random_block(g);
        std::uint8_t rk[11][16], dk[11][16];
        std::uint32_t we[11][4], wd[11][4];
        AES8_KeySchedule(key.data(), rk);
        AES8_EqInvKey(rk, dk);
        AES32_Enc_KeySchedule(key.data(), we);
        AES32_Dec_KeySchedule(key.data(), wd);
        for (int b = 0; b < 8; b++) {
            const Block pt = random_block(g);
            std::uint8_t ct[16], ct32[16], back[16], io[16];
            AES8_Encrypt(pt.data(), rk, ct);
            AES32_Encrypt(pt.data(), we, ct32);
            ASSERT_EQ(of(ct), of(ct32)) << "key " << n << " block " << b;
            AES32_EqDecrypt(ct, wd, back);
            ASSERT_EQ(of(back), of(pt));
            AES8_Decrypt(ct, rk, back);
            ASSERT_EQ(of(back), of(pt));
            AES8_EqDecrypt(ct, dk, back);
            ASSERT_EQ(of(back), of(pt));

            std::memcpy(io, pt.data(), 16);
            AES8_Encrypt(io, rk, io);
            ASSERT_EQ(of(io), of(ct)) << "in place";
            AES8_Decrypt(io, rk, io);
            ASSERT_EQ(of(io), of(pt)) << "in place";
            std::memcpy(io, ct, 16);
            AES8_EqDecrypt(io, dk, io);
            ASSERT_EQ(of(io), of(pt)) << "in place";
        }
        const Block pt = random_block(g);
        std::uint8_t ct[16], back[16];
        AES8_Encrypt(pt.data(), rk, ct);
        AES8_Decrypt(ct, dk, back);
        EXPECT_NE(of(back), of(pt)) << "AES8_Decrypt accepted equivalent keys";
        AES8_EqDecrypt(ct, rk, back);
        EXPECT_NE(of(back), of(pt)) << "AES8_EqDecrypt accepted encryption keys";
    }
}

std::string print_to_string(const std::uint8_t* state)
{
    std::fflush(stdout);
    std::FILE* tmp = std::tmpfile();
    const int saved = dup(fileno(stdout));
    dup2(fileno(tmp), fileno(stdout));
    AES8_print_state(state);
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::string out;
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;) out.push_back(static_cast<char>(c));
    std::fclose(tmp);
    return out;
}

TEST(Aes8Print, PrintStateWritesSixteenLowerCaseHexBytesAndNewline)
{
    std::uint8_t zero[16] = {};
    EXPECT_EQ(print_to_string(zero), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n");
    EXPECT_EQ(print_to_string(zero).size(), 49u);
    const Block b = hex("3243f6a8885a308d313198a2e03707ff");
    EXPECT_EQ(print_to_string(b.data()), "32 43 f6 a8 88 5a 30 8d 31 31 98 a2 e0 37 07 ff \n");
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) g_rounds_file = argv[1];
    return RUN_ALL_TESTS();
}
