// Large buffers (a mesh download's native copy of the body, the text that
// AES_dec returns) are written once, front to back, right after they are allocated, so
// their first touch costs a page fault per 4 KiB page: about 40 ms for 64 MiB
// on the development machine, as much as a tenth of the decryption. Where the
// kernel offers transparent huge pages on request (Linux, mode "madvise"),
// asking for them cuts that to a page fault per 2 MiB. Internal to the
// library: inline, never exported.
#ifndef TESSALY_CRYPTO_HUGE_PAGES_H
#define TESSALY_CRYPTO_HUGE_PAGES_H

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// Asks the kernel to back the whole pages inside [p, p + n) with huge pages
// when n is at least 2 MiB and the platform can; otherwise, or when the
// kernel declines, nothing changes. The memory's content is not touched.
inline void prefer_huge_pages(void* p, std::size_t n) noexcept
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t huge = std::size_t(2) << 20;
    if (p == nullptr || n < huge) return;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

#endif
