// The mesh benchmark's native probe, preloaded into the benchmark's JVM
// (LD_PRELOAD) and bound to tessaly.bench.NativeProbe:
//  - it interposes malloc, calloc, realloc and free and counts the bytes that
//    the code of the mesh library itself (and a shared libstdc++, if the
//    library uses one) holds, by the caller's return address, with the peak
//    since the last reset: the library's native memory during a download,
//    apart from the JVM's own;
//  - it times the native step of a download on a byte array (copy into a
//    malloc'd buffer, decryption in place, copy of the text into a new Java
//    array, free), the same JNI sequence as loadRemoteMesh, phase by phase,
//    against AES_dec alone on the same bytes. This file's own copy of the crypto objects is not
//    exported (see mesh_probe.map), so it cannot stand in for the library's.
#include <jni.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/huge_pages.h"
#include "crypto/payload.h"
#include "tests/support/code_ranges.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<long long> live{0}, peak{0};

void add(long long bytes)
{
    const long long now = live.fetch_add(bytes) + bytes;
    long long p = peak.load();
    while (now > p && !peak.compare_exchange_weak(p, now)) {}
}

long long nanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

extern "C" {

void* malloc(size_t size)
{
    void* p = __libc_malloc(size);
    if (p && code_ranges_contain(__builtin_return_address(0)))
        add(static_cast<long long>(malloc_usable_size(p)));
    return p;
}

void* calloc(size_t n, size_t size)
{
    void* p = __libc_calloc(n, size);
    if (p && code_ranges_contain(__builtin_return_address(0)))
        add(static_cast<long long>(malloc_usable_size(p)));
    return p;
}

void* realloc(void* old, size_t size)
{
    const bool c = code_ranges_contain(__builtin_return_address(0));
    const long long before = (c && old) ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* p = __libc_realloc(old, size);
    if (c && (p || size == 0)) add((p ? static_cast<long long>(malloc_usable_size(p)) : 0) - before);
    return p;
}

void free(void* p)
{
    if (p && code_ranges_contain(__builtin_return_address(0)))
        add(-static_cast<long long>(malloc_usable_size(p)));
    __libc_free(p);
}

// Starts counting the allocations made by the code of the library at
// library_path (and of a shared libstdc++). Returns the number of code ranges.
JNIEXPORT jint JNICALL Java_tessaly_bench_NativeProbe_watch(JNIEnv* env, jclass, jstring library_path)
{
    return code_ranges_watch_library(env, library_path, "libstdc++.so");
}

// Sets the peak to the bytes now held and returns that.
JNIEXPORT jlong JNICALL Java_tessaly_bench_NativeProbe_resetPeak(JNIEnv*, jclass)
{
    peak.store(live.load());
    return live.load();
}

JNIEXPORT jlong JNICALL Java_tessaly_bench_NativeProbe_peak(JNIEnv*, jclass) { return peak.load(); }

// Nanoseconds of AES_dec on the bytes of file, already in native memory.
JNIEXPORT jlong JNICALL Java_tessaly_bench_NativeProbe_decryptNanos(JNIEnv* env, jclass, jbyteArray file)
{
    const jsize length = env->GetArrayLength(file);
    auto* copy = static_cast<std::uint8_t*>(std::malloc(length > 0 ? length : 1));
    if (copy == nullptr) return -1;
    env->GetByteArrayRegion(file, 0, length, reinterpret_cast<jbyte*>(copy));
    const long long t0 = nanos();
    std::string plain = AES_dec(copy, static_cast<std::uint64_t>(length));
    const long long t1 = nanos();
    std::free(copy);
    return plain.empty() ? -1 : t1 - t0;
}

// Nanoseconds of the native step of a download on the bytes of file, as
// loadRemoteMesh does it: copy in (a fresh malloc'd buffer), decrypt in
// place, copy the text out into a new Java array, free the copy. parts, when
// not null, gets the phases' nanoseconds: copy in, decryption, and the copy
// out in two, NewByteArray (the JVM's allocation, zeroed) and
// SetByteArrayRegion with the free.
JNIEXPORT jlong JNICALL Java_tessaly_bench_NativeProbe_stepNanos(JNIEnv* env, jclass, jbyteArray file,
                                                                 jlongArray parts)
{
    const long long t0 = nanos();
    const jsize length = env->GetArrayLength(file);
    auto* copy = static_cast<std::uint8_t*>(std::malloc(length > 0 ? length : 1));
    if (copy == nullptr) return -1;
    prefer_huge_pages(copy, static_cast<std::size_t>(length)); // as loadRemoteMesh does
    env->GetByteArrayRegion(file, 0, length, reinterpret_cast<jbyte*>(copy));
    const long long t1 = nanos();
    const jsize n = static_cast<jsize>(mesh_text_in_place(copy, static_cast<std::uint64_t>(length)));
    const long long t2 = nanos();
    jbyteArray array = env->NewByteArray(n);
    const long long t3 = nanos();
    if (array != nullptr) env->SetByteArrayRegion(array, 0, n, reinterpret_cast<const jbyte*>(copy));
    std::free(copy);
    const long long t4 = nanos();
    if (array == nullptr) return -1;
    env->DeleteLocalRef(array);
    if (parts != nullptr) {
        const jlong phases[4] = {t1 - t0, t2 - t1, t3 - t2, t4 - t3};
        env->SetLongArrayRegion(parts, 0, 4, phases);
    }
    return t4 - t0;
}

} // extern "C"
