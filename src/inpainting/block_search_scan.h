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

// The target's cells and single pixels, a probe per colour, with the offsets of
// their entries from a block's top-left entry in the plane, for tile bounds.
struct TileProbes {
    struct Probe {
        std::ptrdiff_t offset;
        int value;
        CellPlane::Range low;  // the range it lies against; its High follows
        // In the plane's ranges of its source tiles side by side, when listed:
        // the first tile's entries, and the value as they hold it.
        const std::uint8_t* tileLow = nullptr;
        const std::uint8_t* tileHigh = nullptr;
        std::int16_t tileValue = 0;
        std::int16_t tileUnit = 1;  // what one of their steps is worth
    };
    std::vector<Probe> cells;    // against the cell ranges of their colour
    std::vector<Probe> singles;  // against the pixel ranges of their colour
    // Bounds are held 3 k^2 times a sum, as the gray cells of a group's first look.
    static constexpr int kWeight = 3;
    std::int64_t scale;  // 3 k^2: a tile is out when its bound exceeds scale * best
};

// Sixteen source tiles are bounded at a time, so a claim takes that many.
constexpr int kTilesPerBlock = 16;

// The bounds of source tiles [first, first + kTilesPerBlock) from the listed
// ranges, scaled as tileBound's. A bound may stop short once it reaches `limit`.
using TileBoundsFn = void (*)(const TileProbes&, std::size_t first, std::int64_t limit,
                              std::int32_t* out);

// A candidate's (sum, index) as one number that orders like the pair, so the
// shares can keep the best of all in one atomic. Sums that matter stay below
// 2^31 and indices below 2^30; index -1 (none yet) sorts before every candidate,
// so a candidate must then be strictly below the sum.
inline std::int64_t packBest(std::int64_t sum, std::int64_t index) {
    constexpr std::int64_t kCap = (std::int64_t(1) << 31) - 1;
    return std::min(sum, kCap) * (std::int64_t(1) << 32) + (index + 1);
}
inline std::int64_t sumOf(std::int64_t packed) { return packed >> 32; }
inline std::int64_t indexOf(std::int64_t packed) { return (packed & 0xFFFFFFFF) - 1; }

// What the shares of one search have in common, each on its own cache line: a
// line written by one core and read by the other on every group of candidates
// would cost more than the second core gives.
struct SharedSearch {
    alignas(64) std::atomic<int> nextTile{0};
    alignas(64) std::atomic<int> nextFirstTile{0};  // into the blocks walked first
    alignas(64) std::atomic<std::int64_t> best{0};  // packed; the best any share has found
    alignas(64) std::atomic<bool> stop{false};
    // The blocks after the first ones, in a run of its own for each share, taken
    // from the start; a share done with its own helps with the others'. A share
    // then walks much the same part of the window step after step, and finds
    // its tables still in its own cache.
    static constexpr int kMaxRuns = 8;
    struct alignas(64) Run {
        std::atomic<int> next{0};
    };
    Run runs[kMaxRuns];
};

// One share of a search.
struct alignas(64) ScanJob {  // each share's on lines of its own, as it writes to it
    const PixelView* picture = nullptr;
    const SourceMap* sources = nullptr;
    const TargetBlock* target = nullptr;
    const CellPlane* plane = nullptr;  // may be null
    Box area;
    SearchBest best;  // in: the bound to beat; out: the best of this share
    // With probes (and a plane holding ranges), the area is walked in tiles and a
    // tile whose bound exceeds the best so far is skipped whole; `tiles` lists
    // those that hold a source centre.
    const TileProbes* probes = nullptr;
    const std::vector<Box>* tiles = nullptr;
    // When given, bounds sixteen of `tiles` at once from the plane's listed ranges.
    TileBoundsFn boundTiles = nullptr;
    // Blocks of kTilesPerBlock tiles, each with a mask of its tiles walked before
    // all the others, in order of block.
    const std::vector<std::pair<int, unsigned>>* firstBlocks = nullptr;
    // Null with one share that need not stop. Otherwise the tiles (or without
    // probes, bands of rows) are handed out through it, so any number of shares
    // finishes.
    SharedSearch* shared = nullptr;
    // The shared best, with more than one share: a candidate worse than it
    // cannot win anywhere, so every share may drop it.
    std::atomic<std::int64_t>* sharedBest = nullptr;
    // On the caller's share only: asked between tiles whether to stop; the
    // shared `stop` then tells every share to take no more.
    const std::function<bool()>* poll = nullptr;
    int claims = 0;
    int share = 0;  // this share's number, of `shares`
    int shares = 1;
};

// The first of the next `step` tiles or bands for this share, or -1 when none is
// left or the search stops.
inline int claimFrom(ScanJob& job, std::atomic<int>& next, int count, int step = 1) {
    // Every 8th claim: a claim takes microseconds, reading the clock a good part of one.
    if (job.poll != nullptr && job.claims++ % 8 == 0 && (*job.poll)())
        job.shared->stop.store(true, std::memory_order_relaxed);
    if (job.shared->stop.load(std::memory_order_relaxed)) return -1;
    const int t = next.fetch_add(step, std::memory_order_relaxed);
    return t < count ? t : -1;
}
inline int claim(ScanJob& job, int count, int step = 1, bool first = false) {
    return claimFrom(job, first ? job.shared->nextFirstTile : job.shared->nextTile, count, step);
}

// The best of this share so far and every share's, packed.
inline std::int64_t bestSoFar(const ScanJob& job, std::int64_t bestSum, std::int64_t bestIndex) {
    const std::int64_t own = packBest(bestSum, bestIndex);
    return job.sharedBest != nullptr
               ? std::min(own, job.sharedBest->load(std::memory_order_relaxed))
               : own;
}

// Lowers the shared best to `packed` unless it is lower already.
inline void offerSharedBest(const ScanJob& job, std::int64_t packed) {
    if (job.sharedBest == nullptr) return;
    std::atomic<std::int64_t>& shared = *job.sharedBest;
    std::int64_t seen = shared.load(std::memory_order_relaxed);
    while (packed < seen &&
           !shared.compare_exchange_weak(seen, packed, std::memory_order_relaxed)) {
    }
}

// The sum a candidate at `index` or later must stay below to beat `packed`; a
// tie wins only for a candidate earlier in scan order.
inline std::int64_t thresholdFrom(std::int64_t packed, std::int64_t index) {
    return sumOf(packed) + (index < indexOf(packed) ? 1 : 0);
}

// Candidate centres of a share whose blocks fit the picture.
struct ScanBounds {
    int x0, x1, y0, y1;
};

inline ScanBounds scanBounds(const PixelView& picture, const Box& area, int radius) {
    return {std::max(area.left, radius), std::min(area.right, picture.width - radius - 1),
            std::max(area.top, radius), std::min(area.bottom, picture.height - radius - 1)};
}

inline ScanBounds scanBounds(const ScanJob& job) {
    return scanBounds(*job.picture, job.area, job.target->radius);
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

// At least `scale` times the smallest sum of any candidate in the tile whose
// top-left centre is (cx, cy): each cell's colour sum lies in the tile's range
// for that cell, so its distance from the range bounds the candidate's
// difference, and a sum of k^2 squares is at least the square of their sum over
// k^2; a single pixel's distance likewise. Stops adding once past `limit`.
inline std::int64_t tileBound(const CellPlane& plane, const TileProbes& probes, int cx, int cy,
                              int radius, std::int64_t limit) {
    std::int64_t sum = 0;
    auto add = [&](const std::vector<TileProbes::Probe>& list, std::int64_t weight) {
        for (const TileProbes::Probe& p : list) {
            const std::int16_t* low = plane.range(p.low, cx - radius, cy - radius) + p.offset;
            const int lo = *low, hi = low[plane.tableSize];  // the High range follows its Low
            const int d = p.value < lo ? lo - p.value : p.value > hi ? p.value - hi : 0;
            sum += weight * d * d;
            if (sum >= limit) return false;
        }
        return true;
    };
    // The full ranges hold pixels as they are, so a pixel's square weighs the whole scale.
    if (add(probes.cells, TileProbes::kWeight)) add(probes.singles, probes.scale);
    return sum;
}

// Calls scanBox(box) on the tiles of the job's area that may hold a winner, or
// once on the whole area without probes. scanBox keeps job.best up to date.
template <class ScanBox>
inline void walkTiles(ScanJob& job, ScanBox scanBox) {
    if (job.probes == nullptr) {
        if (job.shared == nullptr) {
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
    const CellPlane& plane = *job.plane;
    const TileProbes& probes = *job.probes;
    const int radius = job.target->radius;
    const std::int64_t width = job.picture->width;
    const std::vector<Box>& tiles = *job.tiles;
    const std::size_t count = tiles.size();
    auto limitFor = [&](std::int64_t threshold) {
        return threshold >= (std::int64_t(1) << 40) ? std::numeric_limits<std::int64_t>::max()
                                                    : threshold * probes.scale;
    };
    // The tiles of block b in `mask` that may hold a winner, in order.
    auto walkBlock = [&](int b, unsigned mask) {
        const std::size_t first = std::size_t(b) * kTilesPerBlock;
        if (count - first < kTilesPerBlock) mask &= (1u << (count - first)) - 1u;
        if (mask == 0) return;
        std::int32_t bounds[kTilesPerBlock];
        if (job.boundTiles != nullptr) {
            // Against a limit that lets every tie through; the best only drops.
            const std::int64_t loose =
                limitFor(sumOf(bestSoFar(job, job.best.sum, job.best.index)) + 1);
            job.boundTiles(probes, first, loose, bounds);
            for (unsigned rest = mask; rest != 0; rest &= rest - 1u) {
                const int t = __builtin_ctz(rest);
                if (bounds[t] >= loose) mask &= ~(1u << t);
            }
        }
        for (; mask != 0; mask &= mask - 1u) {
            const int t = __builtin_ctz(mask);
            const Box& tile = tiles[first + std::size_t(t)];
            const std::int64_t best = bestSoFar(job, job.best.sum, job.best.index);
            const std::int64_t limit = limitFor(thresholdFrom(best, tile.top * width + tile.left));
            const std::int64_t bound =
                job.boundTiles != nullptr
                    ? bounds[t]
                    : tileBound(plane, probes, tile.left, tile.top, radius, limit);
            if (bound < limit) scanBox(tile);
        }
    };
    static const std::vector<std::pair<int, unsigned>> kNone;
    const std::vector<std::pair<int, unsigned>>& firstBlocks =
        job.firstBlocks != nullptr ? *job.firstBlocks : kNone;
    constexpr unsigned kAll = (1u << kTilesPerBlock) - 1u;
    // The rest of a block once its first tiles are walked.
    auto laterMask = [&](int b) {
        const auto it = std::lower_bound(firstBlocks.begin(), firstBlocks.end(),
                                         std::pair<int, unsigned>(b, 0u));
        return it != firstBlocks.end() && it->first == b ? kAll & ~it->second : kAll;
    };
    const int blocks = int((count + kTilesPerBlock - 1) / kTilesPerBlock);
    if (job.shared == nullptr) {
        for (const auto& [b, mask] : firstBlocks) walkBlock(b, mask);
        for (int b = 0; b < blocks; ++b) walkBlock(b, laterMask(b));
        return;
    }
    const int firstCount = int(firstBlocks.size());
    for (int i; (i = claim(job, firstCount, 1, true)) >= 0;)
        walkBlock(firstBlocks[std::size_t(i)].first, firstBlocks[std::size_t(i)].second);
    const int runs = std::min(job.shares, SharedSearch::kMaxRuns);
    for (int i = 0; i < runs; ++i) {
        const int r = (job.share + i) % runs;
        const int begin = int(std::int64_t(blocks) * r / runs);
        const int length = int(std::int64_t(blocks) * (r + 1) / runs) - begin;
        for (int b; (b = claimFrom(job, job.shared->runs[r].next, length)) >= 0;)
            walkBlock(begin + b, laterMask(begin + b));
    }
}

inline void tileBoundsScalar(const TileProbes& probes, std::size_t first, std::int64_t limit,
                             std::int32_t* out) {
    std::int64_t sums[kTilesPerBlock] = {};
    auto add = [&](const std::vector<TileProbes::Probe>& list) {
        for (const TileProbes::Probe& p : list) {
            const std::uint8_t* lows = p.tileLow + first;
            const std::uint8_t* highs = p.tileHigh + first;
            const int value = p.tileValue;
            for (int t = 0; t < kTilesPerBlock; ++t) {
                const int low = lows[t] * p.tileUnit, high = highs[t] * p.tileUnit;
                const int d = value < low ? low - value : value > high ? value - high : 0;
                sums[t] += std::int64_t(d) * d;
            }
        }
    };
    add(probes.cells);
    // The single pixels only where the cells leave a tile in.
    if (std::any_of(sums, sums + kTilesPerBlock,
                    [&](std::int64_t s) { return TileProbes::kWeight * s < limit; }))
        add(probes.singles);
    for (int t = 0; t < kTilesPerBlock; ++t)
        out[t] = std::int32_t(std::min<std::int64_t>(TileProbes::kWeight * sums[t],
                                                     std::numeric_limits<std::int32_t>::max()));
}

void tileBoundsAvx2(const TileProbes& probes, std::size_t first, std::int64_t limit,
                    std::int32_t* out);

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
    const int radius = target.radius;
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
            const std::uint8_t* blockRow =
                picture.bytes + std::ptrdiff_t(cy - radius) * picture.stride;
            // The other shares' best, read once a row: it rarely changes.
            std::int64_t best = bestSoFar(job, bestSum, bestIndex);
            for (int cx = x0; cx <= x1; ++cx) {
                if (zoneRefuses(map, zone, cx)) continue;
                const std::int64_t index = rowIndex + cx;
                const std::int64_t threshold = thresholdFrom(best, index);
                const std::int64_t s = sum(target, blockRow + std::ptrdiff_t(cx - radius) * 4,
                                           picture.stride, threshold);
                if (s < threshold) {
                    bestSum = s;
                    bestIndex = index;
                    best = packBest(s, index);
                    offerSharedBest(job, best);
                }
            }
        }
        job.best.sum = bestSum;
        job.best.index = bestIndex;
    });
}

}  // namespace
}  // namespace velmora::detail
