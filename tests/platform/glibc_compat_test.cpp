// Loads the probe module and calls it from several threads at once: every
// call must catch its own exception inside the module and format its text.
// Usage: glibc_compat_test PATH-TO-MODULE
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return 1;
    }
    auto probe = reinterpret_cast<int (*)(int)>(dlsym(module, "tessaly_compat_probe"));
    if (probe == nullptr) return 1;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= 200; ++i) {
                // "thrown N 2.5"
                int expected =
                    static_cast<int>(std::string("thrown ").size() + std::to_string(i + t).size() + 4);
                if (probe(i + t) != expected) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    bool no_throw_ok = probe(0) == -1;
    std::printf("%d wrong results of 1600; probe(0) %s\n", wrong.load(), no_throw_ok ? "ok" : "wrong");
    return wrong == 0 && no_throw_ok ? 0 : 1;
}
