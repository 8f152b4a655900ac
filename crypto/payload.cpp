// Encrypted mesh files: ECB decryption under the built-in key, and the 0x80
// padding of their last block.
#include "crypto/payload.h"

#include <cstdio>
#include <cstring>

#include "crypto/aes32.h"
#include "crypto/mesh_key.h"

namespace {

// Blocks decrypted before their zero bytes are looked for: 4 KiB, so that the
// chunk just written is still in the L1 cache when it is searched.
constexpr std::uint64_t chunk_blocks = 256;

// Bytes before the first zero byte of a decrypted block, 16 if none.
std::size_t leading_nonzero(const char* block) {
    const void* zero = std::memchr(block, 0, 16);
    return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - block) : 16;
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
    // The plaintext is never longer than the file: size the result once and
    // cut it to the bytes kept at the end. Every block but the last is
    // decrypted straight into its own place, as many as a chunk at a time,
    // so that no block waits for the one before it; the chunk is then
    // searched for zero bytes. A block holding one keeps only the bytes
    // before it, and everything after is moved down over the rest; text
    // has no zero byte, so a document's blocks never move.
    plain.resize(length);
    char* const dst = &plain[0];
    std::uint64_t used = 0;  // bytes kept so far, at the start of dst
    const std::uint64_t data_end = length - 16;  // the last block is decrypted apart
    for (std::uint64_t start = 0; start < data_end; start += 16 * chunk_blocks) {
        const std::uint64_t end = data_end - start > 16 * chunk_blocks ? start + 16 * chunk_blocks : data_end;
        for (std::uint64_t at = start; at < end; at += 16)
            AES32_EqDecrypt(data + at, dk, reinterpret_cast<std::uint8_t*>(dst + at));
        const std::size_t size = static_cast<std::size_t>(end - start);
        if (std::memchr(dst + start, 0, size) == nullptr) {
            if (used != start) std::memmove(dst + used, dst + start, size);
            used += size;
            continue;
        }
        // A zero byte in this chunk: block by block. Each block moves down to
        // the end of what is kept (never past its own place, so no later
        // block is overwritten before it is read).
        for (std::uint64_t at = start; at < end; at += 16) {
            const std::size_t n = leading_nonzero(dst + at);
            if (used != at) std::memmove(dst + used, dst + at, n);
            used += n;
        }
    }
    std::uint8_t out[16];
    AES32_EqDecrypt(data + data_end, dk, out);
    const std::int32_t n = pt_length(out);
    if (n > 0) {
        std::memcpy(dst + used, out, static_cast<std::size_t>(n));
        used += static_cast<std::uint64_t>(n);
    }
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
