// Fails when any of the given files holds the 16 bytes of the mesh key
// (TESSALY_MESH_KEY, 32 hex digits) as one run. Checks first that its own
// search finds a planted key, so a passing run means something.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static bool holds(const std::vector<unsigned char>& data, const std::vector<unsigned char>& key)
{
    return std::search(data.begin(), data.end(), key.begin(), key.end()) != data.end();
}

int main(int argc, char** argv)
{
    const char* hex = std::getenv("TESSALY_MESH_KEY");
    if (!hex || std::string(hex).size() != 32) {
        std::fprintf(stderr, "key_scan: TESSALY_MESH_KEY must be 32 hex digits\n");
        return 2;
    }
    std::vector<unsigned char> key;
    for (int i = 0; i < 16; ++i)
        key.push_back(static_cast<unsigned char>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16)));
    std::vector<unsigned char> planted(1001, 0x5a);
    std::copy(key.begin(), key.end(), planted.begin() + 333);
    if (!holds(planted, key)) {
        std::fprintf(stderr, "key_scan: search does not find a planted key\n");
        return 2;
    }
    int found = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "key_scan: cannot read %s\n", argv[i]);
            return 2;
        }
        const std::vector<unsigned char> data((std::istreambuf_iterator<char>(f)),
                                              std::istreambuf_iterator<char>());
        const bool hit = holds(data, key);
        std::printf("%s %s (%zu bytes)\n", hit ? "KEY FOUND in" : "clean:", argv[i], data.size());
        found += hit;
    }
    return found ? 1 : 0;
}
