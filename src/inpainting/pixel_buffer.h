#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// A picture in someone else's memory, laid out as PixelBuffer describes except
// that rows lie `stride` bytes apart (stride >= 4 * width). The engine works on
// this, so a caller can hand over a decoded picture without copying it.
struct PixelView {
    std::uint8_t* bytes = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;

    std::uint8_t* pixel(int x, int y) const {
        return bytes + std::ptrdiff_t(y) * stride + std::ptrdiff_t(x) * 4;
    }
};

// A 32-bit picture as the engine reads and writes it.
// Layout: rows top to bottom, each row exactly 4 * width bytes, no padding;
// pixel (x, y) is the 4 bytes at offset 4 * (y * width + x).
// Byte 0 is blue, byte 1 green, byte 2 red; byte 3 is never interpreted and
// travels with the pixel wherever the pixel is copied.
struct PixelBuffer {
    int width = 0;                    // columns, pixels
    int height = 0;                   // rows, pixels
    std::vector<std::uint8_t> bytes;  // 4 * width * height entries when valid

    PixelBuffer() = default;
    // A buffer of the given size with every byte zero. Preconditions: width, height >= 0.
    PixelBuffer(int w, int h)
        : width(w), height(h), bytes(std::size_t(w) * std::size_t(h) * 4u, 0) {}

    // True when the byte count matches the size.
    bool isValid() const {
        return width >= 0 && height >= 0 &&
               bytes.size() == std::size_t(width) * std::size_t(height) * 4u;
    }

    // Offset of byte 0 of pixel (x, y). Precondition: 0 <= x < width, 0 <= y < height.
    std::size_t offset(int x, int y) const {
        return (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4u;
    }

    // Sets the three colour bytes of (x, y); byte 3 is left as it is.
    void setRgb(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        const std::size_t o = offset(x, y);
        bytes[o] = b;
        bytes[o + 1] = g;
        bytes[o + 2] = r;
    }
    // The buffer as a view; valid while the buffer lives and is not resized.
    PixelView view() { return {bytes.data(), width, height, std::ptrdiff_t(width) * 4}; }

    std::uint8_t red(int x, int y) const { return bytes[offset(x, y) + 2]; }
    std::uint8_t green(int x, int y) const { return bytes[offset(x, y) + 1]; }
    std::uint8_t blue(int x, int y) const { return bytes[offset(x, y)]; }
    std::uint8_t extra(int x, int y) const { return bytes[offset(x, y) + 3]; }
};

// An inclusive-exclusive rectangle of pixel positions: columns x..x+width-1, rows y..y+height-1.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

}  // namespace velmora
