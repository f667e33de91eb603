#pragma once

// The exemplar-based removal engine (region filling in the manner of
// Criminisi, Perez and Toyama): every pixel of the mask colour is filled,
// block by block, from the best-matching block of the known picture.
// Plain C++; the caller owns all display and all file handling.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pixel_buffer.h"

namespace velmora {

// Exact colour of the pixels to fill; compared on bytes 2 (red), 1 (green), 0 (blue).
struct MaskColour {
    std::uint8_t red = 0;
    std::uint8_t green = 255;
    std::uint8_t blue = 0;
};

struct InpaintOptions {
    MaskColour mask;       // pure green unless told otherwise
    bool preview = false;  // write the picture and call preview() after every step
    int blockSize = 4;     // w: blocks are (2w+1) x (2w+1) pixels; accepted 1..kMaxBlockRadius
    int scanBorder = 10;   // pixels by which source centres may lie outside the region's box; >= 0
};

inline constexpr int kMaxBlockRadius = 1000;
// Pictures wider or taller than this are refused (the box coordinates are 16-bit).
inline constexpr int kMaxPictureSide = 32767;

enum class InpaintStatus {
    Ok,            // region filled completely, or nothing was marked (steps 0)
    Stopped,       // the observer asked to stop; steps 0
    NoSourceArea,  // marked pixels exist but no whole known block does; picture unchanged
    InvalidInput,  // bad buffer or option; picture unchanged
    OutOfMemory,   // working state could not be had; picture unchanged
};

struct InpaintResult {
    int steps = 0;  // fill steps of a completed run; 0 when stopped or failed
    InpaintStatus status = InpaintStatus::Ok;
    std::string message;  // one sentence for a non-Ok status, empty otherwise
};

// How the engine lets its caller stay responsive and watch the fill.
class InpaintObserver {
public:
    virtual ~InpaintObserver() = default;
    // Called after each stage of a step (five times per step, once more after a
    // preview write). Let pending work run, then return true to stop the run.
    // A stop request must keep being reported by later calls: the call that
    // follows a preview write is not tested.
    virtual bool yield() = 0;
    // With preview on, called once per step after `picture` has been brought up
    // to date; `changed` is the block just filled, clipped to the picture.
    virtual void preview(const PixelBuffer& picture, const PixelRect& changed) = 0;
    // Called at the end of every step with the step count so far and the number
    // of pixels still to fill. For progress display; the default ignores it.
    virtual void stepFinished(int steps, long long pixelsLeft) {
        (void)steps;
        (void)pixelsLeft;
    }
};

// The removal run. `picture` is read and, on completion, replaced by the filled
// result; bytes other than those of pixels to fill never change, and byte 3 of a
// filled pixel is the one of its source pixel. With preview on, `picture` is also
// brought up to date after every step, so a stopped run leaves the last preview
// state; with preview off a stopped or failed run leaves `picture` untouched.
// `observer` may be null (never stops, no preview).
// Returns the number of fill steps (>= 1 when anything was marked), 0 otherwise.
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

}  // namespace velmora
