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

// Cells per 32-bit run: each adds at most 2 * 2295^2 to a lane, and a run of
// 128 stays below 2^31 even after the pairwise add.
constexpr std::size_t kCellRun = 128;
constexpr std::size_t kSingleRun = 16;

// Eight neighbouring candidates at once: their cell bounds first, then the exact
// sum only for those the bound cannot rule out, one by one in scan order.
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
    // Each cell as a fixed step from its table's entry for the block's top-left.
    struct Step {
        std::ptrdiff_t offset;
        __m256i sums;
    };
    const std::size_t cells = target.cells.size();
    const std::int64_t scale = std::int64_t(plane.cell) * plane.cell;
    std::vector<Step> steps(cells);
    const std::ptrdiff_t tables = plane.pixelsScaled.data() - plane.cellSums.data();
    for (std::size_t c = 0; c < cells; ++c) {
        const TargetBlock::Cell& cell = target.cells[c];
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
        const std::uint8_t* blockRow = picture.bytes + std::ptrdiff_t(cy - w) * picture.stride;
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
            // Ties need the exact sum, so the bound is tested against best + 1.
            // Cells are summed in runs short enough for 32-bit lanes, then in 64 bits.
            const __m256i limit9 = _mm256_set1_epi64x(scale * (bestSum + 1));
            __m256i boundLo = _mm256_setzero_si256();  // candidates 0..3
            __m256i boundHi = _mm256_setzero_si256();  // candidates 4..7
            unsigned open = valid;
            const std::int16_t* origin = plane.entry(false, gx - w, cy - w);
            for (std::size_t c0 = 0, c1 = 0; c0 < cells && open != 0; c0 = c1) {
                // A look after the cells, then after every few single pixels.
                c1 = c0 < target.firstSingle ? std::min(target.firstSingle, c0 + kCellRun)
                                             : std::min(cells, c0 + kSingleRun);
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
                boundLo = _mm256_add_epi64(boundLo,
                                           _mm256_cvtepu32_epi64(_mm256_castsi256_si128(run)));
                boundHi = _mm256_add_epi64(
                    boundHi, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(run, 1)));
                const unsigned below =
                    unsigned(_mm256_movemask_pd(
                        _mm256_castsi256_pd(_mm256_cmpgt_epi64(limit9, boundLo)))) |
                    unsigned(_mm256_movemask_pd(
                        _mm256_castsi256_pd(_mm256_cmpgt_epi64(limit9, boundHi))))
                        << 4;
                open &= below;
            }
            while (open != 0) {
                const int k = __builtin_ctz(open);
                open &= open - 1u;
                const int cx = gx + k;
                const std::int64_t index = rowIndex + cx;
                const std::int64_t threshold = bestSum + (index < bestIndex ? 1 : 0);
                const std::int64_t s = avx2Sum(target, blockRow + std::ptrdiff_t(cx - w) * 4,
                                               picture.stride, threshold);
                if (s < threshold) {
                    bestSum = s;
                    bestIndex = index;
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
