#include "picture.h"

#include <cstdlib>
#include <sys/mman.h>

namespace velmora::convert {

// Below this, the heap: small pictures gain nothing from large pages.
constexpr size_t kLargeSize = size_t(32) << 20;

PixelMemory &PixelMemory::operator=(PixelMemory &&other) noexcept
{
    if (this != &other) {
        reset();
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

bool PixelMemory::allocate(size_t size, bool zeroed)
{
    reset();
    if (size < kLargeSize) {
        data_ = static_cast<uint8_t *>(zeroed ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1));
        size_ = 0; // taken from the heap
        return data_ != nullptr;
    }
    // Fresh anonymous pages read as zero, so zeroed needs nothing more here.
    void *p = ::mmap(nullptr, size ? size : 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    ::madvise(p, size, MADV_HUGEPAGE);
    data_ = static_cast<uint8_t *>(p);
    size_ = size;
    return true;
}

void PixelMemory::reset()
{
    if (data_ && size_ == 0)
        std::free(data_);
    else if (data_)
        ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

bool isGrey(const RgbPicture &picture)
{
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t *p = picture.row(y);
        unsigned differ = 0;
        for (int x = 0; x < picture.width; ++x, p += 3)
            differ |= unsigned(p[0] ^ p[1]) | unsigned(p[1] ^ p[2]);
        if (differ)
            return false;
    }
    return true;
}

} // namespace velmora::convert
