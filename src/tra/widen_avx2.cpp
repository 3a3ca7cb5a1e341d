// TRA stream widening with AVX2.
#include "tra/widen.hpp"

#if PLATEIO_HAVE_AVX2

#include <immintrin.h>

namespace plateio::tra {

namespace {

template <Saturation Mode>
PLATEIO_TARGET_AVX2 std::uint64_t widen(const std::uint8_t *stream, std::int32_t *out,
                                        std::size_t count) noexcept {
    const __m256i mark = _mm256_set1_epi32(kSaturated);
    const __m256i overflow = _mm256_set1_epi32(PIXEL_OVERFLOW);
    std::uint64_t saturated = 0;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(stream + 2 * i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(stream + 2 * i + 16));
        __m256i a = _mm256_cvtepu16_epi32(low);
        __m256i b = _mm256_cvtepu16_epi32(high);
        // Most stretches hold no mark: one test of the sixteen 16-bit values skips the counting.
        const __m128i ones = _mm_set1_epi32(-1);
        const auto marks = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(low, ones), _mm_cmpeq_epi16(high, ones))));
        if (marks != 0) {
            const __m256i in_a = _mm256_cmpeq_epi32(a, mark);
            const __m256i in_b = _mm256_cmpeq_epi32(b, mark);
            saturated += static_cast<unsigned>(
                __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(in_a)))) +
                __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(in_b)))));
            if constexpr (Mode == Saturation::mark) {
                a = _mm256_blendv_epi8(a, overflow, in_a);
                b = _mm256_blendv_epi8(b, overflow, in_b);
            }
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i + 8), b);
    }
    return saturated + widen_span_portable(stream + 2 * i, out + i, count - i, Mode);
}

} // namespace

PLATEIO_TARGET_AVX2 std::uint64_t widen_span_avx2(const std::uint8_t *stream, std::int32_t *out,
                                                  std::size_t count, Saturation saturation) noexcept {
    return saturation == Saturation::mark ? widen<Saturation::mark>(stream, out, count)
                                          : widen<Saturation::keep>(stream, out, count);
}

} // namespace plateio::tra

#endif
