// Fuzz target: AES_dec and mesh_text_in_place on arbitrary bytes.
//
// The first byte chooses how the rest becomes a mesh file:
//  - even: the rest is the file itself, arbitrary ciphertext of any length;
//  - odd: the rest, cut to whole blocks, is plaintext that is encrypted here
//    block by block under the build's key, so the fuzzer controls what each
//    block decrypts to (zero bytes, markers, padding errors).
// Either way the file is copied to a heap buffer of exactly its size (so
// AddressSanitizer catches any read past it), and the result must equal the
// plaintext that follows from the file format, decrypted independently with
// the byte-oriented AES: non-final blocks up to their first zero byte, the
// last block up to its 0x80 marker (its last nonzero byte, byte 0 never taken
// for zero) or nothing plus exactly one "Padding error: 0x80 not found." line
// on standard output. A length of 0 or one that is not a multiple of 16 gives
// an empty result and prints nothing. The result is never longer than the file.
// The same file is then decrypted in its own buffer by mesh_text_in_place,
// which must leave that plaintext cut at its first zero byte.
#include "crypto/aes8.h"
#include "crypto/payload.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#ifndef TESSALY_MESH_KEY_HEX
#error "TESSALY_MESH_KEY_HEX (the build's mesh key as 32 hex digits) must be defined by the build"
#endif

namespace {

const char padding_line[] = "Padding error: 0x80 not found.\n";

void fail(const char* what)
{
    std::fprintf(stderr, "aes_dec_fuzz: %s\n", what);
    std::abort();
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    fail("TESSALY_MESH_KEY_HEX is not hexadecimal");
    return 0;
}

// Encryption round keys of the build's key, in the byte form of aes8.
struct KeyState {
    std::uint8_t rk[11][16];
};

const KeyState& key_state()
{
    static const KeyState state = [] {
        const char* hex = TESSALY_MESH_KEY_HEX;
        if (std::strlen(hex) != 32) fail("TESSALY_MESH_KEY_HEX is not 32 hex digits");
        std::uint8_t key[16];
        for (int i = 0; i < 16; ++i)
            key[i] = static_cast<std::uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
        KeyState s;
        AES8_KeySchedule(key, s.rk);
        return s;
    }();
    return state;
}

// Standard output goes into a pipe whose read end is drained around every
// run, so the lines one call of AES_dec writes are seen exactly.
int capture_fd()
{
    static const int fd = [] {
        int p[2];
        if (pipe(p) != 0) fail("pipe");
        std::fflush(stdout);
        if (dup2(p[1], STDOUT_FILENO) < 0) fail("dup2");
        close(p[1]);
        fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
        return p[0];
    }();
    return fd;
}

std::string drain(int fd)
{
    std::fflush(stdout);
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// The plaintext a file with these decrypted blocks stands for, and whether
// its last block lacks the marker.
std::string expected_plaintext(const std::uint8_t* plain, std::size_t blocks, bool& padding_error)
{
    std::string out;
    padding_error = false;
    for (std::size_t j = 0; j + 1 < blocks; ++j) {
        const std::uint8_t* b = plain + 16 * j;
        std::size_t n = 0;
        while (n < 16 && b[n] != 0) ++n;
        out.append(reinterpret_cast<const char*>(b), n);
    }
    const std::uint8_t* last = plain + 16 * (blocks - 1);
    int i = 15;
    while (i > 0 && last[i] == 0) --i;
    if (last[i] == 0x80) {
        out.append(reinterpret_cast<const char*>(last), static_cast<std::size_t>(i));
    } else {
        padding_error = true;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int out_fd = capture_fd();
    const KeyState& ks = key_state();
    if (size == 0) return 0;
    const bool from_plaintext = (data[0] & 1) != 0;
    ++data;
    --size;

    std::size_t length = size;
    std::unique_ptr<std::uint8_t[]> plain;
    if (from_plaintext) length -= length % 16;
    // Exactly length bytes: any read past the file is a heap overflow.
    std::unique_ptr<std::uint8_t[]> file(new std::uint8_t[length]);
    if (from_plaintext) {
        plain.reset(new std::uint8_t[length]);
        std::memcpy(plain.get(), data, length);
        for (std::size_t j = 0; j < length; j += 16) AES8_Encrypt(plain.get() + j, ks.rk, file.get() + j);
    } else {
        std::memcpy(file.get(), data, length);
    }

    drain(out_fd);
    const std::string result = AES_dec(file.get(), length);
    const std::string printed = drain(out_fd);

    if (result.size() > length) fail("result longer than the file");
    std::string expected;
    bool padding_error = false;
    if (length != 0 && length % 16 == 0) {
        if (!from_plaintext) {
            plain.reset(new std::uint8_t[length]);
            for (std::size_t j = 0; j < length; j += 16) AES8_Decrypt(file.get() + j, ks.rk, plain.get() + j);
        }
        expected = expected_plaintext(plain.get(), length / 16, padding_error);
    }
    if (result != expected) fail("plaintext differs from the file format's");
    if (printed != (padding_error ? std::string(padding_line) : std::string()))
        fail("wrong output on standard output");

    // The loader's routine, in the file's own buffer: the same text cut at
    // its first zero byte, the same line printed.
    const std::uint64_t n = mesh_text_in_place(file.get(), length);
    if (drain(out_fd) != printed) fail("in place: wrong output on standard output");
    if (n > length) fail("in place: text longer than the file");
    if (std::string(reinterpret_cast<const char*>(file.get()), static_cast<std::size_t>(n)) !=
        expected.substr(0, expected.find('\0')))
        fail("in place: text differs from the file format's, cut at its first zero byte");
    return 0;
}
