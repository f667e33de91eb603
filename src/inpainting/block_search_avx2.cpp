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

}  // namespace

void scanAvx2(ScanJob& job) { scanCandidates(job, avx2Sum); }

}  // namespace velmora::detail

#else

namespace velmora::detail {
void scanAvx2(ScanJob& job) { scanSse2(job); }
}  // namespace velmora::detail

#endif
