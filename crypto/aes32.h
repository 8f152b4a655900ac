// Word-oriented AES-128 (FIPS-197) with lookup tables.
//
// Blocks are 16 bytes in FIPS-197 order (byte 4c + r is row r of column c).
// A state is four 32-bit words, word c holding column c big-endian (row 0 in
// bits 31..24). Round-key arrays are 11 rows of 4 words, row r word c being
// the key-schedule word w[4r + c]. Encryption round keys come from
// AES32_Enc_KeySchedule; decryption round keys for the equivalent inverse
// cipher come from AES32_Dec_KeySchedule and are not interchangeable with
// them. Every buffer belongs to the caller; no routine allocates, fails or
// checks its pointers. The block ciphers read their whole input before
// writing, so input and output may be the same buffer. All routines are
// reentrant.
//
// Its names are part of the library's exports, listed in build-support/exports/library.txt.
#ifndef TESSALY_CRYPTO_AES32_H
#define TESSALY_CRYPTO_AES32_H

#include <cstdint>

#include "crypto/tessaly_api.h"

// T-tables, entry x most significant byte first (S = S-box, IS = inverse):
// Te0 = 02·S, S, S, 03·S; Te1..Te3 = Te0 rotated right by 8, 16, 24 bits;
// Te4 = S, S, S, S. Td0 = 0e·IS, 09·IS, 0d·IS, 0b·IS; Td1..Td3 = Td0
// rotated right by 8, 16, 24 bits; Td4 = IS, IS, IS, IS.
TESSALY_API extern const std::uint32_t Te0[256];
TESSALY_API extern const std::uint32_t Te1[256];
TESSALY_API extern const std::uint32_t Te2[256];
TESSALY_API extern const std::uint32_t Te3[256];
TESSALY_API extern const std::uint32_t Te4[256];
TESSALY_API extern const std::uint32_t Td0[256];
TESSALY_API extern const std::uint32_t Td1[256];
TESSALY_API extern const std::uint32_t Td2[256];
TESSALY_API extern const std::uint32_t Td3[256];
TESSALY_API extern const std::uint32_t Td4[256];

// Packs 16 bytes into a state: s[c] = in[4c]<<24 | in[4c+1]<<16 | in[4c+2]<<8 | in[4c+3].
TESSALY_API void byte2state(const std::uint8_t* in, std::uint32_t* state);
// Unpacks a state into 16 bytes, the inverse of byte2state.
TESSALY_API void state2byte(const std::uint32_t* state, std::uint8_t* out);

// One middle encryption round in place: SubBytes, ShiftRows, MixColumns,
// AddRoundKey(rk), rk being one row of 4 encryption round-key words.
TESSALY_API void AES32_round(std::uint32_t* state, const std::uint32_t* rk);
// One middle round of the equivalent inverse cipher in place, rk being one
// row of 4 decryption round-key words.
TESSALY_API void AES32_EqInv_round(std::uint32_t* state, const std::uint32_t* rk);

// Encrypts one block with encryption round keys.
TESSALY_API void AES32_Encrypt(const std::uint8_t* in, const std::uint32_t rk[11][4], std::uint8_t* out);
// Decrypts one block with decryption round keys (equivalent inverse cipher).
TESSALY_API void AES32_EqDecrypt(const std::uint8_t* in, const std::uint32_t dk[11][4], std::uint8_t* out);

// [a0, a1, a2, a3] -> [a1, a2, a3, a0], a0 the most significant byte.
TESSALY_API std::uint32_t RotWord(std::uint32_t w);
// Each byte of w replaced by its S-box value, in place.
TESSALY_API std::uint32_t SubWord(std::uint32_t w);

// FIPS-197 key expansion of a 16-byte key into all 44 words of rk.
TESSALY_API void AES32_Enc_KeySchedule(const std::uint8_t* key, std::uint32_t rk[11][4]);
// The encryption schedule with InvMixColumns applied to every word of round
// keys 1 to 9; round keys 0 and 10 unchanged, nothing reordered.
TESSALY_API void AES32_Dec_KeySchedule(const std::uint8_t* key, std::uint32_t dk[11][4]);

// Writes the four words as "%08x " each, then a newline, to standard output.
TESSALY_API void AES32_print_state(const std::uint32_t* state);

#endif
