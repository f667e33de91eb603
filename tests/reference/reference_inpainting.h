#pragma once

// The removal engine written the plain way: whole-picture arrays of doubles,
// every candidate block summed in full, one thread. Slow on purpose; it is the
// yardstick that the shipped engine must match pixel for pixel.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "inpainting.h"

namespace velmora::reference {

// Same contract as velmora::Inpaint; options.threads is ignored.
InpaintResult Inpaint(PixelBuffer& picture, const InpaintOptions& options,
                      InpaintObserver* observer);

// Gray value of a pixel on the 0..255 scale: (19267 G + 3735 R + 9765 B) / 32767.
double grayOf(double red, double green, double blue);

// The working state of one run and its stages, named as in the engine's design.
// `Inpaint` drives it; tests drive the stages one by one. Positions are pixels,
// x column, y row; linear index i = y * width + x.
class InpaintEngine {
public:
    // Mask states.
    static constexpr std::int16_t kKnown = 0;
    static constexpr std::int16_t kUnfilled = -1;
    static constexpr std::int16_t kFront = -2;

    // Sizes the state for `picture` and fills the grid and the channels (run steps 1 to 4).
    // Preconditions: picture.isValid(), sides <= kMaxPictureSide, 1 <= blockRadius.
    // Throws std::bad_alloc when the arrays cannot be had.
    void load(const PixelBuffer& picture, int blockRadius);

    void BuildGrayImage();
    void BuildTargetMask(const MaskColour& mask);
    // Clips the target box widened by `scanBorder` to the picture (run step 7).
    void setSearchWindow(int scanBorder);
    void MarkSourceBlocks();
    // Priority of every front pixel in the target box (run step 9).
    void computeInitialPriorities();

    bool HasUnfilledPixels() const;
    // The front pixel with the strictly greatest priority above 0, first in
    // row-major order of the target box. Returns false when none is above 0;
    // then (px, py) is the first front pixel of the box, when there is one.
    bool selectTarget(int& px, int& py) const;
    // Best source centre in the search window; false (sx, sy unchanged) when none.
    bool FindSourceBlock(int px, int py, int& sx, int& sy) const;
    // Best source centre anywhere in the picture, no threshold; false when none exists.
    bool findSourceBlockAnywhere(int px, int py, int& sx, int& sy) const;
    // Fills the pixels still to fill of the block at (px, py); returns how many.
    long long CopyBlock(int px, int py, int sx, int sy, double c);
    void UpdateMask(int px, int py, const MaskColour& mask);
    void UpdatePriorities(int px, int py);

    std::pair<double, double> Gradient(int x, int y) const;
    std::pair<double, double> FrontDirection(int x, int y) const;
    double ConfidenceTerm(int x, int y) const;
    double DataTerm(int x, int y) const;
    double Priority(int x, int y) const;

    // True when at least one pixel may serve as a source centre.
    bool hasAnySourceBlock() const;
    long long pixelsToFill() const { return m_pixelsToFill; }
    // The block at (x, y) clipped to the picture.
    PixelRect blockRect(int x, int y) const;

    int width() const { return m_width; }
    int height() const { return m_height; }
    int blockRadius() const { return m_blockRadius; }
    const PixelBuffer& grid() const { return m_grid; }
    std::int16_t maskState(int x, int y) const { return m_maskState[index(x, y)]; }
    double confidence(int x, int y) const { return m_confidence[index(x, y)]; }
    double grayValue(int x, int y) const { return m_gray[index(x, y)]; }
    double priorityValue(int x, int y) const { return m_priority[index(x, y)]; }
    bool sourceBlockOk(int x, int y) const { return m_sourceBlockOk[index(x, y)] != 0; }
    // Target box, inclusive; top > bottom when nothing is marked.
    int targetTop() const { return m_targetTop; }
    int targetBottom() const { return m_targetBottom; }
    int targetLeft() const { return m_targetLeft; }
    int targetRight() const { return m_targetRight; }
    int searchTop() const { return m_searchTop; }
    int searchBottom() const { return m_searchBottom; }
    int searchLeft() const { return m_searchLeft; }
    int searchRight() const { return m_searchRight; }

private:
    std::ptrdiff_t index(int x, int y) const { return std::ptrdiff_t(y) * m_width + x; }
    bool hasMaskColour(std::ptrdiff_t i, const MaskColour& mask) const;
    bool onFront(int x, int y) const;
    // Sum of squared differences between the known part of the block at (px, py)
    // and the block at (cx, cy).
    double blockDistance(int px, int py, int cx, int cy) const;
    // Best source centre in the inclusive box with a sum below limit; false when none.
    bool bestSourceIn(int top, int bottom, int left, int right, double limit, int px, int py,
                      int& sx, int& sy) const;

    int m_width = 0;
    int m_height = 0;
    int m_blockRadius = 0;
    PixelBuffer m_grid;                       // what is written back
    std::vector<std::uint32_t> m_pixelValue;  // pixels as loaded, then as filled
    std::vector<double> m_red, m_green, m_blue, m_gray;
    std::vector<std::int16_t> m_maskState;
    std::vector<double> m_confidence;
    std::vector<double> m_priority;
    std::vector<std::uint8_t> m_sourceBlockOk;
    long long m_pixelsToFill = 0;
    int m_targetTop = 0, m_targetBottom = 0, m_targetLeft = 0, m_targetRight = 0;
    int m_searchTop = 0, m_searchBottom = -1, m_searchLeft = 0, m_searchRight = -1;
};

}  // namespace velmora::reference
