#pragma once

#include <QImage>
#include <QRgb>

#include <cstdint>
#include <vector>

namespace velmora {

struct IndexedPicture {
    std::vector<QRgb> palette;          // at most the colours asked for
    std::vector<std::uint8_t> indices;  // one per pixel, rows top to bottom
};

// Maps an RGB32 picture to at most maxColors colours. A picture with that many
// colours or fewer keeps them exactly; otherwise a median-cut palette is made
// and, with dither, an 8 x 8 Bayer pattern spreads the rounding error.
IndexedPicture quantize(const QImage& rgb, int maxColors, bool dither);

}  // namespace velmora
