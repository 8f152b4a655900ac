// Byte-oriented AES-128 (FIPS-197): one routine per transformation, each
// rewriting a 16-byte state in place (byte 4c + r is row r of column c).
#include "crypto/aes8.h"

#include "crypto/aes32.h"

#include <cstdio>

#include "crypto/sbox.h"

namespace {

// ISbox[Sbox[x]] = x.
const std::uint8_t ISbox[256] = {
    0x52, 0x09, 0x6a, 0xd5, 0x30, 0x36, 0xa5, 0x38, 0xbf, 0x40, 0xa3, 0x9e, 0x81, 0xf3, 0xd7, 0xfb,
    0x7c, 0xe3, 0x39, 0x82, 0x9b, 0x2f, 0xff, 0x87, 0x34, 0x8e, 0x43, 0x44, 0xc4, 0xde, 0xe9, 0xcb,
    0x54, 0x7b, 0x94, 0x32, 0xa6, 0xc2, 0x23, 0x3d, 0xee, 0x4c, 0x95, 0x0b, 0x42, 0xfa, 0xc3, 0x4e,
    0x08, 0x2e, 0xa1, 0x66, 0x28, 0xd9, 0x24, 0xb2, 0x76, 0x5b, 0xa2, 0x49, 0x6d, 0x8b, 0xd1, 0x25,
    0x72, 0xf8, 0xf6, 0x64, 0x86, 0x68, 0x98, 0x16, 0xd4, 0xa4, 0x5c, 0xcc, 0x5d, 0x65, 0xb6, 0x92,
    0x6c, 0x70, 0x48, 0x50, 0xfd, 0xed, 0xb9, 0xda, 0x5e, 0x15, 0x46, 0x57, 0xa7, 0x8d, 0x9d, 0x84,
    0x90, 0xd8, 0xab, 0x00, 0x8c, 0xbc, 0xd3, 0x0a, 0xf7, 0xe4, 0x58, 0x05, 0xb8, 0xb3, 0x45, 0x06,
    0xd0, 0x2c, 0x1e, 0x8f, 0xca, 0x3f, 0x0f, 0x02, 0xc1, 0xaf, 0xbd, 0x03, 0x01, 0x13, 0x8a, 0x6b,
    0x3a, 0x91, 0x11, 0x41, 0x4f, 0x67, 0xdc, 0xea, 0x97, 0xf2, 0xcf, 0xce, 0xf0, 0xb4, 0xe6, 0x73,
    0x96, 0xac, 0x74, 0x22, 0xe7, 0xad, 0x35, 0x85, 0xe2, 0xf9, 0x37, 0xe8, 0x1c, 0x75, 0xdf, 0x6e,
    0x47, 0xf1, 0x1a, 0x71, 0x1d, 0x29, 0xc5, 0x89, 0x6f, 0xb7, 0x62, 0x0e, 0xaa, 0x18, 0xbe, 0x1b,
    0xfc, 0x56, 0x3e, 0x4b, 0xc6, 0xd2, 0x79, 0x20, 0x9a, 0xdb, 0xc0, 0xfe, 0x78, 0xcd, 0x5a, 0xf4,
    0x1f, 0xdd, 0xa8, 0x33, 0x88, 0x07, 0xc7, 0x31, 0xb1, 0x12, 0x10, 0x59, 0x27, 0x80, 0xec, 0x5f,
    0x60, 0x51, 0x7f, 0xa9, 0x19, 0xb5, 0x4a, 0x0d, 0x2d, 0xe5, 0x7a, 0x9f, 0x93, 0xc9, 0x9c, 0xef,
    0xa0, 0xe0, 0x3b, 0x4d, 0xae, 0x2a, 0xf5, 0xb0, 0xc8, 0xeb, 0xbb, 0x3c, 0x83, 0x53, 0x99, 0x61,
    0x17, 0x2b, 0x04, 0x7e, 0xba, 0x77, 0xd6, 0x26, 0xe1, 0x69, 0x14, 0x63, 0x55, 0x21, 0x0c, 0x7d,
};

} // namespace

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
    for (int i = 0; i < 16; i++) state[i] = ISbox[state[i]];
}

// Row r (bytes r, r+4, r+8, r+12) rotated left by r positions.
void AES8_ShiftRows(std::uint8_t* state)
{
    std::uint8_t t;

    t = state[1];
    state[1] = state[5];
    state[5] = state[9];
    state[9] = state[13];
    state[13] = t;

    t = state[2];
    state[2] = state[10];
    state[10] = t;
    t = state[6];
    state[6] = state[14];
    state[14] = t;

    t = state[15];
    state[15] = state[11];
    state[11] = state[7];
    state[7] = state[3];
    state[3] = t;
}

// Row r rotated right by r positions.
void AES8_InvShiftRows(std::uint8_t* state)
{
    std::uint8_t t;

    t = state[13];
    state[13] = state[9];
    state[9] = state[5];
    state[5] = state[1];
    state[1] = t;

    t = state[2];
    state[2] = state[10];
    state[10] = t;
    t = state[6];
    state[6] = state[14];
    state[14] = t;

    t = state[3];
    state[3] = state[7];
    state[7] = state[11];
    state[11] = state[15];
    state[15] = t;
}

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
