// Byte-oriented AES-128 (FIPS-197), one routine per transformation.
//
// The readable reference beside the word-oriented cipher: the state is the
// 16-byte block itself (byte 4c + r is row r of column c), every step rewrites
// it in place, MixColumns and InvMixColumns use GF_xtime only, and the S-box
// and its inverse are the only tables. Round-key arrays are 11 rows of 16
// bytes: encryption round keys from AES8_KeySchedule (for AES8_Encrypt,
// AES8_Round, AES8_Decrypt, AES8_InvRound) or equivalent decryption round keys
// from AES8_EqInvKey (for AES8_EqDecrypt only). Every buffer belongs to the
// caller; nothing allocates, fails or checks its pointers. The block ciphers
// work on a local copy, so input and output may be the same buffer.
//
// Its names are part of the library's exports, listed in build-support/exports/library.txt.
#ifndef TESSALY_CRYPTO_AES8_H
#define TESSALY_CRYPTO_AES8_H

#include <cstdint>

#include "crypto/tessaly_api.h"

// b multiplied by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
TESSALY_API std::uint8_t GF_xtime(std::uint8_t b);

TESSALY_API void AES8_SubBytes(std::uint8_t* state);
TESSALY_API void AES8_InvSubBytes(std::uint8_t* state);
TESSALY_API void AES8_ShiftRows(std::uint8_t* state);
TESSALY_API void AES8_InvShiftRows(std::uint8_t* state);
TESSALY_API void AES8_MixColumns(std::uint8_t* state);
TESSALY_API void AES8_InvMixColumns(std::uint8_t* state);
// state[i] ^= rk[i] for i = 0..15.
TESSALY_API void AES8_AddRoundkey(std::uint8_t* state, const std::uint8_t* rk);

// SubBytes, ShiftRows, MixColumns, AddRoundkey(rk).
TESSALY_API void AES8_Round(std::uint8_t* state, const std::uint8_t* rk);
// InvShiftRows, InvSubBytes, AddRoundkey(rk), InvMixColumns; rk is an
// encryption round key.
TESSALY_API void AES8_InvRound(std::uint8_t* state, const std::uint8_t* rk);

// Encrypts one block with encryption round keys.
TESSALY_API void AES8_Encrypt(const std::uint8_t* in, const std::uint8_t rk[11][16], std::uint8_t* out);
// Straightforward inverse cipher, with encryption round keys.
TESSALY_API void AES8_Decrypt(const std::uint8_t* in, const std::uint8_t rk[11][16], std::uint8_t* out);
// Equivalent decryption round keys: rk copied to dk, then InvMixColumns on
// rows 1 to 9. rk and dk may be the same array.
TESSALY_API void AES8_EqInvKey(const std::uint8_t rk[11][16], std::uint8_t dk[11][16]);
// Equivalent inverse cipher, with round keys from AES8_EqInvKey.
TESSALY_API void AES8_EqDecrypt(const std::uint8_t* in, const std::uint8_t dk[11][16], std::uint8_t* out);
// Encryption round keys of a 16-byte key (AES32_Enc_KeySchedule, then state2byte).
TESSALY_API void AES8_KeySchedule(const std::uint8_t* key, std::uint8_t rk[11][16]);

// Writes the 16 bytes as "%02x " each, then a newline, to standard output.
TESSALY_API void AES8_print_state(const std::uint8_t* state);

#endif
