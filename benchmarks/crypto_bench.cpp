// Speed of the AES-128 units next to OpenSSL on the same data, in one run.
//
// Every case reports MB/s (bytes_per_second) and cycles per byte (cpb, from
// the CPU frequency Google Benchmark detects), and a table of ratios follows.
// OpenSSL's software table path (AES-128-CBC decryption with AES-NI and SSSE3
// masked) can only be chosen before libcrypto starts, so this program runs
// itself a second time with OPENSSL_ia32cap set for that one case and reads
// its result back; run by hand with OPENSSL_ia32cap set, it measures just
// that case.
#include "crypto/aes32.h"
#include "crypto/aes8.h"
#include "crypto/payload.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr char software_caps[] = "~0x200020000000000";
constexpr std::size_t bulk_size = 16u << 20; // 16 MiB of blocks

using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

const Bytes& bulk()
{
    static const Bytes data = random_bytes(bulk_size, 1);
    return data;
}

const std::uint8_t bench_key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                    0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void finish(benchmark::State& state, std::size_t bytes_per_iteration)
{
    const double bytes = static_cast<double>(bytes_per_iteration) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// ---- AES32 ----
void BM_AES32_Encrypt(benchmark::State& state)
{
    std::uint32_t rk[11][4];
    AES32_Enc_KeySchedule(bench_key, rk);
    const Bytes& in = bulk();
    Bytes out(in.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); i += 16) AES32_Encrypt(&in[i], rk, &out[i]);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, in.size());
}

void BM_AES32_EqDecrypt(benchmark::State& state)
{
    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(bench_key, dk);
    const Bytes& in = bulk();
    Bytes out(in.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); i += 16) AES32_EqDecrypt(&in[i], dk, &out[i]);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, in.size());
}

// ---- AES8 (byte-oriented unit, the readable reference; no speed goal) ----
template <void (*Cipher)(const std::uint8_t*, const std::uint8_t[11][16], std::uint8_t*), bool Eq>
void BM_AES8(benchmark::State& state)
{
    std::uint8_t rk[11][16];
    AES8_KeySchedule(bench_key, rk);
    if (Eq) AES8_EqInvKey(rk, rk);
    const Bytes& in = bulk();
    Bytes out(in.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); i += 16) Cipher(&in[i], rk, &out[i]);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, in.size());
}

// ---- OpenSSL ----
void openssl_run(benchmark::State& state, const EVP_CIPHER* cipher, bool enc)
{
    const Bytes& in = bulk();
    Bytes out(in.size() + 16);
    const std::uint8_t iv[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int n = 0;
        EVP_CipherInit_ex(ctx, cipher, nullptr, bench_key, iv, enc ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    finish(state, in.size());
}
void BM_OpenSSL_ECB_Encrypt(benchmark::State& s) { openssl_run(s, EVP_aes_128_ecb(), true); }
void BM_OpenSSL_ECB_Decrypt(benchmark::State& s) { openssl_run(s, EVP_aes_128_ecb(), false); }
void BM_OpenSSL_CBC_Decrypt(benchmark::State& s) { openssl_run(s, EVP_aes_128_cbc(), false); }

// ---- Mesh files: AES_dec against the bare block loop over the same bytes ----
Bytes mesh_key()
{
    const std::string h = TESSALY_MESH_KEY_HEX;
    Bytes k;
    for (std::size_t i = 0; i < 32; i += 2)
        k.push_back(static_cast<std::uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return k;
}

// A valid mesh file of `size` bytes: zero-free text, 0x80 at the very end.
const Bytes& mesh_file(std::size_t size)
{
    static std::map<std::size_t, Bytes> files;
    Bytes& f = files[size];
    if (f.empty()) {
        std::mt19937 rng(static_cast<unsigned>(size));
        f.resize(size);
        for (auto& b : f) b = static_cast<std::uint8_t>(' ' + rng() % 95);
        f[size - 1] = 0x80;
        std::uint32_t rk[11][4];
        AES32_Enc_KeySchedule(mesh_key().data(), rk);
        for (std::size_t i = 0; i < size; i += 16) AES32_Encrypt(&f[i], rk, &f[i]);
    }
    return f;
}

void BM_AES_dec(benchmark::State& state)
{
    const Bytes& file = mesh_file(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string plain = AES_dec(file.data(), file.size());
        benchmark::DoNotOptimize(plain.data());
    }
    finish(state, file.size());
}

// The bare decryption of the file: every block decrypted into its place in
// an output buffer of the file's size, allocated and touched beforehand, so
// the loop pays for writing the plaintext but not for allocating it.
void BM_EqDecrypt_loop(benchmark::State& state)
{
    const Bytes& file = mesh_file(static_cast<std::size_t>(state.range(0)));
    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(mesh_key().data(), dk);
    Bytes out(file.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < file.size(); i += 16) AES32_EqDecrypt(&file[i], dk, &out[i]);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, file.size());
}

// The same loop into a fresh output buffer on every call, allocated and not
// touched beforehand, as AES_dec's result is: the difference to the loop
// above is the cost of the fresh memory (page faults, for large outputs).
void BM_EqDecrypt_loop_fresh(benchmark::State& state)
{
    const Bytes& file = mesh_file(static_cast<std::size_t>(state.range(0)));
    std::uint32_t dk[11][4];
    AES32_Dec_KeySchedule(mesh_key().data(), dk);
    for (auto _ : state) {
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[file.size()]);
        for (std::size_t i = 0; i < file.size(); i += 16) AES32_EqDecrypt(&file[i], dk, &out[i]);
        benchmark::DoNotOptimize(out.get());
    }
    finish(state, file.size());
}

void register_main_cases()
{
    benchmark::RegisterBenchmark("AES32_Encrypt", BM_AES32_Encrypt)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("AES32_EqDecrypt", BM_AES32_EqDecrypt)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("AES8_Encrypt", BM_AES8<AES8_Encrypt, false>)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("AES8_Decrypt", BM_AES8<AES8_Decrypt, false>)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("AES8_EqDecrypt", BM_AES8<AES8_EqDecrypt, true>)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("OpenSSL_ECB_Encrypt", BM_OpenSSL_ECB_Encrypt)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("OpenSSL_ECB_Decrypt", BM_OpenSSL_ECB_Decrypt)
        ->Unit(benchmark::kMillisecond);
    for (long size : {1L << 10, 1L << 20, 64L << 20}) {
        benchmark::RegisterBenchmark("AES_dec", BM_AES_dec)->Arg(size)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("EqDecrypt_loop", BM_EqDecrypt_loop)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("EqDecrypt_loop_fresh", BM_EqDecrypt_loop_fresh)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
    }
}

// Collects bytes per second by name for the ratio table, adds cycles per
// byte (cpb), and passes every run on to the console. With repetitions
// (e.g. --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true,
// for a busy machine) the table takes each benchmark's median.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        std::vector<Run> shown = runs;
        const double hz = benchmark::CPUInfo::Get().cycles_per_second;
        for (auto& r : shown) {
            auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end() || it->second.value <= 0) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            const std::string name = r.run_name.str();
            if (median) medians.insert(name);
            if (median || medians.count(name) == 0) rate[name] = it->second.value;
            r.counters["cpb"] = benchmark::Counter(hz / it->second.value);
        }
        ConsoleReporter::ReportRuns(shown);
    }

private:
    std::set<std::string> medians;
};

// Runs this program again with OpenSSL's software path chosen and returns
// the CBC decryption rate it measured (0 if that failed).
double software_openssl_rate()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 0;
    self[n] = '\0';
    const std::string cmd = std::string("OPENSSL_ia32cap='") + software_caps + "' '" + self + "'";
    std::fflush(stdout);
    FILE* child = popen(cmd.c_str(), "r");
    if (!child) return 0;
    double rate = 0;
    char line[1024];
    while (std::fgets(line, sizeof line, child)) {
        const char* tag = std::strstr(line, "@software-cbc-decrypt ");
        if (tag)
            rate = std::atof(tag + std::strlen("@software-cbc-decrypt "));
        else
            std::fputs(line, stdout);
    }
    pclose(child);
    return rate;
}

} // namespace

int main(int argc, char** argv)
{
    const bool software_child = std::getenv("OPENSSL_ia32cap") != nullptr;
    benchmark::Initialize(&argc, argv);
    Collector report;
    if (software_child) {
        benchmark::RegisterBenchmark("OpenSSL_CBC_Decrypt_software", BM_OpenSSL_CBC_Decrypt)
            ->Unit(benchmark::kMillisecond);
        benchmark::RunSpecifiedBenchmarks(&report);
        std::printf("@software-cbc-decrypt %.6g\n", report.rate["OpenSSL_CBC_Decrypt_software"]);
        return 0;
    }
    register_main_cases();
    benchmark::RunSpecifiedBenchmarks(&report);
    const double soft = software_openssl_rate();
    auto& r = report.rate;
    const double hz = benchmark::CPUInfo::Get().cycles_per_second;
    auto line = [&](const char* what, double ours, double ref) {
        if (ours > 0 && ref > 0)
            std::printf("  %-52s %6.3f  (%.1f vs %.1f MB/s, %.2f vs %.2f cpb)\n", what, ours / ref,
                        ours / 1e6, ref / 1e6, hz / ours, hz / ref);
    };
    std::printf("\nRatios (speed of ours / speed of reference; >= 1 means ours is as fast or faster):\n");
    line("AES32_Encrypt / OpenSSL software CBC decrypt", r["AES32_Encrypt"], soft);
    line("AES32_EqDecrypt / OpenSSL software CBC decrypt", r["AES32_EqDecrypt"], soft);
    line("AES32_Encrypt / OpenSSL ECB encrypt (AES-NI)", r["AES32_Encrypt"], r["OpenSSL_ECB_Encrypt"]);
    line("AES32_EqDecrypt / OpenSSL ECB decrypt (AES-NI)", r["AES32_EqDecrypt"], r["OpenSSL_ECB_Decrypt"]);
    for (const char* size : {"1024", "1048576", "67108864"}) {
        const std::string what = std::string("AES_dec / bare EqDecrypt loop, ") + size + " bytes";
        line(what.c_str(), r[std::string("AES_dec/") + size], r[std::string("EqDecrypt_loop/") + size]);
    }
    std::printf("  the fresh output's share (page faults), at each size:\n");
    for (const char* size : {"1024", "1048576", "67108864"}) {
        const std::string fresh = std::string("EqDecrypt_loop_fresh/") + size;
        line((std::string("bare loop into fresh output / bare loop, ") + size + " bytes").c_str(), r[fresh],
             r[std::string("EqDecrypt_loop/") + size]);
        line((std::string("AES_dec / bare loop into fresh output, ") + size + " bytes").c_str(),
             r[std::string("AES_dec/") + size], r[fresh]);
    }
    if (soft <= 0) std::printf("  (the OpenSSL software-path run failed)\n");
    std::printf("\nCost of the byte-oriented AES relative to AES32 (time per block, AES32 = 1):\n");
    auto cost = [&](const char* ours, const char* ref) {
        if (r[ours] > 0 && r[ref] > 0)
            std::printf("  %-16s / %-16s %6.2f  (%.1f vs %.1f MB/s)\n", ours, ref, r[ref] / r[ours],
                        r[ours] / 1e6, r[ref] / 1e6);
    };
    cost("AES8_Encrypt", "AES32_Encrypt");
    cost("AES8_Decrypt", "AES32_EqDecrypt");
    cost("AES8_EqDecrypt", "AES32_EqDecrypt");
    return 0;
}
