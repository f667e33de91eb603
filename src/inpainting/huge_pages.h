#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora {

constexpr std::size_t kHugePageBytes = std::size_t(2) << 20;

// Asks the kernel to back the whole 2 MB pages inside [data, data + bytes) with
// huge pages. Call it before the memory is first written: a camera photo's
// buffers otherwise cost one page fault per 4 KB, a large share of a fill or a
// file read. Only advice: where huge pages are off, nothing changes.

inline void adviseHugePages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = kHugePageBytes;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (data != nullptr && end > first)
        ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Hands out blocks of half a huge page or more as whole huge pages, aligned and
// advised, so a table of a few megabytes is not left partly in small pages at
// its ends; smaller blocks come from the usual heap.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t kMaxShift = 61 * 64;
    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageBytes / 2) return std::allocator<T>().allocate(n);
        if (bytes > std::size_t(-1) - 2 * kHugePageBytes) throw std::bad_alloc();
        const std::size_t whole =
            (bytes + kMaxShift + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        char* p = static_cast<char*>(::operator new(whole, std::align_val_t(kHugePageBytes)));
        adviseHugePages(p, whole);
        // Tables read side by side at the same index would otherwise all start
        // on the same cache sets; each starts a few cache lines further on.
        static std::atomic<unsigned> next{0};
        const std::size_t shift = (next.fetch_add(1, std::memory_order_relaxed) % 61) * 64;
        return reinterpret_cast<T*>(p + shift);
    }
    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < kHugePageBytes / 2)
            std::allocator<T>().deallocate(p, n);
        else
            ::operator delete(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) &
                                                      ~std::uintptr_t(kHugePageBytes - 1)),
                              std::align_val_t(kHugePageBytes));
    }
    friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

// The engine's large tables.
template <class T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace velmora
