// Word-oriented AES-128 (FIPS-197) with lookup tables.
//
// The ten T-tables are computed by the compiler from the S-box (sbox.h), so they
// sit in the binary's read-only data from load time on and nothing runs at
// load to fill them. Every word is put together and taken apart with shifts,
// so the code gives the same bytes on either host byte order.
#include "crypto/aes32.h"

#include <cstdio>

#include "crypto/sbox.h"

#if defined(__GNUC__) || defined(__clang__)
#define AES32_INLINE inline __attribute__((always_inline))
#else
#define AES32_INLINE inline
#endif

namespace {

// Round-constant words: x^(i-1) in GF(2^8) in the most significant byte.
constexpr std::uint32_t Rcon[10] = {
    0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
    0x20000000, 0x40000000, 0x80000000, 0x1b000000, 0x36000000,
};

// What the compiler needs to build the tables beside the S-boxes: products
// in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.

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
