// Encrypted mesh files: ECB decryption under the built-in key, and the 0x80
// padding of their last block.
#include "crypto/payload.h"

#include <cstdio>
#include <cstring>

#include "crypto/aes32.h"
#include "crypto/mesh_key.h"

namespace {

// Joins the two halves of the built-in key (see mesh_key.h).
void build_key(std::uint8_t key[16]) {
    for (int i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(mesh_key_mask[i] ^ mesh_key_masked[i]);
}

}  // namespace

std::string AES_dec(const std::uint8_t* data, std::uint64_t length) {
    std::uint8_t key[16];
    build_key(key);
    std::string plain;
    // No blocks, or a partial one: nothing to decrypt. An empty input has no
    // last block, so it is handled here too and data is never touched.
    if (length == 0 || length % 16 != 0) return plain;

    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(key, dk);
    plain.reserve(length);
    const std::uint64_t blocks = length / 16;
    std::uint8_t in[16], out[16];
    for (std::uint64_t j = 0; j + 1 < blocks; ++j) {
        std::memcpy(in, data + 16 * j, 16);
        AES32_EqDecrypt(in, dk, out);
        // A zero byte ends this block's contribution.
        const void* zero = std::memchr(out, 0, 16);
        const std::size_t n = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - out) : 16;
        plain.append(reinterpret_cast<const char*>(out), n);
    }
    std::memcpy(in, data + 16 * (blocks - 1), 16);
    AES32_EqDecrypt(in, dk, out);
    const std::int32_t n = pt_length(out);
    if (n > 0) plain.append(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
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
