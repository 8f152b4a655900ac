// Encrypted mesh files and their padding.
//
// A mesh file is N >= 1 blocks of 16 bytes and nothing else, each block the
// AES-128 encryption (ECB, no chaining) under the library's built-in key of
// 16 plaintext bytes. The plaintext is the mesh document (text without zero
// bytes) followed by the marker 0x80 and zero bytes up to the block boundary;
// at least one byte of padding is always added.
//
// Its names are part of the library's exports, listed in build-support/exports/library.txt.
#ifndef TESSALY_CRYPTO_PAYLOAD_H
#define TESSALY_CRYPTO_PAYLOAD_H

#include <cstdint>
#include <string>

#include "crypto/tessaly_api.h"

// Decrypts a whole mesh file held in memory (data is only read; length bytes
// of it). Returns the plaintext data:
//  - each non-final block contributes its bytes up to its first zero byte;
//  - the last block contributes pt_length of it (nothing on a padding error,
//    which also prints the padding-error line);
//  - a length of 0, or one that is not a multiple of 16, gives an empty
//    result, decrypts nothing and prints nothing.
TESSALY_API std::string AES_dec(const std::uint8_t* data, std::uint64_t length);

// The number of data bytes (0 to 15) in a decrypted last block: the index of
// its last nonzero byte, which must be the marker 0x80 (byte 0 is never tested
// for zero). Otherwise writes "Padding error: 0x80 not found." and a newline
// to standard output, flushes it, and returns -1.
TESSALY_API std::int32_t pt_length(const std::uint8_t* block);

// Builds a last plaintext block: src[0..count-1], then 0x80, then zeros up to
// byte 15. count is 0 to 15; src and dst may be the same buffer.
TESSALY_API void padding(const std::uint8_t* src, std::int32_t count, std::uint8_t* dst);

// Internal to the library (not exported): the text a mesh file hands the
// host's loader, made in the file's own buffer. Decrypts data[0..length) in
// place, block by block in file order, each block read before its output is
// written (which never lies past it), and returns the number of bytes now at
// the front of data: what AES_dec gives for the same file, cut at its first
// zero byte (only the last block's data can hold one). Prints the
// padding-error line as AES_dec does; a length of 0 or one that is not a
// multiple of 16 gives 0 and leaves data untouched.
std::uint64_t mesh_text_in_place(std::uint8_t* data, std::uint64_t length);

#endif
