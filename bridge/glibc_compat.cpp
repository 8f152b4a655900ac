// Keeps libTrialworks.so loadable on glibc 2.28 and newer although it is
// built against a newer glibc with the C++ runtime linked in statically.
//
// The static libstdc++ and libgcc of the build machine reference four glibc
// symbols that only newer glibc versions define. The library is linked with
// --wrap for each of them (build-support/GlibcFloor.cmake), so those
// references land here instead, and these replacements use only interfaces
// that glibc 2.2.5 already had:
//
//   __libc_single_threaded (2.32)  libstdc++ skips atomic reference counting
//       when it is true; here it is always false, so atomics are always used.
//   pthread_once (2.34)            run-once initialisation of the runtime's
//       locale and I/O state: a recursive mutex and an acquire/release flag.
//   __pthread_key_create (2.34)    only its address is taken, to ask whether
//       threads are in use; they are, the JVM is multi-threaded.
//   _dl_find_object (2.35)         the unwinder's look-up of a code address's
//       object and .eh_frame_hdr, done with dl_iterate_phdr instead.
//
// Nothing here is exported: the version script keeps it local.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

extern "C" {

char __wrap___libc_single_threaded = 0;

int __wrap_pthread_once(pthread_once_t* once, void (*init)())
{
    static pthread_mutex_t lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    // glibc's PTHREAD_ONCE_INIT is 0; 2 marks "done" here.
    int* state = reinterpret_cast<int*>(once);
    if (__atomic_load_n(state, __ATOMIC_ACQUIRE) == 2) return 0;
    pthread_mutex_lock(&lock);
    if (__atomic_load_n(state, __ATOMIC_RELAXED) != 2) {
        init();
        __atomic_store_n(state, 2, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

int __wrap___pthread_key_create(pthread_key_t*, void (*)(void*)) { return EAGAIN; }

namespace {

struct FindRequest {
    std::uintptr_t pc;
    struct dl_find_object* result;
    bool found;
};

int find_object(struct dl_phdr_info* info, std::size_t, void* data)
{
    auto* request = static_cast<FindRequest*>(data);
    std::uintptr_t low = UINTPTR_MAX, high = 0;
    const void* eh_frame = nullptr;
    bool inside = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD) {
            std::uintptr_t end = start + ph.p_memsz;
            if (start < low) low = start;
            if (end > high) high = end;
            if (request->pc >= start && request->pc < end) inside = true;
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            eh_frame = reinterpret_cast<const void*>(start);
        }
    }
    if (!inside) return 0;
    std::memset(request->result, 0, sizeof *request->result);
    request->result->dlfo_map_start = reinterpret_cast<void*>(low);
    request->result->dlfo_map_end = reinterpret_cast<void*>(high);
    request->result->dlfo_eh_frame = const_cast<void*>(eh_frame);
    request->found = true;
    return 1;
}

} // namespace

int __wrap__dl_find_object(void* pc, struct dl_find_object* result)
{
    FindRequest request{reinterpret_cast<std::uintptr_t>(pc), result, false};
    dl_iterate_phdr(find_object, &request);
    return request.found ? 0 : -1;
}

} // extern "C"
