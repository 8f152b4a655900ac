// What the two AES tests hold the ciphers against, written once and built
// from the definitions alone, apart from the library's code: hex text as
// bytes, the product in GF(2^8) and the S-box.
#ifndef TESSALY_TESTS_CRYPTO_AES_REFERENCE_H
#define TESSALY_TESTS_CRYPTO_AES_REFERENCE_H

#include <cstdint>
#include <string>
#include <vector>

// The bytes of hex text, two digits each ("00ff" -> {0x00, 0xff}).
inline std::vector<std::uint8_t> hex(const std::string& h)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return out;
}

// a·b in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1, by shift-and-add and then
// reduction, independent of GF_xtime (a and b below 256).
inline std::uint8_t gmul(unsigned a, unsigned b)
{
    unsigned p = 0;
    for (int i = 0; i < 8; i++)
        if (b & (1u << i)) p ^= a << i;
    for (int i = 14; i >= 8; i--)
        if (p & (1u << i)) p ^= 0x11bu << (i - 8);
    return static_cast<std::uint8_t>(p);
}

// The S-box from its definition: the inverse in GF(2^8) (x^254; 0 for 0),
// then the affine map (the inverse XOR its rotations left by 1 to 4, XOR 0x63).
inline std::uint8_t sbox_ref(std::uint8_t x)
{
    unsigned inv = 1;
    for (int k = 0; k < 254; k++) inv = gmul(inv, x);
    if (x == 0) inv = 0;
    unsigned r = inv ^ 0x63;
    for (int k = 1; k <= 4; k++) r ^= ((inv << k) | (inv >> (8 - k))) & 0xff;
    return static_cast<std::uint8_t>(r);
}

#endif
