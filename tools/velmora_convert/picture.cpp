#include "picture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace velmora::convert {

// Below this, the heap: small pictures gain nothing from large pages.
constexpr size_t kLargeSize = size_t(32) << 20;

PixelMemory& PixelMemory::operator=(PixelMemory&& other) noexcept {
    if (this != &other) {
        reset();
        m_data = other.m_data;
        m_size = other.m_size;
        other.m_data = nullptr;
        other.m_size = 0;
    }
    return *this;
}

bool PixelMemory::allocate(size_t size, bool zeroed) {
    reset();
    if (size < kLargeSize) {
        m_data = static_cast<uint8_t*>(zeroed ? std::calloc(size ? size : 1, 1)
                                              : std::malloc(size ? size : 1));
        m_size = 0;  // taken from the heap
        return m_data != nullptr;
    }
    // Fresh anonymous pages read as zero, so zeroed needs nothing more here.
    void* p = ::mmap(nullptr, size ? size : 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (p == MAP_FAILED) return false;
    ::madvise(p, size, MADV_HUGEPAGE);
    m_data = static_cast<uint8_t*>(p);
    m_size = size;
    return true;
}

void PixelMemory::reset() {
    if (m_data && m_size == 0)
        std::free(m_data);
    else if (m_data)
        ::munmap(m_data, m_size);
    m_data = nullptr;
    m_size = 0;
}

bool isGrey(const RgbPicture& picture) {
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* p = picture.row(y);
        unsigned differ = 0;
        for (int x = 0; x < picture.width; ++x, p += 3)
            differ |= unsigned(p[0] ^ p[1]) | unsigned(p[1] ^ p[2]);
        if (differ) return false;
    }
    return true;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd, p, std::min<size_t>(n, size_t(1) << 30));
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += k;
        n -= size_t(k);
    }
    return true;
}

}  // namespace velmora::convert
