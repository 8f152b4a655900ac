// The executable segments of chosen loaded objects, for the malloc probes
// that are preloaded into a JVM (LD_PRELOAD) and attribute an allocation to
// the library under test by its caller's return address
// (benchmarks/mesh/mesh_probe.cpp, tests/jvm/refuse_malloc.cpp). ELF
// platforms with dl_iterate_phdr only.
//
// code_ranges_watch runs once, outside malloc, after the library is loaded;
// code_ranges_contain may then be called from inside malloc (it neither
// allocates nor locks).
#ifndef TESSALY_TESTS_SUPPORT_CODE_RANGES_H
#define TESSALY_TESTS_SUPPORT_CODE_RANGES_H

#include <jni.h>
#include <link.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

constexpr int code_ranges_max = 16;
inline std::uintptr_t code_range_lo[code_ranges_max], code_range_hi[code_ranges_max];
inline std::atomic<int> code_range_count{0};

// True when address lies in one of the watched code ranges.
inline bool code_ranges_contain(const void* address)
{
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    const int n = code_range_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (a >= code_range_lo[i] && a < code_range_hi[i]) return true;
    return false;
}

// dl_iterate_phdr callback: records the executable segments of an object
// whose path contains one of the names in data (a null-terminated array).
inline int code_ranges_collect(struct dl_phdr_info* info, size_t, void* data)
{
    const char* name = info->dlpi_name ? info->dlpi_name : "";
    bool wanted = false;
    for (const char* const* w = static_cast<const char* const*>(data); *w; ++w)
        wanted |= std::strstr(name, *w) != nullptr;
    if (!wanted) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const int n = code_range_count.load();
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X) || n == code_ranges_max) continue;
        code_range_lo[n] = info->dlpi_addr + ph.p_vaddr;
        code_range_hi[n] = code_range_lo[n] + ph.p_memsz;
        code_range_count.store(n + 1, std::memory_order_release);
    }
    return 0;
}

// Watches the code of every loaded object whose path contains one of names
// (null-terminated); only the first call looks. Returns the number of ranges.
inline int code_ranges_watch(const char* const* names)
{
    if (code_range_count.load() == 0) dl_iterate_phdr(code_ranges_collect, const_cast<char**>(names));
    return code_range_count.load();
}

// code_ranges_watch for the library at the Java path library_path (matched
// by its file name) and also (another name, or null). -1 if the path cannot
// be read.
inline int code_ranges_watch_library(JNIEnv* env, jstring library_path, const char* also)
{
    const char* path = env->GetStringUTFChars(library_path, nullptr);
    if (path == nullptr) return -1;
    std::string file = path;
    env->ReleaseStringUTFChars(library_path, path);
    file = file.substr(file.find_last_of('/') + 1);
    const char* names[] = {file.c_str(), also, nullptr};
    return code_ranges_watch(names);
}

#endif
