#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
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

// Faults fresh memory in on a thread of its own while the caller fills it. The
// first write to a page makes the kernel zero it, and in some virtual machines
// fetch it from the host (about a millisecond per 2 MB); with a second
// processor taking those faults, a decoder filling a camera photo mostly finds
// its pages there. Works a huge page at a time from the end the caller reaches
// last, and changes no byte. Does nothing where the kernel cannot prefault.
class BackgroundPrefault {
public:
    BackgroundPrefault(void* data, std::size_t bytes, bool callerStartsAtEnd) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
        constexpr std::uintptr_t kPage = 4096;
        const auto start = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
        if (data == nullptr || end <= start || end - start < 2 * kHugePageBytes) return;
        try {
            m_thread = std::thread([this, start, end, callerStartsAtEnd] {
                const std::size_t chunks = (end - start + kHugePageBytes - 1) / kHugePageBytes;
                for (std::size_t i = 0; i < chunks && !m_stop.load(std::memory_order_relaxed);
                     ++i) {
                    const std::size_t chunk = callerStartsAtEnd ? i : chunks - 1 - i;
                    const std::uintptr_t from = start + chunk * kHugePageBytes;
                    const std::size_t length = std::min<std::uintptr_t>(kHugePageBytes, end - from);
                    // On an older kernel, or without memory, the caller's writes
                    // fault the pages in as usual.
                    if (::madvise(reinterpret_cast<void*>(from), length, MADV_POPULATE_WRITE) != 0)
                        return;
                }
            });
        } catch (const std::system_error&) {
            // No thread: the caller's writes fault the pages in themselves.
        }
#else
        (void)data;
        (void)bytes;
        (void)callerStartsAtEnd;
#endif
    }
    ~BackgroundPrefault() {
        m_stop.store(true, std::memory_order_relaxed);
        if (m_thread.joinable()) m_thread.join();
    }
    BackgroundPrefault(const BackgroundPrefault&) = delete;
    BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Hands out blocks of half a huge page or more as whole huge pages, aligned and
// advised, so a table of a few megabytes is not left partly in small pages at
// its ends; smaller blocks come from the usual heap. A large block is faulted
// in from its end by another thread while its owner fills it from the front.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t kMaxShift = 61 * 64;
    // The block's first page holds its BackgroundPrefault.
    static constexpr std::size_t kHeader = 4096;
    static_assert(sizeof(BackgroundPrefault) <= kHeader && alignof(T) <= 64);
    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageBytes / 2) return std::allocator<T>().allocate(n);
        if (bytes > std::size_t(-1) - 2 * kHugePageBytes - kHeader - kMaxShift)
            throw std::bad_alloc();
        const std::size_t whole =
            (kHeader + bytes + kMaxShift + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        char* p = static_cast<char*>(::operator new(whole, std::align_val_t(kHugePageBytes)));
        adviseHugePages(p, whole);
        // Tables read side by side at the same index would otherwise all start
        // on the same cache sets; each starts a few cache lines further on.
        static std::atomic<unsigned> next{0};
        const std::size_t shift = (next.fetch_add(1, std::memory_order_relaxed) % 61) * 64;
        char* data = p + kHeader + shift;
        ::new (p) BackgroundPrefault(data, bytes, false);
        return reinterpret_cast<T*>(data);
    }
    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < kHugePageBytes / 2) {
            std::allocator<T>().deallocate(p, n);
            return;
        }
        void* block = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) &
                                              ~std::uintptr_t(kHugePageBytes - 1));
        std::launder(static_cast<BackgroundPrefault*>(block))->~BackgroundPrefault();
        ::operator delete(block, std::align_val_t(kHugePageBytes));
    }
    friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

// The engine's large tables.
template <class T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace velmora
