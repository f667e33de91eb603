// The search with 256-bit operations: 16 candidates at a time on the tables, four
// pixels at a time without them. This file alone is built for AVX2; it only runs
// after the processor has been asked.
#include "block_search_scan.h"

#if defined(__AVX2__)
#include <immintrin.h>

#include <limits>
#include <vector>

namespace velmora::detail {

namespace {

inline std::int64_t avx2Sum(const TargetBlock& t, const std::uint8_t* block, std::ptrdiff_t stride,
                            std::int64_t threshold) {
    std::int64_t partial = 0;
    for (const TargetBlock::Row& row : t.rows) {
        const std::uint8_t* line = block + std::ptrdiff_t(row.dy) * stride;
        __m256i acc = _mm256_setzero_si256();
        for (int c = row.chunkBegin; c < row.chunkEnd; ++c) {
            const TargetBlock::Chunk& chunk = t.chunks[std::size_t(c)];
            const __m256i s = _mm256_cvtepu8_epi16(_mm_loadu_si128(
                reinterpret_cast<const __m128i*>(line + std::ptrdiff_t(chunk.dx) * 4)));
            const __m256i d = _mm256_and_si256(
                _mm256_sub_epi16(s,
                                 _mm256_load_si256(reinterpret_cast<const __m256i*>(chunk.value))),
                _mm256_load_si256(reinterpret_cast<const __m256i*>(chunk.mask)));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d, d));
        }
        __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
        partial += _mm_cvtsi128_si32(sum);
        if (partial >= threshold) return partial;
    }
    return partial;
}

// Two table entries against two target values, 16 candidates each: their
// differences are interleaved so each candidate's two squares add up in one
// 32-bit lane. `keepB` is zero when the pair holds a single entry.
struct Pair {
    std::ptrdiff_t offsetA, offsetB;  // from the block's top-left in the first table
    __m256i valueA, valueB, keepB;
};

// Adds pairs [p0, p1) into the lanes of acc0 and acc1.
inline void addPairs(const Pair* pairs, std::size_t p0, std::size_t p1, const std::int16_t* origin,
                     __m256i& acc0, __m256i& acc1) {
    // Unrolled, the loop spends less on its own counting: 3 to 7 % fewer instructions.
#pragma GCC unroll 4
    for (std::size_t p = p0; p < p1; ++p) {
        const Pair& pair = pairs[p];
        const __m256i da = _mm256_sub_epi16(
            pair.valueA,
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(origin + pair.offsetA)));
        const __m256i db = _mm256_and_si256(
            _mm256_sub_epi16(pair.valueB, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                                              origin + pair.offsetB))),
            pair.keepB);
        const __m256i lo = _mm256_unpacklo_epi16(da, db);
        const __m256i hi = _mm256_unpackhi_epi16(da, db);
        acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(lo, lo));
        acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(hi, hi));
    }
}

// Candidates are numbered by lane: acc0 holds 0..3 and 8..11, acc1 4..7 and
// 12..15, as unpacking works within each 128-bit half. Open masks keep lane order,
// which costs nothing per test; only the first and last steps of a group map it.
// The map swaps bits 2 and 3, so it is its own inverse.
inline int laneOf(int candidate) {
    return (candidate & 3) | ((candidate >> 3) & 1) << 2 | ((candidate >> 2) & 1) << 3;
}

// A mask of candidates 0..15 by candidate number, moved to lane order.
inline unsigned inLaneOrder(unsigned byCandidate) {
    return (byCandidate & 0xF00Fu) | (byCandidate & 0x00F0u) << 4 | (byCandidate & 0x0F00u) >> 4;
}

// Bit b set where the candidate in lane b is below `limit`.
inline unsigned below(__m256i limit, __m256i acc0, __m256i acc1) {
    return unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, acc0)))) |
           unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, acc1)))) << 8;
}

// A limit for 32-bit lanes, or 0 when it does not fit and the bound must be skipped.
inline std::int32_t laneLimit(std::int64_t scale, std::int64_t threshold) {
    if (threshold > std::numeric_limits<std::int32_t>::max()) return 0;
    const std::int64_t limit = scale * threshold;
    return limit > std::numeric_limits<std::int32_t>::max() ? 0 : std::int32_t(limit);
}

// Pairs per look: most candidates fail within the first few.
constexpr std::size_t kFirstLook = 3;
constexpr std::size_t kLaterLook = 16;

// Sixteen neighbouring candidates at once, through bounds that get tighter and
// dearer, each pass stopping as soon as every candidate is ruled out: gray cells,
// colour cells, colour cells with the exact sums of the single pixels, and last
// the exact sums of all known pixels. A lane whose sum wraps past 2^31 can only
// look open, never ruled out, because a true sum below the limit never wraps;
// exact sums never wrap (3 * 255^2 * 65^2 < 2^31).
void scanWithCells(ScanJob& job) {
    const PixelView& picture = *job.picture;
    const SourceMap& map = *job.sources;
    const TargetBlock& target = *job.target;
    const CellPlane& plane = *job.plane;
    const int radius = target.radius;
    // Not a structured binding: lambdas below capture the bounds.
    const ScanBounds all = scanBounds(job);
    const int ax0 = all.x0, ax1 = all.x1, ay0 = all.y0, ay1 = all.y1;
    const int k = plane.cell;
    const std::int64_t scale = std::int64_t(k) * k;
    const std::size_t cells = target.firstSingle;
    using T = CellPlane::Table;

    auto channel = [](std::int64_t sums, int c) {
        return std::int16_t((sums >> (16 * c)) & 0xFFFF);
    };
    // Entries two cells or pixels at a time: `table` and `value` give, for one
    // of them and a channel, the table it reads and the target's value there.
    auto pairsOf = [&](const TargetBlock::Cell* from, std::size_t count, int channels, auto table,
                       auto value) {
        std::vector<Pair> pairs;
        pairs.reserve((count + 1) / 2 * std::size_t(channels));
        for (std::size_t i = 0; i < count; i += 2) {
            const TargetBlock::Cell& a = from[i];
            const TargetBlock::Cell* b = i + 1 < count ? &from[i + 1] : nullptr;
            const TargetBlock::Cell& second = b != nullptr ? *b : a;
            for (int c = 0; c < channels; ++c)
                pairs.push_back({plane.step(T::Blue, table(c), a.dx, a.dy),
                                 plane.step(T::Blue, table(c), second.dx, second.dy),
                                 _mm256_set1_epi16(value(a, c)),
                                 _mm256_set1_epi16(value(second, c)),
                                 _mm256_set1_epi32(b != nullptr ? -1 : 0)});
        }
        return pairs;
    };
    const std::vector<Pair> grayCells = pairsOf(
        target.cells.data(), cells, 1, [](int) { return T::GrayCell; },
        [&](const TargetBlock::Cell& cell, int) {
            return std::int16_t(channel(cell.sums, 0) + channel(cell.sums, 1) +
                                channel(cell.sums, 2));
        });
    // Colour entries, the three channels of a pair together. Single pixels are
    // held times k; `divide` takes that back out.
    auto colourOf = [&](const TargetBlock::Cell* from, std::size_t count, T first, int divide) {
        return pairsOf(
            from, count, 3, [first](int c) { return T(first + c); },
            [&](const TargetBlock::Cell& cell, int c) {
                return std::int16_t(channel(cell.sums, c) / divide);
            });
    };
    const std::vector<Pair> colourCells = colourOf(target.cells.data(), cells, T::CellBlue, 1);
    const std::vector<Pair> exactSingles =
        colourOf(target.cells.data() + cells, target.cells.size() - cells, T::Blue, k);
    const std::vector<Pair> exactCellPixels =
        colourOf(target.cellPixels.data(), target.cellPixels.size(), T::Blue, k);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i kScale = _mm256_set1_epi32(std::int32_t(scale));

    // Lane masks of the first `lanes` candidates, for the group at a row's end.
    unsigned firstLanes[17] = {};
    for (int n = 1; n <= 16; ++n) firstLanes[n] = firstLanes[n - 1] | 1u << laneOf(n - 1);

    walkTiles(job, [&](const Box& box) {
        // Locals, not the job's fields, so the group loop keeps them in registers.
        std::int64_t bestSum = job.best.sum;
        std::int64_t bestIndex = job.best.index;
        // The limits change only with the bound, which rarely does.
        std::int64_t limitsFor = -1;
        std::int32_t g = 0, c = 0;
        __m256i grayLimit = zero, cellLimit = zero, exactLimit = zero;
        const int x0 = std::max(ax0, box.left), x1 = std::min(ax1, box.right);
        const int y0 = std::max(ay0, box.top), y1 = std::min(ay1, box.bottom);
        // A tile's lines, asked for all at once: they are seldom in the cache, and
        // the group loop would otherwise wait for them a few at a time. Wider boxes
        // are read row after row, which the processor foresees.
        for (int t = 0; t < (job.probes != nullptr ? CellPlane::kTables : 0); ++t)
            for (int y = y0 - radius; y <= y1 + radius; ++y) {
                const char* line = reinterpret_cast<const char*>(plane.at(T(t), x0 - radius, y));
                _mm_prefetch(line, _MM_HINT_T0);
                _mm_prefetch(line + 2 * (x1 - x0 + 2 * radius), _MM_HINT_T0);
            }
        for (int cy = y0; cy <= y1; ++cy) {
            const std::uint8_t* zone = zoneRow(map, cy);
            const std::int64_t rowIndex = std::int64_t(cy) * picture.width;
            const std::int16_t* origin = plane.at(T::Blue, x0 - radius, cy - radius);
            // The other shares' best, read once a row: the line it is on moves
            // between the cores whenever one of them finds a better sum.
            const std::int64_t others = bestSoFar(job, std::numeric_limits<std::int64_t>::max(), 0);
            // The best of all, unpacked once and again only when this share finds a better one.
            std::int64_t rowBest = std::min(others, packBest(bestSum, bestIndex));
            std::int64_t rowBestSum = sumOf(rowBest), rowBestIndex = indexOf(rowBest);
            for (int gx = x0; gx <= x1; gx += 16, origin += 16) {
                unsigned open = firstLanes[std::min(16, x1 - gx + 1)];
                if (zone != nullptr && gx + 15 >= map.zone.left && gx <= map.zone.right) {
                    if (gx >= map.zone.left && gx + 15 <= map.zone.right) {
                        const __m128i refused = _mm_cmpeq_epi8(
                            _mm_loadu_si128(
                                reinterpret_cast<const __m128i*>(zone + (gx - map.zone.left))),
                            _mm_setzero_si128());
                        open &= ~inLaneOrder(unsigned(_mm_movemask_epi8(refused)));
                    } else {
                        for (int i = 0; i < 16 && gx + i <= x1; ++i)
                            if (zoneRefuses(map, zone, gx + i)) open &= ~(1u << laneOf(i));
                    }
                }
                if (open == 0) continue;
                // A tie needs the exact sum, unless every candidate of the group comes
                // after the best in scan order: then it cannot win.
                const std::int64_t threshold = rowBestSum + (rowIndex + gx < rowBestIndex ? 1 : 0);
                if (threshold <= 0) continue;
                if (threshold != limitsFor) {
                    limitsFor = threshold;
                    g = laneLimit(3 * scale, threshold);
                    c = laneLimit(scale, threshold);
                    grayLimit = _mm256_set1_epi32(g);
                    cellLimit = _mm256_set1_epi32(c);
                    exactLimit = _mm256_set1_epi32(std::int32_t(std::min<std::int64_t>(
                        threshold, std::numeric_limits<std::int32_t>::max())));
                }
                // Runs pairs [from, size) of one pass in looks, while any candidate is open.
                auto pass = [&](const std::vector<Pair>& pairs, std::size_t from,
                                std::size_t firstLook, __m256i& acc0, __m256i& acc1, auto&& test) {
                    for (std::size_t p = from; p < pairs.size() && open != 0;) {
                        const std::size_t end =
                            std::min(pairs.size(), p + (p == from ? firstLook : kLaterLook));
                        addPairs(pairs.data(), p, end, origin, acc0, acc1);
                        open &= test();
                        p = end;
                    }
                };
                if (g != 0) {
                    __m256i gray0 = zero, gray1 = zero;
                    auto test = [&] { return below(grayLimit, gray0, gray1); };
                    // Every group takes this first look, so its length is fixed for the compiler.
                    if (grayCells.size() >= kFirstLook) {
                        addPairs(grayCells.data(), 0, kFirstLook, origin, gray0, gray1);
                        open &= test();
                        pass(grayCells, kFirstLook, kLaterLook, gray0, gray1, test);
                    } else {
                        pass(grayCells, 0, kFirstLook, gray0, gray1, test);
                    }
                }
                if (open == 0) continue;
                __m256i cell0 = zero, cell1 = zero;
                __m256i exact0 = zero, exact1 = zero;
                if (c != 0) {
                    pass(colourCells, 0, 3 * kFirstLook, cell0, cell1,
                         [&] { return below(cellLimit, cell0, cell1); });
                    pass(exactSingles, 0, kLaterLook, exact0, exact1, [&] {
                        return below(cellLimit,
                                     _mm256_add_epi32(cell0, _mm256_mullo_epi32(exact0, kScale)),
                                     _mm256_add_epi32(cell1, _mm256_mullo_epi32(exact1, kScale)));
                    });
                } else {
                    // The cell bound was skipped, so the singles still need their exact sums.
                    pass(exactSingles, 0, kLaterLook, exact0, exact1,
                         [&] { return below(exactLimit, exact0, exact1); });
                }
                pass(exactCellPixels, 0, kLaterLook, exact0, exact1,
                     [&] { return below(exactLimit, exact0, exact1); });
                if (open == 0) continue;
                alignas(32) std::int32_t lane[16];
                _mm256_store_si256(reinterpret_cast<__m256i*>(lane), exact0);
                _mm256_store_si256(reinterpret_cast<__m256i*>(lane + 8), exact1);
                while (open != 0) {
                    const int at = __builtin_ctz(open);
                    open &= open - 1u;
                    const std::int64_t index = rowIndex + gx + laneOf(at);
                    const std::int64_t threshold = bestSum + (index < bestIndex ? 1 : 0);
                    const std::int64_t s = lane[at];
                    if (s < threshold) {
                        bestSum = s;
                        bestIndex = index;
                        offerSharedBest(job, packBest(s, index));
                    }
                }
                rowBest = std::min(others, packBest(bestSum, bestIndex));
                rowBestSum = sumOf(rowBest);
                rowBestIndex = indexOf(rowBest);
            }
        }
        job.best.sum = bestSum;
        job.best.index = bestIndex;
    });
}

}  // namespace

void tileBoundsAvx2(const TileProbes& probes, std::size_t first, std::int64_t limit,
                    std::int32_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    // How far the value lies outside each tile's range.
    auto distance = [&](const TileProbes::Probe& p) {
        const __m256i unit = _mm256_set1_epi16(p.tileUnit);
        const __m256i low = _mm256_mullo_epi16(
            _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.tileLow + first))),
            unit);
        const __m256i high = _mm256_mullo_epi16(
            _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.tileHigh + first))),
            unit);
        const __m256i value = _mm256_set1_epi16(p.tileValue);
        return _mm256_max_epi16(
            _mm256_max_epi16(_mm256_sub_epi16(low, value), _mm256_sub_epi16(value, high)), zero);
    };
    // The sums are weighed last: a tile is out once 3 times its sum reaches `limit`.
    const __m256i sumLimit = _mm256_set1_epi32(
        std::int32_t(std::min<std::int64_t>((limit + TileProbes::kWeight - 1) / TileProbes::kWeight,
                                            std::numeric_limits<std::int32_t>::max())));
    __m256i acc0 = zero, acc1 = zero;
    // Any part of the sum bounds a tile, so adding stops once every tile is out:
    // most are after a few cells.
    auto add = [&](const std::vector<TileProbes::Probe>& list) {
        const std::size_t n = list.size();
        std::size_t look = 6;
        for (std::size_t e = 0; e < n; e += 2) {
            const __m256i da = distance(list[e]);
            const __m256i db = e + 1 < n ? distance(list[e + 1]) : zero;
            const __m256i lo = _mm256_unpacklo_epi16(da, db);
            const __m256i hi = _mm256_unpackhi_epi16(da, db);
            acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(lo, lo));
            acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(hi, hi));
            if (e + 2 >= look) {
                if (below(sumLimit, acc0, acc1) == 0) return false;
                look += 16;
            }
        }
        return true;
    };
    // The single pixels only where the cells leave a tile in.
    if (add(probes.cells) && below(sumLimit, acc0, acc1) != 0) add(probes.singles);
    static_assert(TileProbes::kWeight == 3);
    acc0 = _mm256_add_epi32(acc0, _mm256_slli_epi32(acc0, 1));
    acc1 = _mm256_add_epi32(acc1, _mm256_slli_epi32(acc1, 1));
    // Unpacking mixed the halves: acc0 holds tiles 0..3 and 8..11.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permute2x128_si256(acc0, acc1, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8),
                        _mm256_permute2x128_si256(acc0, acc1, 0x31));
}

void scanAvx2(ScanJob& job) {
    if (job.plane != nullptr)
        scanWithCells(job);
    else
        scanCandidates(job, avx2Sum);
}

}  // namespace velmora::detail

#else

namespace velmora::detail {
void scanAvx2(ScanJob& job) { scanSse2(job); }
void tileBoundsAvx2(const TileProbes& probes, std::size_t first, std::int64_t limit,
                    std::int32_t* out) {
    tileBoundsScalar(probes, first, limit, out);
}
}  // namespace velmora::detail

#endif
