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
constexpr std::uint64_t chunk_bytes = 16 * chunk_blocks;

// Bytes before the first zero byte among the first n of p, n if none.
std::size_t leading_nonzero(const std::uint8_t* p, std::size_t n)
{
    const void* zero = std::memchr(p, 0, n);
    return zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - p) : n;
}

// Zeros n bytes at p. A memset of memory that is never read again is a dead
// store the optimiser may drop, so an empty asm statement that is handed p
// and clobbers memory follows it: the compiler must assume the zeros are
// read and keep them (without GNU asm, each byte is stored through a
// volatile pointer instead).
void wipe(void* p, std::size_t n) noexcept
{
#if defined(__GNUC__) || defined(__clang__)
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    volatile std::uint8_t* v = static_cast<volatile std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) v[i] = 0;
#endif
}

// The decryption round keys of the built-in key, made from the key's two
// halves; the joined key is wiped at once, the round keys when they leave
// scope, on every path.
struct MeshRoundKeys {
    std::uint32_t dk[11][4];
    MeshRoundKeys() noexcept
    {
        std::uint8_t key[16];
        mesh_key_join(key);
        AES32_Dec_KeySchedule(key, dk);
        wipe(key, sizeof key);
    }
    MeshRoundKeys(const MeshRoundKeys&) = delete;
    MeshRoundKeys& operator=(const MeshRoundKeys&) = delete;
    ~MeshRoundKeys() { wipe(dk, sizeof dk); }
};

// The decryption of a whole mesh file (length a nonzero multiple of 16),
// shared by AES_dec and mesh_text_in_place. The blocks but the last are
// decrypted a chunk at a time, with no block waiting for the one before it,
// into chunk_at(start) (a buffer of chunk_bytes for the chunk that starts at
// byte start of data); the chunk is then searched for zero bytes and handed
// to emit whole, or, when it holds one, block by block, each up to its first
// zero byte. Text has no zero byte, so a document's chunks always go whole.
// The last block is decrypted into last; returns its pt_length.
template <typename ChunkAt, typename Emit>
std::int32_t decrypt_file(const std::uint8_t* data, std::uint64_t length, const MeshRoundKeys& keys,
                          ChunkAt chunk_at, Emit emit, std::uint8_t last[16])
{
    const std::uint64_t data_end = length - 16;
    for (std::uint64_t start = 0; start < data_end; start += chunk_bytes) {
        const std::size_t size = static_cast<std::size_t>(std::min(data_end - start, chunk_bytes));
        std::uint8_t* chunk = chunk_at(start);
        for (std::size_t at = 0; at < size; at += 16) AES32_EqDecrypt(data + start + at, keys.dk, chunk + at);
        if (std::memchr(chunk, 0, size) == nullptr) {
            emit(chunk, size);
            continue;
        }
        for (std::size_t at = 0; at < size; at += 16) emit(chunk + at, leading_nonzero(chunk + at, 16));
    }
    AES32_EqDecrypt(data + data_end, keys.dk, last);
    return pt_length(last);
}

} // namespace

std::string AES_dec(const std::uint8_t* data, std::uint64_t length)
{
    std::string plain;
    // No blocks, or a partial one: nothing to decrypt. An empty input has no
    // last block, so it is handled here too and data is never touched.
    if (length == 0 || length % 16 != 0) return plain;
    // The plaintext is never longer than the file: room for all of it is
    // reserved once (not written, so no page is touched twice). The chunks
    // are decrypted into a local buffer that stays in the L1 cache and
    // appended from there.
    plain.reserve(length);
    prefer_huge_pages(&plain[0], length);
    const MeshRoundKeys keys;
    std::uint8_t chunk[chunk_bytes];
    std::uint8_t last[16];
    const std::int32_t n = decrypt_file(
        data, length, keys, [&](std::uint64_t) { return chunk; },
        [&](const std::uint8_t* p, std::size_t k) { plain.append(reinterpret_cast<const char*>(p), k); },
        last);
    if (n > 0) plain.append(reinterpret_cast<const char*>(last), static_cast<std::size_t>(n));
    return plain;
}

std::uint64_t mesh_text_in_place(std::uint8_t* data, std::uint64_t length)
{
    if (length == 0 || length % 16 != 0) return 0;
    // Each chunk is decrypted where it stands (the block cipher reads its
    // whole block before writing it) and moved down to the end of the text
    // so far, which never lies past the chunk's start: a chunk of text
    // without zero bytes in a file without them does not move at all.
    const MeshRoundKeys keys;
    std::uint64_t end = 0;
    std::uint8_t last[16];
    const std::int32_t n = decrypt_file(
        data, length, keys, [&](std::uint64_t start) { return data + start; },
        [&](const std::uint8_t* p, std::size_t k) {
            if (p != data + end) std::memmove(data + end, p, k);
            end += k;
        },
        last);
    // The last block's data, up to the first zero byte among it.
    if (n > 0) {
        const std::size_t k = leading_nonzero(last, static_cast<std::size_t>(n));
        std::memcpy(data + end, last, k);
        end += k;
    }
    return end;
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
