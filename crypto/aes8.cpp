// Byte-oriented AES-128 (FIPS-197): one routine per transformation, each
// rewriting a 16-byte state in place (byte 4c + r is row r of column c).
#include "crypto/aes8.h"

#include "crypto/aes32.h"

#include <cstdio>

#include "crypto/sbox.h"

std::uint8_t GF_xtime(std::uint8_t b)
{
    return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1b : 0x00));
}

void AES8_SubBytes(std::uint8_t* state)
{
    for (int i = 0; i < 16; i++) state[i] = Sbox[state[i]];
}

void AES8_InvSubBytes(std::uint8_t* state)
{
    for (int i = 0; i < 16; i++) state[i] = InvSbox.v[state[i]];
}

namespace {

// Row r (bytes r, r+4, r+8, r+12) rotated: byte r of column c takes the one
// of column c + step * r (mod 4); step 1 rotates each row left by r
// positions, step 3 (-1 mod 4) right by r.
void shift_rows(std::uint8_t* state, int step)
{
    std::uint8_t out[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) out[4 * c + r] = state[4 * ((c + step * r) & 3) + r];
    for (int i = 0; i < 16; ++i) state[i] = out[i];
}

} // namespace

void AES8_ShiftRows(std::uint8_t* state) { shift_rows(state, 1); }

void AES8_InvShiftRows(std::uint8_t* state) { shift_rows(state, 3); }

// a[i] = 02·a[i] ^ 03·a[i+1] ^ a[i+2] ^ a[i+3], written as
// a[i] ^ t ^ 02·(a[i] ^ a[i+1]) with t the XOR of the column.
void AES8_MixColumns(std::uint8_t* state)
{
    for (int c = 0; c < 16; c += 4) {
        std::uint8_t* a = state + c;
        const std::uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
        const std::uint8_t t = a0 ^ a1 ^ a2 ^ a3;
        a[0] = a0 ^ t ^ GF_xtime(a0 ^ a1);
        a[1] = a1 ^ t ^ GF_xtime(a1 ^ a2);
        a[2] = a2 ^ t ^ GF_xtime(a2 ^ a3);
        a[3] = a3 ^ t ^ GF_xtime(a3 ^ a0);
    }
}

// a[i] = 0e·a[i] ^ 0b·a[i+1] ^ 0d·a[i+2] ^ 09·a[i+3], written as
// u ^ 06·a[i] ^ 03·a[i+1] ^ 05·a[i+2] ^ a[i+3] with u = 08·(a0^a1^a2^a3).
void AES8_InvMixColumns(std::uint8_t* state)
{
    for (int c = 0; c < 16; c += 4) {
        std::uint8_t* a = state + c;
        const std::uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
        const std::uint8_t u = GF_xtime(GF_xtime(GF_xtime(a0 ^ a1 ^ a2 ^ a3)));
        const std::uint8_t b0 =
            u ^ GF_xtime(GF_xtime(a0) ^ a0) ^ GF_xtime(a1) ^ a1 ^ GF_xtime(GF_xtime(a2)) ^ a2 ^ a3;
        const std::uint8_t b1 =
            u ^ GF_xtime(GF_xtime(a1) ^ a1) ^ GF_xtime(a2) ^ a2 ^ GF_xtime(GF_xtime(a3)) ^ a3 ^ a0;
        const std::uint8_t b2 =
            u ^ GF_xtime(GF_xtime(a2) ^ a2) ^ GF_xtime(a3) ^ a3 ^ GF_xtime(GF_xtime(a0)) ^ a0 ^ a1;
        const std::uint8_t b3 =
            u ^ GF_xtime(GF_xtime(a3) ^ a3) ^ GF_xtime(a0) ^ a0 ^ GF_xtime(GF_xtime(a1)) ^ a1 ^ a2;
        a[0] = b0;
        a[1] = b1;
        a[2] = b2;
        a[3] = b3;
    }
}

void AES8_AddRoundkey(std::uint8_t* state, const std::uint8_t* rk)
{
    for (int i = 0; i < 16; i++) state[i] ^= rk[i];
}

void AES8_Round(std::uint8_t* state, const std::uint8_t* rk)
{
    AES8_SubBytes(state);
    AES8_ShiftRows(state);
    AES8_MixColumns(state);
    AES8_AddRoundkey(state, rk);
}

void AES8_InvRound(std::uint8_t* state, const std::uint8_t* rk)
{
    AES8_InvShiftRows(state);
    AES8_InvSubBytes(state);
    AES8_AddRoundkey(state, rk);
    AES8_InvMixColumns(state);
}

void AES8_Encrypt(const std::uint8_t* in, const std::uint8_t rk[11][16], std::uint8_t* out)
{
    std::uint8_t s[16];
    for (int i = 0; i < 16; i++) s[i] = in[i];

    AES8_AddRoundkey(s, rk[0]);
    for (int r = 1; r <= 9; r++) AES8_Round(s, rk[r]);
    AES8_SubBytes(s);
    AES8_ShiftRows(s);
    AES8_AddRoundkey(s, rk[10]);

    for (int i = 0; i < 16; i++) out[i] = s[i];
}

void AES8_Decrypt(const std::uint8_t* in, const std::uint8_t rk[11][16], std::uint8_t* out)
{
    std::uint8_t s[16];
    for (int i = 0; i < 16; i++) s[i] = in[i];

    AES8_AddRoundkey(s, rk[10]);
    for (int r = 9; r >= 1; r--) AES8_InvRound(s, rk[r]);
    AES8_InvShiftRows(s);
    AES8_InvSubBytes(s);
    AES8_AddRoundkey(s, rk[0]);

    for (int i = 0; i < 16; i++) out[i] = s[i];
}

void AES8_EqInvKey(const std::uint8_t rk[11][16], std::uint8_t dk[11][16])
{
    for (int r = 0; r < 11; r++)
        for (int i = 0; i < 16; i++) dk[r][i] = rk[r][i];
    for (int r = 1; r <= 9; r++) AES8_InvMixColumns(dk[r]);
}

void AES8_EqDecrypt(const std::uint8_t* in, const std::uint8_t dk[11][16], std::uint8_t* out)
{
    std::uint8_t s[16];
    for (int i = 0; i < 16; i++) s[i] = in[i];

    AES8_AddRoundkey(s, dk[10]);
    for (int r = 9; r >= 1; r--) {
        AES8_InvSubBytes(s);
        AES8_InvShiftRows(s);
        AES8_InvMixColumns(s);
        AES8_AddRoundkey(s, dk[r]);
    }
    AES8_InvSubBytes(s);
    AES8_InvShiftRows(s);
    AES8_AddRoundkey(s, dk[0]);

    for (int i = 0; i < 16; i++) out[i] = s[i];
}

void AES8_KeySchedule(const std::uint8_t* key, std::uint8_t rk[11][16])
{
    std::uint32_t w[11][4];
    AES32_Enc_KeySchedule(key, w);
    for (int r = 0; r < 11; r++) state2byte(w[r], rk[r]);
}

void AES8_print_state(const std::uint8_t* state)
{
    for (int i = 0; i < 16; i++) std::printf("%02x ", state[i]);
    std::printf("\n");
}
