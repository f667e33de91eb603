#pragma once

// The exemplar-based removal engine (region filling in the manner of
// Criminisi, Perez and Toyama): every pixel of the mask colour is filled,
// block by block, from the best-matching block of the known picture.
// Plain C++; the caller owns all display and all file handling.

#include <cstddef>
#include <cstdint>
#include <string>

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
    int radius = 4;  // the block radius w: blocks are (2w+1) x (2w+1) pixels; 1..kMaxBlockRadius
    int scanBorder = 10;  // pixels by which source centres may lie outside the region's box; >= 0
    int threads = 0;  // threads for the source search; 0: one per processor. Never changes results.
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
    // preview write), and within a long set-up or search whenever 40 ms have
    // passed since the last call. Let pending work run, then return true to stop
    // the run.
    // A stop request must keep being reported by later calls: the call that
    // follows a preview write is not tested.
    virtual bool yield() = 0;
    // With preview on, called once per step after `picture` has been brought up
    // to date; `changed` is the block just filled, clipped to the picture.
    virtual void preview(const PixelView& picture, const PixelRect& changed) = 0;
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
// The working state covers only the marked region, its margins and the search
// window, so memory beyond the picture itself stays small.
InpaintResult Inpaint(PixelView picture, const InpaintOptions& options, InpaintObserver* observer);
InpaintResult Inpaint(PixelBuffer& picture, const InpaintOptions& options,
                      InpaintObserver* observer);

}  // namespace velmora
