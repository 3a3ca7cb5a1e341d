// TRA stream widening with AVX2.
#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

#include "tra/widen.hpp"

namespace plateio::tra {

namespace {

template <Saturation Mode>
__attribute__((target("avx2"))) void widen(const std::uint8_t *stream, std::int32_t *out,
                                           std::size_t count) noexcept {
    const __m256i mark = _mm256_set1_epi32(kSaturated);
    const __m256i overflow = _mm256_set1_epi32(PIXEL_OVERFLOW);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(stream + 2 * i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(stream + 2 * i + 16));
        __m256i a = _mm256_cvtepu16_epi32(low);
        __m256i b = _mm256_cvtepu16_epi32(high);
        if constexpr (Mode == Saturation::mark) {
            a = _mm256_blendv_epi8(a, overflow, _mm256_cmpeq_epi32(a, mark));
            b = _mm256_blendv_epi8(b, overflow, _mm256_cmpeq_epi32(b, mark));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i + 8), b);
    }
    widen_span_scalar(stream + 2 * i, out + i, count - i, Mode);
}

} // namespace

__attribute__((target("avx2"))) void widen_span_avx2(const std::uint8_t *stream, std::int32_t *out,
                                                     std::size_t count, Saturation saturation) noexcept {
    if (saturation == Saturation::mark) {
        widen<Saturation::mark>(stream, out, count);
    } else {
        widen<Saturation::keep>(stream, out, count);
    }
}

} // namespace plateio::tra

#endif
