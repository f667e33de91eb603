// Sums four pixels per 256-bit operation. This file alone is built for AVX2;
// it only runs after the processor has been asked.
#include "block_search_scan.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace velmora::detail {

namespace {

inline std::int64_t avx2Sum(const TargetBlock& t, const std::uint8_t* block,
                            std::ptrdiff_t stride, std::int64_t threshold) {
    std::int64_t partial = 0;
    for (const TargetBlock::Row& row : t.rows) {
        const std::uint8_t* line = block + std::ptrdiff_t(row.dy) * stride;
        __m256i acc = _mm256_setzero_si256();
        for (int c = row.chunkBegin; c < row.chunkEnd; ++c) {
            const TargetBlock::Chunk& chunk = t.chunks[std::size_t(c)];
            const __m256i s = _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + std::ptrdiff_t(chunk.dx) * 4)));
            const __m256i d = _mm256_and_si256(
                _mm256_sub_epi16(s, _mm256_load_si256(reinterpret_cast<const __m256i*>(chunk.value))),
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

// Entries per look at the bounds. Each entry adds at most 2 * 2295^2 to a 32-bit
// lane, so any run up to 128 stays below 2^31 even after the pairwise add.
constexpr std::size_t kFirstLook = 4;  // most candidates fail after a few cells
constexpr std::size_t kLaterLook = 16;
constexpr std::size_t kSingleRun = 16;

// Eight neighbouring candidates at once, in three passes that stop as soon as
// every candidate is ruled out: cell bounds, then the exact sums of the pixels
// no cell covers, then the exact sums of the cell pixels. Survivors of all three
// have their exact sums and are taken in scan order.
void scanWithCells(ScanJob& job) {
    const PixelView& picture = *job.picture;
    const SourceMap& map = *job.sources;
    const TargetBlock& target = *job.target;
    const CellPlane& plane = *job.plane;
    const int w = target.radius;
    const int x0 = std::max(job.area.left, w);
    const int x1 = std::min(job.area.right, picture.width - w - 1);
    const int y0 = std::max(job.area.top, w);
    const int y1 = std::min(job.area.bottom, picture.height - w - 1);
    const std::size_t zoneWidth = std::size_t(map.zone.right - map.zone.left + 1);
    std::int64_t bestSum = job.best.sum;
    std::int64_t bestIndex = job.best.index;
    // Each entry as a fixed step from its table's entry for the block's top-left.
    struct Step {
        std::ptrdiff_t offset;
        __m256i sums;
    };
    const std::size_t cells = target.firstSingle;
    const std::size_t singles = target.cells.size();
    const std::size_t all = singles + target.cellPixels.size();
    const std::int64_t scale = std::int64_t(plane.cell) * plane.cell;
    std::vector<Step> steps(all);
    const std::ptrdiff_t tables = plane.pixelsScaled.data() - plane.cellSums.data();
    for (std::size_t c = 0; c < all; ++c) {
        const TargetBlock::Cell& cell =
            c < singles ? target.cells[c] : target.cellPixels[c - singles];
        steps[c].offset = (std::ptrdiff_t(cell.dy) * plane.stride + cell.dx) * 4 +
                          (cell.single ? tables : 0);
        steps[c].sums = _mm256_set1_epi64x(cell.sums);
    }
    const Step* step = steps.data();
    for (int cy = job.area.top + job.rowStart; cy <= job.area.bottom; cy += job.rowStep) {
        if (cy < y0 || cy > y1) continue;
        const bool zoneRow = cy >= map.zone.top && cy <= map.zone.bottom;
        const std::uint8_t* zoneOk =
            zoneRow ? map.okIn.data() + std::size_t(cy - map.zone.top) * zoneWidth : nullptr;
        const std::int64_t rowIndex = std::int64_t(cy) * picture.width;
        for (int gx = x0; gx <= x1; gx += 8) {
            const int lanes = std::min(8, x1 - gx + 1);
            unsigned valid = (1u << lanes) - 1u;
            if (zoneRow)
                for (int k = 0; k < lanes; ++k) {
                    const int cx = gx + k;
                    if (cx >= map.zone.left && cx <= map.zone.right && !zoneOk[cx - map.zone.left])
                        valid &= ~(1u << k);
                }
            if (valid == 0) continue;
            // Ties need the exact sum, so bounds are tested against best + 1.
            std::int64_t bound = bestSum;
            if (job.sharedBest != nullptr)
                bound = std::min(bound, job.sharedBest->load(std::memory_order_relaxed));
            const __m256i limit = _mm256_set1_epi64x(scale * (bound + 1));
            const std::int16_t* origin = plane.entry(false, gx - w, cy - w);
            __m256i boundLo = _mm256_setzero_si256();  // cells, candidates 0..3
            __m256i boundHi = _mm256_setzero_si256();  // cells, candidates 4..7
            __m256i exactLo = _mm256_setzero_si256();
            __m256i exactHi = _mm256_setzero_si256();
            // Sums entries [c0, c1) into lo and hi in 32-bit runs, then in 64 bits.
            auto add = [&](std::size_t c0, std::size_t c1, __m256i& lo64, __m256i& hi64) {
                __m256i accLo = _mm256_setzero_si256();
                __m256i accHi = _mm256_setzero_si256();
                for (std::size_t c = c0; c < c1; ++c) {
                    const std::int16_t* e = origin + step[c].offset;
                    const __m256i t = step[c].sums;
                    const __m256i lo = _mm256_sub_epi16(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e)), t);
                    const __m256i hi = _mm256_sub_epi16(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + 16)), t);
                    accLo = _mm256_add_epi32(accLo, _mm256_madd_epi16(lo, lo));
                    accHi = _mm256_add_epi32(accHi, _mm256_madd_epi16(hi, hi));
                }
                // Pairs of lanes make one candidate each; put them back in order.
                const __m256i run =
                    _mm256_permute4x64_epi64(_mm256_hadd_epi32(accLo, accHi), 0xD8);
                lo64 = _mm256_add_epi64(lo64, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(run)));
                hi64 = _mm256_add_epi64(hi64,
                                        _mm256_cvtepu32_epi64(_mm256_extracti128_si256(run, 1)));
            };
            auto below = [&](__m256i lo, __m256i hi) {
                return unsigned(_mm256_movemask_pd(
                           _mm256_castsi256_pd(_mm256_cmpgt_epi64(limit, lo)))) |
                       unsigned(_mm256_movemask_pd(
                           _mm256_castsi256_pd(_mm256_cmpgt_epi64(limit, hi))))
                           << 4;
            };
            unsigned open = valid;
            for (std::size_t c0 = 0; c0 < cells && open != 0;) {
                // A first look after a few cells: most candidates fail there.
                const std::size_t c1 = std::min(cells, c0 + (c0 == 0 ? kFirstLook : kLaterLook));
                add(c0, c1, boundLo, boundHi);
                open &= below(boundLo, boundHi);
                c0 = c1;
            }
            for (std::size_t c0 = cells; c0 < singles && open != 0;) {
                const std::size_t c1 = std::min(singles, c0 + kSingleRun);
                add(c0, c1, exactLo, exactHi);
                open &= below(_mm256_add_epi64(boundLo, exactLo), _mm256_add_epi64(boundHi, exactHi));
                c0 = c1;
            }
            for (std::size_t c0 = singles; c0 < all && open != 0;) {
                const std::size_t c1 = std::min(all, c0 + kSingleRun);
                add(c0, c1, exactLo, exactHi);
                open &= below(exactLo, exactHi);
                c0 = c1;
            }
            if (open == 0) continue;
            alignas(32) std::int64_t exact[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(exact), exactLo);
            _mm256_store_si256(reinterpret_cast<__m256i*>(exact + 4), exactHi);
            while (open != 0) {
                const int k = __builtin_ctz(open);
                open &= open - 1u;
                const std::int64_t index = rowIndex + gx + k;
                const std::int64_t threshold = bestSum + (index < bestIndex ? 1 : 0);
                const std::int64_t s = exact[k] / scale;
                if (s < threshold) {
                    bestSum = s;
                    bestIndex = index;
                    offerSharedBest(job.sharedBest, s);
                }
            }
        }
    }
    job.best.sum = bestSum;
    job.best.index = bestIndex;
}

}  // namespace

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
}  // namespace velmora::detail

#endif
