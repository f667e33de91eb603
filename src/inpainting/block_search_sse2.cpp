// Sums four pixels at a time with SSE2, which every x86-64 processor has.
#include "block_search_scan.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>

namespace velmora::detail {

namespace {

inline std::int64_t sse2Sum(const TargetBlock& t, const std::uint8_t* block, std::ptrdiff_t stride,
                            std::int64_t threshold) {
    const __m128i zero = _mm_setzero_si128();
    std::int64_t partial = 0;
    for (const TargetBlock::Row& row : t.rows) {
        const std::uint8_t* line = block + std::ptrdiff_t(row.dy) * stride;
        __m128i acc = zero;
        for (int c = row.chunkBegin; c < row.chunkEnd; ++c) {
            const TargetBlock::Chunk& chunk = t.chunks[std::size_t(c)];
            const __m128i s = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(line + std::ptrdiff_t(chunk.dx) * 4));
            const __m128i* value = reinterpret_cast<const __m128i*>(chunk.value);
            const __m128i* mask = reinterpret_cast<const __m128i*>(chunk.mask);
            const __m128i lo =
                _mm_and_si128(_mm_sub_epi16(_mm_unpacklo_epi8(s, zero), _mm_load_si128(value)),
                              _mm_load_si128(mask));
            const __m128i hi =
                _mm_and_si128(_mm_sub_epi16(_mm_unpackhi_epi8(s, zero), _mm_load_si128(value + 1)),
                              _mm_load_si128(mask + 1));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(lo, lo));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(hi, hi));
        }
        // Lanes stay far below 2^31: a row holds at most 501 runs of four.
        acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
        acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
        partial += _mm_cvtsi128_si32(acc);
        if (partial >= threshold) return partial;
    }
    return partial;
}

}  // namespace

void scanSse2(ScanJob& job) { scanCandidates(job, sse2Sum); }

}  // namespace velmora::detail

#else

namespace velmora::detail {
void scanSse2(ScanJob& job) { scanScalar(job); }
}  // namespace velmora::detail

#endif
