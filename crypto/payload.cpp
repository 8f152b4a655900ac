// Encrypted mesh files: ECB decryption under the built-in key, and the 0x80
// padding of their last block.
#include "crypto/payload.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/aes32.h"
#include "crypto/huge_pages.h"
#include "crypto/mesh_key.h"

namespace {

// Blocks decrypted before their zero bytes are looked for: 4 KiB, so that the
// chunk just written is still in the L1 cache when it is searched.
constexpr std::uint64_t chunk_blocks = 256;

// Bytes before the first zero byte of a decrypted block, 16 if none.
std::size_t leading_nonzero(const std::uint8_t* block)
{
    const void* zero = std::memchr(block, 0, 16);
    return zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - block) : 16;
}

} // namespace

std::string AES_dec(const std::uint8_t* data, std::uint64_t length)
{
    std::uint8_t key[16];
    mesh_key_join(key);
    std::string plain;
    // No blocks, or a partial one: nothing to decrypt. An empty input has no
    // last block, so it is handled here too and data is never touched.
    if (length == 0 || length % 16 != 0) return plain;

    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(key, dk);
    // The plaintext is never longer than the file: room for all of it is
    // reserved once (not written, so no page is touched twice). The blocks
    // but the last are decrypted a chunk at a time into a local buffer that
    // stays in the L1 cache, with no block waiting for the one before it;
    // the chunk is then searched for zero bytes and appended whole, or, when
    // it holds one, block by block, each up to its first zero byte. Text has
    // no zero byte, so a document's chunks are always appended whole.
    plain.reserve(length);
    prefer_huge_pages(&plain[0], length);
    std::uint8_t chunk[16 * chunk_blocks];
    const std::uint64_t data_end = length - 16; // the last block is decrypted apart
    for (std::uint64_t start = 0; start < data_end; start += sizeof chunk) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(data_end - start, sizeof chunk));
        for (std::size_t at = 0; at < size; at += 16) AES32_EqDecrypt(data + start + at, dk, chunk + at);
        if (std::memchr(chunk, 0, size) == nullptr) {
            plain.append(reinterpret_cast<const char*>(chunk), size);
            continue;
        }
        for (std::size_t at = 0; at < size; at += 16)
            plain.append(reinterpret_cast<const char*>(chunk + at), leading_nonzero(chunk + at));
    }
    std::uint8_t out[16];
    AES32_EqDecrypt(data + data_end, dk, out);
    const std::int32_t n = pt_length(out);
    if (n > 0) plain.append(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
    return plain;
}

std::int32_t pt_length(const std::uint8_t* block)
{
    int i = 15;
    while (i > 0 && block[i] == 0) --i;
    if (block[i] == 0x80) return i;
    std::fputs("Padding error: 0x80 not found.\n", stdout);
    std::fflush(stdout);
    return -1;
}

void padding(const std::uint8_t* src, std::int32_t count, std::uint8_t* dst)
{
    for (std::int32_t i = 0; i < count; ++i) dst[i] = src[i];
    dst[count] = 0x80;
    for (std::int32_t i = count + 1; i < 16; ++i) dst[i] = 0;
}
