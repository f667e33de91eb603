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
        int dx, dy;  // in the block
        int value;
    };
    std::vector<Probe> cells;    // against the gray cell ranges
    std::vector<Probe> singles;  // against the gray pixel ranges
    std::int64_t singleWeight;   // k^2
    std::int64_t scale;          // 3 k^2: a tile is out when its bound exceeds scale * best
};

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
    alignas(64) std::atomic<int> nextFirstTile{0};  // into the tiles walked first
    alignas(64) std::atomic<std::int64_t> best{0};  // packed; the best any share has found
    alignas(64) std::atomic<bool> stop{false};
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
    // When given, the bounds of `tiles` worked out beforehand, so many at once.
    const std::int32_t* tileBounds = nullptr;
    // Runs [first, end) of `tiles` walked before all the others, in order.
    const std::vector<std::pair<int, int>>* firstRuns = nullptr;
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
};

// The first of the next `step` tiles or bands for this share, or -1 when none is
// left or the search stops.
inline int claim(ScanJob& job, int count, int step = 1, bool first = false) {
    // Every 8th claim: a claim takes microseconds, reading the clock a good part of one.
    if (job.poll != nullptr && job.claims++ % 8 == 0 && (*job.poll)())
        job.shared->stop.store(true, std::memory_order_relaxed);
    if (job.shared->stop.load(std::memory_order_relaxed)) return -1;
    std::atomic<int>& next = first ? job.shared->nextFirstTile : job.shared->nextTile;
    const int t = next.fetch_add(step, std::memory_order_relaxed);
    return t < count ? t : -1;
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
// top-left centre is (cx, cy): each cell's gray sum lies in the tile's range for
// that cell, so its distance from the range bounds the candidate's difference,
// and a sum of 3 k^2 squares is at least the square of their sum over 3 k^2.
// Stops adding once past `limit`.
inline std::int64_t tileBound(const CellPlane& plane, const TileProbes& probes, int cx, int cy,
                              int w, std::int64_t limit) {
    std::int64_t sum = 0;
    auto add = [&](const std::vector<TileProbes::Probe>& list, CellPlane::Range lowRange,
                   std::int64_t weight) {
        const std::int16_t* low = plane.range(lowRange, cx - w, cy - w);
        const std::int16_t* high = low + plane.tableSize;  // the High range follows its Low
        for (const TileProbes::Probe& p : list) {
            const int lo = low[p.offset], hi = high[p.offset];
            const int d = p.value < lo ? lo - p.value : p.value > hi ? p.value - hi : 0;
            sum += weight * d * d;
            if (sum >= limit) return false;
        }
        return true;
    };
    if (add(probes.cells, CellPlane::CellLow, 1))
        add(probes.singles, CellPlane::PixelLow, probes.singleWeight);
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
    const int w = job.target->radius;
    const std::int64_t width = job.picture->width;
    const std::vector<Box>& tiles = *job.tiles;
    auto limitFor = [&](std::int64_t threshold) {
        return threshold >= (std::int64_t(1) << 40) ? std::numeric_limits<std::int64_t>::max()
                                                    : threshold * job.probes->scale;
    };
    // Most tiles fall to a bound worked out beforehand against a limit that lets
    // every tie through; it is renewed after each tile scanned and every so
    // often for the other shares' finds, and the best only ever drops.
    std::int64_t looseLimit = std::numeric_limits<std::int64_t>::max();
    int sinceRenewed = 1 << 30;
    auto visit = [&](std::size_t i) {
        if (job.tileBounds != nullptr) {
            if (++sinceRenewed > 64) {
                looseLimit = limitFor(sumOf(bestSoFar(job, job.best.sum, job.best.index)) + 1);
                sinceRenewed = 0;
            }
            if (job.tileBounds[i] >= looseLimit) return;
        }
        const Box& tile = tiles[i];
        const std::int64_t best = bestSoFar(job, job.best.sum, job.best.index);
        const std::int64_t limit = limitFor(thresholdFrom(best, tile.top * width + tile.left));
        const std::int64_t bound =
            job.tileBounds != nullptr
                ? job.tileBounds[i]
                : tileBound(plane, *job.probes, tile.left, tile.top, w, limit);
        if (bound >= limit) return;
        scanBox(tile);
        sinceRenewed = 1 << 30;
    };
    // The runs walked first, then the runs between them, each numbered on from
    // the one before, so a share can claim the n-th tile of either part.
    const int count = int(tiles.size());
    static const std::vector<std::pair<int, int>> kNone;
    const std::vector<std::pair<int, int>>& firstRuns =
        job.firstRuns != nullptr ? *job.firstRuns : kNone;
    std::vector<std::pair<int, int>> laterRuns;
    int from = 0;
    for (const auto& [begin, end] : firstRuns) {
        if (begin > from) laterRuns.push_back({from, begin});
        from = end;
    }
    if (from < count) laterRuns.push_back({from, count});
    auto walk = [&](const std::vector<std::pair<int, int>>& runs, int n0, int n1) {
        int before = 0;  // tiles in the runs passed
        for (const auto& [begin, end] : runs) {
            const int length = end - begin;
            const int last = begin + std::min(n1, before + length) - before;
            for (int i = begin + std::max(n0, before) - before; i < last; ++i) {
                // A tight loop over the tiles ruled out beforehand, most of them.
                if (job.tileBounds != nullptr && sinceRenewed <= 64) {
                    const int skipFrom = i;
                    while (i < last && job.tileBounds[i] >= looseLimit) ++i;
                    sinceRenewed += i - skipFrom;
                    if (i == last) break;
                }
                visit(std::size_t(i));
            }
            before += length;
            if (before >= n1) return;
        }
    };
    auto total = [](const std::vector<std::pair<int, int>>& runs) {
        int n = 0;
        for (const auto& [begin, end] : runs) n += end - begin;
        return n;
    };
    const int firstCount = total(firstRuns), laterCount = total(laterRuns);
    if (job.shared == nullptr) {
        walk(firstRuns, 0, firstCount);
        walk(laterRuns, 0, laterCount);
        return;
    }
    // Several tiles per claim: every claim moves a cache line between the cores,
    // and most tiles take a compare.
    constexpr int step = 16;
    for (int t; (t = claim(job, firstCount, step, true)) >= 0;) walk(firstRuns, t, t + step);
    for (int t; (t = claim(job, laterCount, step)) >= 0;) walk(laterRuns, t, t + step);
}

// The bounds of all of `plane`'s source tiles against `probes`, scaled as
// tileBound's; for blocks of `radius`. A bound may stop short once it reaches
// `limit`.
inline void tileBoundsScalar(const CellPlane& plane, const TileProbes& probes, int radius,
                             std::int64_t /*limit*/, std::int32_t* out) {
    const std::size_t count = plane.tiles.size();
    std::vector<std::int64_t> sums(count, 0);
    auto add = [&](const TileProbes::Probe& p, CellPlane::Range lowRange, int weight) {
        const std::int16_t* low = plane.tileRange(p.dx, p.dy, lowRange, radius);
        const std::int16_t* high =
            plane.tileRange(p.dx, p.dy, CellPlane::Range(lowRange + 1), radius);
        const int value = weight * p.value;
        for (std::size_t t = 0; t < count; ++t) {
            const int d = value < low[t] ? low[t] - value : value > high[t] ? value - high[t] : 0;
            sums[t] += std::int64_t(d) * d;
        }
    };
    for (const TileProbes::Probe& p : probes.cells) add(p, CellPlane::CellLow, 1);
    const int k = plane.cell;
    for (const TileProbes::Probe& p : probes.singles) add(p, CellPlane::PixelLow, k);
    for (std::size_t t = 0; t < count; ++t)
        out[t] =
            std::int32_t(std::min<std::int64_t>(sums[t], std::numeric_limits<std::int32_t>::max()));
}

void tileBoundsAvx2(const CellPlane& plane, const TileProbes& probes, int radius,
                    std::int64_t limit, std::int32_t* out);

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
        // The other shares' best, read once a row: it rarely changes.
        std::int64_t best = bestSoFar(job, bestSum, bestIndex);
        for (int cx = x0; cx <= x1; ++cx) {
            if (zoneRefuses(map, zone, cx)) continue;
            const std::int64_t index = rowIndex + cx;
            const std::int64_t threshold = thresholdFrom(best, index);
            const std::int64_t s =
                sum(target, blockRow + std::ptrdiff_t(cx - w) * 4, picture.stride, threshold);
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
