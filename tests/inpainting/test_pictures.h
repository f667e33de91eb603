#pragma once

// Small hand-made pictures for the engine tests.

#include <cstdint>
#include <cstring>

#include "inpainting.h"
#include "pixel_buffer.h"
#include "reference_inpainting.h"

namespace velmora::test {

inline PixelBuffer flatPicture(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                               std::uint8_t extra = 0xFF) {
    PixelBuffer p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            p.setRgb(x, y, r, g, b);
            p.bytes[p.offset(x, y) + 3] = extra;
        }
    return p;
}

// A deterministic texture with edges in both directions; never pure green.
inline PixelBuffer texturePicture(int w, int h) {
    PixelBuffer p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t r = std::uint8_t((x * 37 + y * 11) % 200 + 20);
            const std::uint8_t g = std::uint8_t(((x / 3) * 53 + (y / 2) * 29) % 180 + 10);
            const std::uint8_t b = std::uint8_t((x * y * 7 + 13) % 220);
            p.setRgb(x, y, r, g, b);
            p.bytes[p.offset(x, y) + 3] = 0xFF;
        }
    return p;
}

inline void setGray(PixelBuffer& p, int x, int y, std::uint8_t v) { p.setRgb(x, y, v, v, v); }

// Paints columns x0..x1, rows y0..y1 (inclusive) in the mark colour.
inline void markRect(PixelBuffer& p, int x0, int y0, int x1, int y1) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) p.setRgb(x, y, 0, 255, 0);
}

inline bool isGreen(const PixelBuffer& p, int x, int y) {
    return p.red(x, y) == 0 && p.green(x, y) == 255 && p.blue(x, y) == 0;
}

inline long long countGreen(const PixelBuffer& p) {
    long long n = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) n += isGreen(p, x, y) ? 1 : 0;
    return n;
}

// Runs the set-up stages of a removal, up to the initial priorities.
inline void setUpEngine(reference::InpaintEngine& e, const PixelBuffer& p, int w,
                        int scanBorder = 10) {
    e.load(p, w);
    e.BuildGrayImage();
    e.BuildTargetMask(MaskColour{});
    e.setSearchWindow(scanBorder);
    e.MarkSourceBlocks();
    e.computeInitialPriorities();
}

// Records the engine's calls; can ask for a stop after a number of yields.
class RecordingObserver : public InpaintObserver {
public:
    int yields = 0;
    int previews = 0;
    int stopAfterYields = -1;  // < 0: never stop
    bool yield() override {
        ++yields;
        return stopAfterYields >= 0 && yields > stopAfterYields;
    }
    void preview(const PixelView& picture, const PixelRect&) override {
        ++previews;
        lastPreview = PixelBuffer(picture.width, picture.height);
        for (int y = 0; y < picture.height; ++y)
            std::memcpy(&lastPreview.bytes[lastPreview.offset(0, y)], picture.pixel(0, y),
                        std::size_t(picture.width) * 4u);
    }
    PixelBuffer lastPreview;
};

}  // namespace velmora::test
