// Runs a fuzz target without libFuzzer, for the test suite: every file named
// on the command line (or found in a named folder) once, then, with
// --random N, N pseudo-random inputs of 0 to 256 bytes from a fixed seed.
// A failed property aborts the process; the test fails. Exit status 1 if no
// input was run at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::size_t run_file(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<std::uint8_t> bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    // An exact-size copy, as libFuzzer gives it.
    std::uint8_t* copy = new std::uint8_t[bytes.size()];
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    delete[] copy;
    return 1;
}

std::size_t run_path(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0; // e.g. no regressions yet
    if (!S_ISDIR(st.st_mode)) return run_file(path);
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::size_t n = 0;
    for (const std::string& name : names) n += run_path(path + "/" + name);
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t files = 0, randoms = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--random") == 0 && i + 1 < argc) {
            randoms = std::strtoul(argv[++i], nullptr, 10);
        } else {
            files += run_path(argv[i]);
        }
    }
    std::uint64_t x = 0x9e3779b97f4a7c15u; // xorshift64*, fixed seed
    auto next = [&x] {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        return x * 0x2545f4914f6cdd1du;
    };
    std::vector<std::uint8_t> buf;
    for (std::size_t r = 0; r < randoms; ++r) {
        buf.resize(next() % 257);
        for (auto& b : buf) b = static_cast<std::uint8_t>(next() >> 56);
        // Small alphabets now and then, so that "{}", zero bytes and markers occur.
        if (r % 3 == 1)
            for (auto& b : buf) b = "{}%\0\x80\x01a/"[b % 8];
        std::uint8_t* copy = new std::uint8_t[buf.size()];
        if (!buf.empty()) std::memcpy(copy, buf.data(), buf.size());
        LLVMFuzzerTestOneInput(copy, buf.size());
        delete[] copy;
    }
    std::fprintf(stderr, "replay: %zu files, %zu random inputs, all properties held\n", files, randoms);
    return files + randoms == 0 ? 1 : 0;
}
