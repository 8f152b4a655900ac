// Word-oriented AES-128 (FIPS-197) with lookup tables.
//
// The ten T-tables are computed by the compiler from the S-box below, so they
// sit in the binary's read-only data from load time on and nothing runs at
// load to fill them. Every word is put together and taken apart with shifts,
// so the code gives the same bytes on either host byte order.
#include "crypto/aes32.h"

#include <cstdio>

#if defined(__GNUC__) || defined(__clang__)
#define AES32_INLINE inline __attribute__((always_inline))
#else
#define AES32_INLINE inline
#endif

namespace {

// FIPS-197 S-box: S[x] = affine transform of x^-1 in GF(2^8).
constexpr std::uint8_t Sbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// Round-constant words: x^(i-1) in GF(2^8) in the most significant byte.
constexpr std::uint32_t Rcon[10] = {
    0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
    0x20000000, 0x40000000, 0x80000000, 0x1b000000, 0x36000000,
};

// What the compiler needs to build the tables: the inverse S-box and
// products in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
struct InvBox {
    std::uint8_t v[256];
};
constexpr InvBox make_inv_box()
{
    InvBox ib{};
    for (int x = 0; x < 256; ++x) ib.v[Sbox[x]] = static_cast<std::uint8_t>(x);
    return ib;
}
constexpr InvBox InvSbox = make_inv_box();

constexpr std::uint32_t gmul(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t p = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & 1) p ^= a;
        a = (a << 1) ^ ((a & 0x80) ? 0x11b : 0);
        b >>= 1;
    }
    return p;
}
constexpr std::uint32_t word(std::uint32_t b3, std::uint32_t b2, std::uint32_t b1, std::uint32_t b0)
{
    return b3 << 24 | b2 << 16 | b1 << 8 | b0;
}
constexpr std::uint32_t ror(std::uint32_t w, int n) { return w >> n | w << (32 - n); }

constexpr std::uint32_t te0(int x) { return word(gmul(Sbox[x], 2), Sbox[x], Sbox[x], gmul(Sbox[x], 3)); }
constexpr std::uint32_t te1(int x) { return ror(te0(x), 8); }
constexpr std::uint32_t te2(int x) { return ror(te0(x), 16); }
constexpr std::uint32_t te3(int x) { return ror(te0(x), 24); }
constexpr std::uint32_t te4(int x) { return word(Sbox[x], Sbox[x], Sbox[x], Sbox[x]); }
constexpr std::uint32_t td0(int x)
{
    const std::uint32_t i = InvSbox.v[x];
    return word(gmul(i, 0x0e), gmul(i, 0x09), gmul(i, 0x0d), gmul(i, 0x0b));
}
constexpr std::uint32_t td1(int x) { return ror(td0(x), 8); }
constexpr std::uint32_t td2(int x) { return ror(td0(x), 16); }
constexpr std::uint32_t td3(int x) { return ror(td0(x), 24); }
constexpr std::uint32_t td4(int x) { return word(InvSbox.v[x], InvSbox.v[x], InvSbox.v[x], InvSbox.v[x]); }

} // namespace

// The exported tables: f(0), f(1), ..., f(255) for each generator f above.
#define AES32_T4(f, i) f(i), f(i + 1), f(i + 2), f(i + 3)
#define AES32_T16(f, i) AES32_T4(f, i), AES32_T4(f, i + 4), AES32_T4(f, i + 8), AES32_T4(f, i + 12)
#define AES32_T64(f, i) AES32_T16(f, i), AES32_T16(f, i + 16), AES32_T16(f, i + 32), AES32_T16(f, i + 48)
#define AES32_T256(f) AES32_T64(f, 0), AES32_T64(f, 64), AES32_T64(f, 128), AES32_T64(f, 192)

const std::uint32_t Te0[256] = {AES32_T256(te0)};
const std::uint32_t Te1[256] = {AES32_T256(te1)};
const std::uint32_t Te2[256] = {AES32_T256(te2)};
const std::uint32_t Te3[256] = {AES32_T256(te3)};
const std::uint32_t Te4[256] = {AES32_T256(te4)};
const std::uint32_t Td0[256] = {AES32_T256(td0)};
const std::uint32_t Td1[256] = {AES32_T256(td1)};
const std::uint32_t Td2[256] = {AES32_T256(td2)};
const std::uint32_t Td3[256] = {AES32_T256(td3)};
const std::uint32_t Td4[256] = {AES32_T256(td4)};

namespace {

constexpr std::uint32_t b3(std::uint32_t v) { return v >> 24; }
constexpr std::uint32_t b2(std::uint32_t v) { return (v >> 16) & 0xff; }
constexpr std::uint32_t b1(std::uint32_t v) { return (v >> 8) & 0xff; }
constexpr std::uint32_t b0(std::uint32_t v) { return v & 0xff; }

// The round bodies, inlined into the block ciphers and wrapped by the
// exported single-round routines, so the round math exists once.
AES32_INLINE void enc_round(std::uint32_t* s, const std::uint32_t* k)
{
    const std::uint32_t t0 = Te0[b3(s[0])] ^ Te1[b2(s[1])] ^ Te2[b1(s[2])] ^ Te3[b0(s[3])] ^ k[0];
    const std::uint32_t t1 = Te0[b3(s[1])] ^ Te1[b2(s[2])] ^ Te2[b1(s[3])] ^ Te3[b0(s[0])] ^ k[1];
    const std::uint32_t t2 = Te0[b3(s[2])] ^ Te1[b2(s[3])] ^ Te2[b1(s[0])] ^ Te3[b0(s[1])] ^ k[2];
    const std::uint32_t t3 = Te0[b3(s[3])] ^ Te1[b2(s[0])] ^ Te2[b1(s[1])] ^ Te3[b0(s[2])] ^ k[3];
    s[0] = t0;
    s[1] = t1;
    s[2] = t2;
    s[3] = t3;
}

AES32_INLINE void eqinv_round(std::uint32_t* s, const std::uint32_t* k)
{
    const std::uint32_t t0 = Td0[b3(s[0])] ^ Td1[b2(s[3])] ^ Td2[b1(s[2])] ^ Td3[b0(s[1])] ^ k[0];
    const std::uint32_t t1 = Td0[b3(s[1])] ^ Td1[b2(s[0])] ^ Td2[b1(s[3])] ^ Td3[b0(s[2])] ^ k[1];
    const std::uint32_t t2 = Td0[b3(s[2])] ^ Td1[b2(s[1])] ^ Td2[b1(s[0])] ^ Td3[b0(s[3])] ^ k[2];
    const std::uint32_t t3 = Td0[b3(s[3])] ^ Td1[b2(s[2])] ^ Td2[b1(s[1])] ^ Td3[b0(s[0])] ^ k[3];
    s[0] = t0;
    s[1] = t1;
    s[2] = t2;
    s[3] = t3;
}

AES32_INLINE void pack(const std::uint8_t* in, std::uint32_t* s)
{
    s[0] = std::uint32_t{in[0]} << 24 | std::uint32_t{in[1]} << 16 | std::uint32_t{in[2]} << 8 | in[3];
    s[1] = std::uint32_t{in[4]} << 24 | std::uint32_t{in[5]} << 16 | std::uint32_t{in[6]} << 8 | in[7];
    s[2] = std::uint32_t{in[8]} << 24 | std::uint32_t{in[9]} << 16 | std::uint32_t{in[10]} << 8 | in[11];
    s[3] = std::uint32_t{in[12]} << 24 | std::uint32_t{in[13]} << 16 | std::uint32_t{in[14]} << 8 | in[15];
}

AES32_INLINE void unpack(const std::uint32_t* s, std::uint8_t* out)
{
    for (int c = 0; c < 4; ++c) {
        out[4 * c] = static_cast<std::uint8_t>(b3(s[c]));
        out[4 * c + 1] = static_cast<std::uint8_t>(b2(s[c]));
        out[4 * c + 2] = static_cast<std::uint8_t>(b1(s[c]));
        out[4 * c + 3] = static_cast<std::uint8_t>(b0(s[c]));
    }
}

} // namespace

void byte2state(const std::uint8_t* in, std::uint32_t* state) { pack(in, state); }

void state2byte(const std::uint32_t* state, std::uint8_t* out) { unpack(state, out); }

void AES32_round(std::uint32_t* state, const std::uint32_t* rk) { enc_round(state, rk); }

void AES32_EqInv_round(std::uint32_t* state, const std::uint32_t* rk) { eqinv_round(state, rk); }

void AES32_Encrypt(const std::uint8_t* in, const std::uint32_t rk[11][4], std::uint8_t* out)
{
    std::uint32_t s[4];
    pack(in, s);
    s[0] ^= rk[0][0];
    s[1] ^= rk[0][1];
    s[2] ^= rk[0][2];
    s[3] ^= rk[0][3];
    for (int r = 1; r <= 9; ++r) enc_round(s, rk[r]);
    // Last round: SubBytes, ShiftRows, AddRoundKey (no MixColumns).
    const std::uint32_t u[4] = {
        (Te4[b3(s[0])] & 0xff000000) ^ (Te4[b2(s[1])] & 0x00ff0000) ^ (Te4[b1(s[2])] & 0x0000ff00) ^
            (Te4[b0(s[3])] & 0x000000ff) ^ rk[10][0],
        (Te4[b3(s[1])] & 0xff000000) ^ (Te4[b2(s[2])] & 0x00ff0000) ^ (Te4[b1(s[3])] & 0x0000ff00) ^
            (Te4[b0(s[0])] & 0x000000ff) ^ rk[10][1],
        (Te4[b3(s[2])] & 0xff000000) ^ (Te4[b2(s[3])] & 0x00ff0000) ^ (Te4[b1(s[0])] & 0x0000ff00) ^
            (Te4[b0(s[1])] & 0x000000ff) ^ rk[10][2],
        (Te4[b3(s[3])] & 0xff000000) ^ (Te4[b2(s[0])] & 0x00ff0000) ^ (Te4[b1(s[1])] & 0x0000ff00) ^
            (Te4[b0(s[2])] & 0x000000ff) ^ rk[10][3],
    };
    unpack(u, out);
}

void AES32_EqDecrypt(const std::uint8_t* in, const std::uint32_t dk[11][4], std::uint8_t* out)
{
    std::uint32_t s[4];
    pack(in, s);
    s[0] ^= dk[10][0];
    s[1] ^= dk[10][1];
    s[2] ^= dk[10][2];
    s[3] ^= dk[10][3];
    for (int r = 9; r >= 1; --r) eqinv_round(s, dk[r]);
    // Last round: InvSubBytes, InvShiftRows, AddRoundKey (no InvMixColumns).
    const std::uint32_t u[4] = {
        (Td4[b3(s[0])] & 0xff000000) ^ (Td4[b2(s[3])] & 0x00ff0000) ^ (Td4[b1(s[2])] & 0x0000ff00) ^
            (Td4[b0(s[1])] & 0x000000ff) ^ dk[0][0],
        (Td4[b3(s[1])] & 0xff000000) ^ (Td4[b2(s[0])] & 0x00ff0000) ^ (Td4[b1(s[3])] & 0x0000ff00) ^
            (Td4[b0(s[2])] & 0x000000ff) ^ dk[0][1],
        (Td4[b3(s[2])] & 0xff000000) ^ (Td4[b2(s[1])] & 0x00ff0000) ^ (Td4[b1(s[0])] & 0x0000ff00) ^
            (Td4[b0(s[3])] & 0x000000ff) ^ dk[0][2],
        (Td4[b3(s[3])] & 0xff000000) ^ (Td4[b2(s[2])] & 0x00ff0000) ^ (Td4[b1(s[1])] & 0x0000ff00) ^
            (Td4[b0(s[0])] & 0x000000ff) ^ dk[0][3],
    };
    unpack(u, out);
}

std::uint32_t RotWord(std::uint32_t w) { return w << 8 | w >> 24; }

std::uint32_t SubWord(std::uint32_t w)
{
    return std::uint32_t{Sbox[b3(w)]} << 24 | std::uint32_t{Sbox[b2(w)]} << 16 |
           std::uint32_t{Sbox[b1(w)]} << 8 | std::uint32_t{Sbox[b0(w)]};
}

void AES32_Enc_KeySchedule(const std::uint8_t* key, std::uint32_t rk[11][4])
{
    pack(key, rk[0]);
    for (int r = 1; r <= 10; ++r) {
        std::uint32_t t = rk[r - 1][3];
        for (int i = 0; i < 4; ++i) {
            if (i == 0) t = SubWord(RotWord(t)) ^ Rcon[r - 1];
            rk[r][i] = rk[r - 1][i] ^ t;
            t = rk[r][i];
        }
    }
}

void AES32_Dec_KeySchedule(const std::uint8_t* key, std::uint32_t dk[11][4])
{
    AES32_Enc_KeySchedule(key, dk);
    // Td[S(x)] undoes the inverse S-box inside each Td entry, leaving
    // InvMixColumns of the round-key column.
    for (int r = 1; r <= 9; ++r) {
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t w = dk[r][i];
            dk[r][i] = Td0[Te4[b3(w)] & 0xff] ^ Td1[Te4[b2(w)] & 0xff] ^ Td2[Te4[b1(w)] & 0xff] ^
                       Td3[Te4[b0(w)] & 0xff];
        }
    }
}

void AES32_print_state(const std::uint32_t* state)
{
    for (int c = 0; c < 4; ++c) std::printf("%08x ", static_cast<unsigned>(state[c]));
    std::printf("\n");
}
