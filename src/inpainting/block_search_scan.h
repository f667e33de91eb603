#pragma once

// The candidate scan shared by every kernel set. Each kernel file includes this
// with its own instruction set switched on; the anonymous namespace keeps the
// copies apart.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "block_search.h"

namespace velmora::detail {

// The target's cells and single pixels as gray values, with the offsets of
// their entries from a block's top-left entry in the plane, for tile bounds.
struct TileProbes {
    struct Probe {
        std::ptrdiff_t offset;
        int value;
    };
    std::vector<Probe> cells;    // against the gray cell ranges
    std::vector<Probe> singles;  // against the gray pixel ranges
    std::int64_t singleWeight;   // k^2
    std::int64_t scale;          // 3 k^2: a tile is out when its bound exceeds scale * best
};

// One share of a search.
struct ScanJob {
    const PixelView* picture = nullptr;
    const SourceMap* sources = nullptr;
    const TargetBlock* target = nullptr;
    const CellPlane* plane = nullptr;  // may be null
    Box area;
    SearchBest best;  // in: the bound to beat; out: the best of this share
    // The smallest sum any share has found so far, or null with one share. A
    // candidate above it cannot win anywhere, so every share may drop it.
    std::atomic<std::int64_t>* sharedBest = nullptr;
    // With probes (and a plane holding ranges), the area is walked in coarse
    // tiles, then fine ones, and a tile whose bound exceeds the best so far is
    // skipped whole. `nextTile`, when set, hands the coarse tiles (or without
    // probes, bands of rows) out to the shares, so any number of them finishes.
    const TileProbes* probes = nullptr;
    std::atomic<int>* nextTile = nullptr;
    // With nextTile: `poll`, on the caller's share only, is asked between tiles
    // whether to stop; `stop` then tells every share to take no more.
    const std::function<bool()>* poll = nullptr;
    std::atomic<bool>* stop = nullptr;
    int claims = 0;
};

// The next tile or band for this share, or -1 when none is left or the search stops.
inline int claim(ScanJob& job, int count) {
    // Every 16th claim: a tile takes microseconds, reading the clock a good part of one.
    if (job.poll != nullptr && job.claims++ % 16 == 0 && (*job.poll)())
        job.stop->store(true, std::memory_order_relaxed);
    if (job.stop != nullptr && job.stop->load(std::memory_order_relaxed)) return -1;
    const int t = job.nextTile->fetch_add(1, std::memory_order_relaxed);
    return t < count ? t : -1;
}

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

// The best sum any candidate may still tie, as a bound on the scaled tile sums.
inline std::int64_t tileLimit(const ScanJob& job) {
    std::int64_t bound = job.best.sum;
    if (job.sharedBest != nullptr)
        bound = std::min(bound, job.sharedBest->load(std::memory_order_relaxed));
    return bound >= (std::int64_t(1) << 56) ? std::numeric_limits<std::int64_t>::max()
                                           : bound * job.probes->scale;
}

// At least `scale` times the smallest sum of any candidate in the tile of the
// given level whose top-left centre is (cx, cy): each cell's gray sum lies in the
// tile's range for that cell, so its distance from the range bounds the
// candidate's difference, and a sum of 3 k^2 squares is at least the square of
// their sum over 3 k^2.
inline std::int64_t tileBound(const CellPlane& plane, const TileProbes& probes, int level,
                              int cx, int cy, int w) {
    auto part = [&](const std::vector<TileProbes::Probe>& list, CellPlane::Range lowRange) {
        const std::int16_t* low = plane.range(level, lowRange, cx - w, cy - w);
        const std::int16_t* high = low + plane.tableSize;  // the High range follows its Low
        std::int64_t sum = 0;
        for (const TileProbes::Probe& p : list) {
            const int lo = low[p.offset], hi = high[p.offset];
            const int d = p.value < lo ? lo - p.value : p.value > hi ? p.value - hi : 0;
            sum += std::int64_t(d) * d;
        }
        return sum;
    };
    return part(probes.cells, CellPlane::CellLow) +
           probes.singleWeight * part(probes.singles, CellPlane::PixelLow);
}

// Calls scanBox(box) on the fine tiles of the job's area that may hold a winner,
// or once on the whole area without probes. scanBox keeps job.best up to date.
template <class ScanBox>
inline void walkTiles(ScanJob& job, ScanBox scanBox) {
    if (job.probes == nullptr) {
        if (job.nextTile == nullptr) {
            scanBox(job.area);
            return;
        }
        // Bands of whole rows: neighbouring rows share the lines they read.
        constexpr int kBand = 8;
        const int bands = (job.area.bottom - job.area.top) / kBand + 1;
        for (int t; (t = claim(job, bands)) >= 0;)
            scanBox(Box{job.area.left, job.area.top + t * kBand, job.area.right,
                        std::min(job.area.bottom, job.area.top + t * kBand + kBand - 1)});
        return;
    }
    const auto [x0, x1, y0, y1] = scanBounds(job);
    if (x0 > x1 || y0 > y1) return;
    const CellPlane& plane = *job.plane;
    const int w = job.target->radius;
    const int tw = CellPlane::kTileWidth[0], th = CellPlane::kTileHeight[0];
    const int across = (x1 - x0) / tw + 1;
    const int tiles = across * ((y1 - y0) / th + 1);
    // Each tile of a level that may hold a winner is split into the next level's.
    auto visit = [&](auto& self, int level, const Box& tile) -> void {
        if (job.sources->refusesAll(tile)) return;
        if (tileBound(plane, *job.probes, level, tile.left, tile.top, w) > tileLimit(job)) return;
        if (level + 1 == CellPlane::kLevels) {
            scanBox(tile);
            return;
        }
        const int fw = CellPlane::kTileWidth[level + 1], fh = CellPlane::kTileHeight[level + 1];
        for (int fy = tile.top; fy <= tile.bottom; fy += fh)
            for (int fx = tile.left; fx <= tile.right; fx += fw)
                self(self, level + 1,
                     Box{fx, fy, std::min(tile.right, fx + fw - 1), std::min(tile.bottom, fy + fh - 1)});
    };
    for (int t; (t = claim(job, tiles)) >= 0;)
        visit(visit, 0,
              Box{x0 + t % across * tw, y0 + t / across * th, std::min(x1, x0 + t % across * tw + tw - 1),
                  std::min(y1, y0 + t / across * th + th - 1)});
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
    // Not a structured binding: lambdas below capture the bounds.
    const ScanBounds all = scanBounds(job);
    const int ax0 = all.x0, ax1 = all.x1, ay0 = all.y0, ay1 = all.y1;
    walkTiles(job, [&](const Box& box) {
    std::int64_t bestSum = job.best.sum;
    std::int64_t bestIndex = job.best.index;
    const int x0 = std::max(ax0, box.left), x1 = std::min(ax1, box.right);
    const int y0 = std::max(ay0, box.top), y1 = std::min(ay1, box.bottom);
    for (int cy = y0; cy <= y1; ++cy) {
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
                offerSharedBest(job.sharedBest, s);
            }
        }
    }
    job.best.sum = bestSum;
    job.best.index = bestIndex;
    });
}

}  // namespace
}  // namespace velmora::detail
