#pragma once

// The candidate scan shared by every kernel set. Each kernel file includes this
// with its own instruction set switched on; the anonymous namespace keeps the
// copies apart.

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "block_search.h"

namespace velmora::detail {

// One share of a search: candidate rows area.top + rowStart, + rowStep, ...
struct ScanJob {
    const PixelView* picture = nullptr;
    const SourceMap* sources = nullptr;
    const TargetBlock* target = nullptr;
    const CellPlane* plane = nullptr;  // may be null
    Box area;
    int rowStart = 0;
    int rowStep = 1;
    SearchBest best;  // in: the bound to beat; out: the best of this share
    // The smallest sum any share has found so far, or null with one share. A
    // candidate above it cannot win anywhere, so every share may drop it.
    std::atomic<std::int64_t>* sharedBest = nullptr;
};

// Lowers the shared best to `sum` unless it is lower already.
inline void offerSharedBest(std::atomic<std::int64_t>* shared, std::int64_t sum) {
    if (shared == nullptr) return;
    std::int64_t seen = shared->load(std::memory_order_relaxed);
    while (sum < seen && !shared->compare_exchange_weak(seen, sum, std::memory_order_relaxed)) {
    }
}

// Candidate centres of a share whose blocks fit the picture.
struct ScanBounds {
    int x0, x1, y0, y1;
};

inline ScanBounds scanBounds(const ScanJob& job) {
    const int w = job.target->radius;
    return {std::max(job.area.left, w), std::min(job.area.right, job.picture->width - w - 1),
            std::max(job.area.top, w), std::min(job.area.bottom, job.picture->height - w - 1)};
}

// The look-up row of the source map's zone for candidate row cy; null when the
// row misses the zone and every centre in it qualifies.
inline const std::uint8_t* zoneRow(const SourceMap& map, int cy) {
    if (cy < map.zone.top || cy > map.zone.bottom) return nullptr;
    return map.okIn.data() +
           std::size_t(cy - map.zone.top) * std::size_t(map.zone.right - map.zone.left + 1);
}

// Whether centre cx of a row with look-up row `zone` is refused.
inline bool zoneRefuses(const SourceMap& map, const std::uint8_t* zone, int cx) {
    return zone != nullptr && cx >= map.zone.left && cx <= map.zone.right &&
           !zone[cx - map.zone.left];
}

void scanScalar(ScanJob& job);
void scanSse2(ScanJob& job);
void scanAvx2(ScanJob& job);

namespace {

// Sum over the pixel list, one row at a time; stops once `threshold` is reached.
inline std::int64_t scalarSum(const TargetBlock& t, const std::uint8_t* block,
                              std::ptrdiff_t stride, std::int64_t threshold) {
    std::int64_t partial = 0;
    for (const TargetBlock::Row& row : t.rows) {
        const std::uint8_t* line = block + std::ptrdiff_t(row.dy) * stride;
        std::int64_t rowSum = 0;
        for (int k = row.pixelBegin; k < row.pixelEnd; ++k) {
            const TargetBlock::Pixel& p = t.pixels[std::size_t(k)];
            const std::uint8_t* s = line + std::ptrdiff_t(p.dx) * 4;
            const int db = int(s[0]) - p.blue;
            const int dg = int(s[1]) - p.green;
            const int dr = int(s[2]) - p.red;
            rowSum += db * db + dg * dg + dr * dr;
        }
        partial += rowSum;
        if (partial >= threshold) return partial;
    }
    return partial;
}

// `sum(target, blockTopLeft, stride, threshold)` must return the exact sum, or any
// value >= threshold once the sum is known to reach it.
template <class SumFn>
inline void scanCandidates(ScanJob& job, SumFn sum) {
    const PixelView& picture = *job.picture;
    const SourceMap& map = *job.sources;
    const TargetBlock& target = *job.target;
    const int w = target.radius;
    const auto [x0, x1, y0, y1] = scanBounds(job);
    std::int64_t bestSum = job.best.sum;
    std::int64_t bestIndex = job.best.index;
    for (int cy = job.area.top + job.rowStart; cy <= job.area.bottom; cy += job.rowStep) {
        if (cy < y0 || cy > y1) continue;
        const std::uint8_t* zone = zoneRow(map, cy);
        const std::int64_t rowIndex = std::int64_t(cy) * picture.width;
        const std::uint8_t* blockRow = picture.bytes + std::ptrdiff_t(cy - w) * picture.stride;
        for (int cx = x0; cx <= x1; ++cx) {
            if (zoneRefuses(map, zone, cx)) continue;
            const std::int64_t index = rowIndex + cx;
            // A tie wins only for a candidate earlier in scan order than the best.
            const std::int64_t threshold = bestSum + (index < bestIndex ? 1 : 0);
            const std::int64_t s =
                sum(target, blockRow + std::ptrdiff_t(cx - w) * 4, picture.stride, threshold);
            if (s < threshold) {
                bestSum = s;
                bestIndex = index;
            }
        }
    }
    job.best.sum = bestSum;
    job.best.index = bestIndex;
}

}  // namespace
}  // namespace velmora::detail
