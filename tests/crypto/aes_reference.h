// What the two AES tests hold the ciphers against, written once and built
// from the definitions alone, apart from the library's code: hex text as
// bytes, the product in GF(2^8), the S-box, and the FIPS-197 round table.
#ifndef TESSALY_TESTS_CRYPTO_AES_REFERENCE_H
#define TESSALY_TESTS_CRYPTO_AES_REFERENCE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
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

// The FIPS-197 Appendix B table (vectors/aes128-fips197-rounds.txt): input,
// output, and one row of hex text per round (start, after SubBytes, after
// ShiftRows, after MixColumns, round key); "-" where the table has no value.
struct RoundRow {
    std::string start, sub, shift, mix, key;
};
struct Fips197Rounds {
    std::string input, output;
    std::vector<RoundRow> row;
};

inline Fips197Rounds read_fips197_rounds(const std::string& path)
{
    Fips197Rounds t;
    std::ifstream f(path);
    EXPECT_TRUE(f) << "cannot open " << path;
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string tag, v[5];
        if (!(in >> tag) || tag[0] == '#') continue;
        if (tag == "input") {
            in >> v[0];
            t.input = v[0];
            continue;
        }
        if (tag == "output") {
            in >> v[0];
            t.output = v[0];
            continue;
        }
        for (auto& x : v) in >> x;
        EXPECT_EQ(std::stoul(tag), t.row.size()) << line;
        t.row.push_back({v[0], v[1], v[2], v[3], v[4]});
    }
    EXPECT_EQ(t.row.size(), 11u);
    return t;
}

#endif
