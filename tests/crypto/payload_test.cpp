// Mesh-file decryption, by AES_dec and in place: block contributions, the
// 0x80 padding of the last block, the padding-error line, lengths that are no
// file, round trips, and files made by the openssl command-line tool. The build's key comes from the
// environment (TESSALY_MESH_KEY, set by ctest), so this binary never holds it.
#include "crypto/payload.h"

#include <gtest/gtest.h>

#include "crypto/aes32.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>
#if defined(__unix__)
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string padding_line = "Padding error: 0x80 not found.\n";

std::string key_hex()
{
    const char* k = std::getenv("TESSALY_MESH_KEY");
    return k ? k : "";
}

Bytes build_key()
{
    const std::string h = key_hex();
    Bytes key;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        key.push_back(static_cast<std::uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    EXPECT_EQ(key.size(), 16u) << "TESSALY_MESH_KEY must hold the build's key";
    key.resize(16);
    return key;
}

// Encrypts whole plaintext blocks under the build's key, block by block.
Bytes encrypt_blocks(const Bytes& plain)
{
    std::uint32_t rk[11][4];
    AES32_Enc_KeySchedule(build_key().data(), rk);
    Bytes out(plain.size());
    for (std::size_t j = 0; j + 16 <= plain.size(); j += 16) AES32_Encrypt(&plain[j], rk, &out[j]);
    return out;
}

// Data cut into blocks, the rest through padding: the mesh-file format.
Bytes pad(const Bytes& data)
{
    const std::size_t whole = data.size() / 16 * 16;
    Bytes p(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(whole));
    std::uint8_t last[16];
    padding(data.data() + whole, static_cast<std::int32_t>(data.size() - whole), last);
    p.insert(p.end(), last, last + 16);
    return p;
}

struct Decrypted {
    std::string plain, printed;
};
// AES_dec's result and what it printed. Every file is also decrypted in
// place, in a copy, by the loader's routine, which must print the same and
// leave the same text cut at its first zero byte.
Decrypted decrypt(const Bytes& file)
{
    testing::internal::CaptureStdout();
    Decrypted r;
    r.plain = AES_dec(file.data(), file.size());
    r.printed = testing::internal::GetCapturedStdout();
    Bytes copy = file;
    testing::internal::CaptureStdout();
    const std::uint64_t n = mesh_text_in_place(copy.data(), copy.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), r.printed) << "in place";
    EXPECT_LE(n, copy.size()) << "in place";
    const std::string text(
        copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(n, copy.size())));
    EXPECT_EQ(text, r.plain.substr(0, r.plain.find('\0'))) << "in place";
    return r;
}

Bytes block(std::string text)
{
    text.resize(16, '\0');
    return Bytes(text.begin(), text.end());
}
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(AesDec, ThreeBlockExampleGivesTwentyFourBytes)
{
    const Bytes file =
        encrypt_blocks(cat({block("ABCDEFGHIJKLMNOP"), block(std::string("abcde\0fghijklmno", 16)),
                            block(std::string("xyz\x80", 4))}));
    const Decrypted r = decrypt(file);
    EXPECT_EQ(r.plain, "ABCDEFGHIJKLMNOPabcdexyz");
    EXPECT_EQ(r.printed, "");
}

TEST(AesDec, ZeroByteEndsANonFinalBlocksContribution)
{
    const Bytes last = block("\x80");
    struct Case {
        std::string middle, want;
    } cases[] = {
        {std::string("\0bcdefghijklmnop", 16), ""},
        {std::string("abcde\0ghijklmnop", 16), "abcde"},
        {std::string("abcdefghijklmno\0", 16), "abcdefghijklmno"},
        {"abcdefghijklmnop", "abcdefghijklmnop"},
    };
    // The block also stands at the edges of the 256-block stretches that are
    // decrypted before they are searched, with or without whole stretches
    // after it, which must all move down.
    const Bytes text = block("0123456789ABCDEF");
    for (std::size_t before : {0, 255, 256, 257}) {
        for (std::size_t after : {0, 300}) {
            Bytes head, tail;
            for (std::size_t i = 0; i < before; ++i) head = cat({head, text});
            for (std::size_t i = 0; i < after; ++i) tail = cat({tail, text});
            const std::string h(head.begin(), head.end()), t(tail.begin(), tail.end());
            for (const auto& c : cases) {
                const Decrypted r =
                    decrypt(encrypt_blocks(cat({head, block(c.middle), tail, block("QR"), last})));
                EXPECT_EQ(r.plain, h + c.want + t + "QR")
                    << before << " blocks before, " << after << " after";
                EXPECT_EQ(r.printed, "");
            }
        }
    }
}

TEST(AesDec, LastBlockPaddingVariants)
{
    struct Case {
        std::string last;
        std::string want;
        bool error;
    } cases[] = {
        {std::string("abcdefghijklmno\x80", 16), "abcdefghijklmno", false},
        {std::string("\x80", 1), "", false},
        {std::string("A\0B\x80", 4), std::string("A\0B", 3), false},
        // Fifteen data bytes, the first of them zero: the loader's text ends
        // where this block starts, however far back its zero byte lies.
        {std::string("\0bcdefghijklmno\x80", 16), std::string("\0bcdefghijklmno", 15), false},
        {std::string("\x80\x80", 2), "\x80", false},
        {"", "", true},  // sixteen zero bytes
        {"Q", "", true}, // byte 0 set, no marker
        {std::string("ab\x80"
                     "c",
                     4),
         "", true},                                         // nonzero tail after a marker
        {std::string("abcdefghijklmno\x81", 16), "", true}, // full block, wrong last byte
    };
    for (const auto& c : cases) {
        for (bool with_prefix : {false, true}) {
            const Bytes plain = with_prefix ? cat({block("0123456789abcdef"), block(c.last)}) : block(c.last);
            const Decrypted r = decrypt(encrypt_blocks(plain));
            const std::string prefix = with_prefix ? "0123456789abcdef" : "";
            EXPECT_EQ(r.plain, prefix + c.want) << "case " << &c - cases;
            EXPECT_EQ(r.printed, c.error ? padding_line : "") << "case " << &c - cases;
        }
    }
}

TEST(AesDec, LengthsThatAreNoWholeBlocksGiveNothingAndPrintNothing)
{
    const Bytes data = encrypt_blocks(cat({block("abc\x80"), block("abc\x80"), block("abc\x80")}));
    for (std::size_t len : {0, 1, 15, 17, 31, 47}) {
        testing::internal::CaptureStdout();
        const std::string plain = AES_dec(data.data(), len);
        EXPECT_EQ(plain, "") << len;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << len;
    }
    EXPECT_EQ(AES_dec(nullptr, 0), "");
}

#if defined(__unix__)
// The input ends right before an inaccessible page: any read past the
// caller's buffer crashes this test.
TEST(AesDec, NeverReadsPastTheEndOfTheInput)
{
    const long page = sysconf(_SC_PAGESIZE);
    auto* base = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    const Bytes file = encrypt_blocks(cat({block("0123456789abcdef"), block("xy\x80")}));
    for (std::size_t len : {0, 1, 15, 16, 17, 32}) {
        std::uint8_t* at = base + page - len;
        std::copy(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min(len, file.size())), at);
        testing::internal::CaptureStdout();
        const std::string plain = AES_dec(at, len);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(plain, len == 32 ? "0123456789abcdefxy" : "") << len;
        EXPECT_EQ(printed, len == 16 ? padding_line : "") << len; // 16: a data block, no marker
        testing::internal::CaptureStdout();
        EXPECT_EQ(mesh_text_in_place(at, len), len == 32 ? 18u : 0u) << len;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed) << len;
    }
    munmap(base, 2 * page);
}
// The key and its round keys live on the decrypting thread's stack and are
// wiped when each call ends. Here that stack is the test's own memory: both
// decryptions run on a thread given it, and afterwards neither the key nor
// any of its eleven decryption round keys may be found in it. A wipe the
// compiler dropped as a dead store leaves them there.
TEST(AesDec, LeavesNeitherKeyNorRoundKeysOnTheStack)
{
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t size = 64 * static_cast<std::size_t>(page); // far more than the calls use
    auto* stack = static_cast<std::uint8_t*>(
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(stack, MAP_FAILED);
    std::fill(stack, stack + size, std::uint8_t{0xa5});
    Bytes file = encrypt_blocks(pad(Bytes(5000, 'm')));
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstack(&attr, stack, size), 0);
    pthread_t thread;
    const auto run = [](void* f) -> void* {
        auto* file = static_cast<Bytes*>(f);
        if (AES_dec(file->data(), file->size()).size() != 5000) return f;
        return mesh_text_in_place(file->data(), file->size()) == 5000 ? nullptr : f;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &file), 0);
    void* failed = &file;
    ASSERT_EQ(pthread_join(thread, &failed), 0);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(failed, nullptr) << "the decryptions on the thread gave the wrong text";

    const Bytes key = build_key();
    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(key.data(), dk);
    std::vector<std::pair<std::string, Bytes>> secrets = {{"the key", key}};
    for (int r = 0; r < 11; ++r) {
        const auto* row = reinterpret_cast<const std::uint8_t*>(dk[r]);
        secrets.push_back({"round key " + std::to_string(r), Bytes(row, row + 16)});
    }
    for (const auto& [name, bytes] : secrets) {
        const auto at = std::search(stack, stack + size, bytes.begin(), bytes.end());
        EXPECT_EQ(at, stack + size) << name << " is still on the decrypting thread's stack, "
                                    << (stack + size - at) << " bytes below its top";
    }
    munmap(stack, size);
}
#endif

TEST(PtLength, FindsTheMarkerOrReportsOnce)
{
    const Bytes ok = block(std::string("\0\0\x80", 3));
    testing::internal::CaptureStdout();
    EXPECT_EQ(pt_length(ok.data()), 2);
    const Bytes zeros = block("");
    EXPECT_EQ(pt_length(zeros.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), padding_line);
}

TEST(Padding, CountsZeroToFifteenAndInPlace)
{
    const Bytes src = block("abcdefghijklmnop");
    std::uint8_t out[16];
    padding(src.data(), 0, out);
    EXPECT_EQ(Bytes(out, out + 16), block("\x80"));
    padding(src.data(), 15, out);
    EXPECT_EQ(Bytes(out, out + 16), block("abcdefghijklmno\x80"));
    padding(src.data(), 7, out);
    EXPECT_EQ(Bytes(out, out + 16), block("abcdefg\x80"));
    Bytes same = src;
    padding(same.data(), 5, same.data());
    EXPECT_EQ(same, block("abcde\x80"));
}

Bytes zero_free(std::mt19937& rng, std::size_t n)
{
    Bytes d(n);
    for (auto& b : d) b = static_cast<std::uint8_t>(1 + rng() % 255);
    return d;
}

TEST(AesDec, RoundTripsZeroFreeDataOfEveryLength)
{
    std::mt19937 rng(7);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 80; ++n) lengths.push_back(n);
    for (std::size_t n : {4095, 4096, 100000, (1 << 20) + 7}) lengths.push_back(n);
    for (std::size_t n : lengths) {
        const Bytes data = zero_free(rng, n);
        const Bytes file = encrypt_blocks(pad(data));
        ASSERT_EQ(file.size(), (n / 16 + 1) * 16);
        const Decrypted r = decrypt(file);
        ASSERT_EQ(r.plain, std::string(data.begin(), data.end())) << n;
        ASSERT_EQ(r.printed, "") << n;
    }
}

// Files made with standard tools: padded here, encrypted by `openssl enc`.
TEST(AesDec, DecryptsFilesMadeByTheOpensslTool)
{
#ifndef TESSALY_OPENSSL
    GTEST_SKIP() << "no openssl tool found when the build was configured";
#else
    const char* openssl = TESSALY_OPENSSL;
    std::mt19937 rng(11);
    const std::string dir = testing::TempDir();
    for (std::size_t n : {0, 15, 16, 17, 1000}) {
        const Bytes data = zero_free(rng, n);
        const std::string in = dir + "mesh_plain.bin", out = dir + "mesh.enc";
        {
            const Bytes padded = pad(data);
            std::ofstream f(in, std::ios::binary);
            f.write(reinterpret_cast<const char*>(padded.data()),
                    static_cast<std::streamsize>(padded.size()));
        }
        const std::string cmd =
            std::string(openssl) + " enc -aes-128-ecb -nopad -K " + key_hex() + " -in " + in + " -out " + out;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::ifstream f(out, std::ios::binary);
        const Bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        ASSERT_EQ(file.size(), (n / 16 + 1) * 16);
        const Decrypted r = decrypt(file);
        EXPECT_EQ(r.plain, std::string(data.begin(), data.end())) << n;
        EXPECT_EQ(r.printed, "") << n;
        std::remove(in.c_str());
        std::remove(out.c_str());
    }
#endif
}

} // namespace
