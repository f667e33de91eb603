#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::convert {

// Memory for pixels, taken from the system in large pages where it allows them:
// a camera-size picture otherwise costs tens of thousands of page faults.
class PixelMemory {
public:
    PixelMemory() = default;
    PixelMemory(PixelMemory&& other) noexcept : m_data(other.m_data), m_size(other.m_size) {
        other.m_data = nullptr, other.m_size = 0;
    }
    PixelMemory& operator=(PixelMemory&& other) noexcept;
    ~PixelMemory() { reset(); }

    bool allocate(size_t size, bool zeroed = false);  // false when the memory cannot be had
    void reset();
    uint8_t* get() const { return m_data; }
    explicit operator bool() const { return m_data != nullptr; }

private:
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

// A picture as the encoders take it: rows top to bottom, three bytes R, G, B per pixel.
struct RgbPicture {
    int width = 0;
    int height = 0;
    PixelMemory rgb;  // left uninitialised on allocation: every byte is written by the reader

    size_t rowBytes() const { return size_t(width) * 3; }
    const uint8_t* row(int y) const { return rgb.get() + size_t(y) * rowBytes(); }
    uint8_t* row(int y) { return rgb.get() + size_t(y) * rowBytes(); }
};

// True when every pixel has R = G = B, so the picture can be written as grey without loss.
bool isGrey(const RgbPicture& picture);

// Writes all n bytes to fd, going on after interruptions and partial writes;
// false with errno set when the system refuses.
bool writeAll(int fd, const uint8_t* p, size_t n);

}  // namespace velmora::convert
