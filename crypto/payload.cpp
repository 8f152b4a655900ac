// Encrypted mesh files: ECB decryption under the built-in key, and the 0x80
// padding of their last block.
#include "crypto/payload.h"

#include <cstdio>
#include <cstring>

#include "crypto/aes32.h"
#include "crypto/mesh_key.h"

namespace {

// Bytes before the first zero byte of a decrypted block, 16 if none. Text
// blocks hold no zero, so that case is tested first, eight bytes at a time
// (the test for a zero byte does not depend on the host's byte order).
std::size_t leading_nonzero(const std::uint8_t* block) {
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    std::uint64_t a, b;
    std::memcpy(&a, block, 8);
    std::memcpy(&b, block + 8, 8);
    if ((((a - ones) & ~a) | ((b - ones) & ~b)) & highs) {
        std::size_t n = 0;
        while (block[n] != 0) ++n;
        return n;
    }
    return 16;
}

}  // namespace

std::string AES_dec(const std::uint8_t* data, std::uint64_t length) {
    std::uint8_t key[16];
    mesh_key_join(key);
    std::string plain;
    // No blocks, or a partial one: nothing to decrypt. An empty input has no
    // last block, so it is handled here too and data is never touched.
    if (length == 0 || length % 16 != 0) return plain;

    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(key, dk);
    // The plaintext is never longer than the file: size the result once, let
    // every block write its 16 bytes at the current end, advance by the
    // bytes it contributes, and cut the result to that length at the end
    // (the same bytes as appending each contribution, without the copies).
    plain.resize(length);
    char* const dst = &plain[0];
    std::uint64_t used = 0;
    const std::uint64_t blocks = length / 16;
    // Blocks decrypt into one local block, so consecutive blocks overlap in
    // the processor; only the copy waits for the previous block's length.
    std::uint8_t in[16], out[16];
    for (std::uint64_t j = 0; j + 1 < blocks; ++j) {
        std::memcpy(in, data + 16 * j, 16);
        AES32_EqDecrypt(in, dk, out);
        std::memcpy(dst + used, out, 16);
        used += leading_nonzero(out);  // a zero byte ends the block's contribution
    }
    std::memcpy(in, data + 16 * (blocks - 1), 16);
    AES32_EqDecrypt(in, dk, out);
    const std::int32_t n = pt_length(out);
    std::memcpy(dst + used, out, 16);
    if (n > 0) used += static_cast<std::uint64_t>(n);
    plain.resize(used);
    return plain;
}

std::int32_t pt_length(const std::uint8_t* block) {
    int i = 15;
    while (i > 0 && block[i] == 0) --i;
    if (block[i] == 0x80) return i;
    std::fputs("Padding error: 0x80 not found.\n", stdout);
    std::fflush(stdout);
    return -1;
}

void padding(const std::uint8_t* src, std::int32_t count, std::uint8_t* dst) {
    for (std::int32_t i = 0; i < count; ++i) dst[i] = src[i];
    dst[count] = 0x80;
    for (std::int32_t i = count + 1; i < 16; ++i) dst[i] = 0;
}
