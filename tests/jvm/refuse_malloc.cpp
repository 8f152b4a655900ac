// A malloc that refuses chosen allocations of the library under test,
// preloaded (LD_PRELOAD) into the child JVM of AllocationFailureTest and bound
// to tessaly.jvmtest.AllocationChild. Until AllocationChild.arm(library) has
// found the library's code, it refuses nothing; after that it returns null
// for the N-th malloc of at least B bytes whose caller is the library's code
// (its statically linked C++ runtime included, so operator new fails with
// std::bad_alloc), with
//   TESSALY_REFUSE_AT_LEAST=B   TESSALY_REFUSE_NTH=N (default 1).
// Every other allocation goes to the C library unchanged.
#include <jni.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "tests/support/code_ranges.h"

extern "C" void* __libc_malloc(size_t);

namespace {

std::atomic<std::size_t> at_least{SIZE_MAX};
std::atomic<long> nth{1}, seen{0}, refused{0};

} // namespace

extern "C" {

__attribute__((visibility("default"))) void* malloc(size_t size)
{
    if (size >= at_least.load(std::memory_order_relaxed) &&
        code_ranges_contain(__builtin_return_address(0)) && seen.fetch_add(1) + 1 == nth.load()) {
        refused.fetch_add(1);
        return nullptr;
    }
    return __libc_malloc(size);
}

// Watches the code of the library at library_path and reads the selection
// from the environment. Returns the number of code ranges found.
JNIEXPORT jint JNICALL Java_tessaly_jvmtest_AllocationChild_arm(JNIEnv* env, jclass, jstring library_path)
{
    const int ranges = code_ranges_watch_library(env, library_path, nullptr);
    if (const char* n = std::getenv("TESSALY_REFUSE_NTH")) nth.store(std::atol(n));
    if (const char* b = std::getenv("TESSALY_REFUSE_AT_LEAST")) at_least.store(std::strtoull(b, nullptr, 10));
    return ranges;
}

// The number of allocations refused so far.
JNIEXPORT jint JNICALL Java_tessaly_jvmtest_AllocationChild_refused(JNIEnv*, jclass)
{
    return static_cast<jint>(refused.load());
}

} // extern "C"
