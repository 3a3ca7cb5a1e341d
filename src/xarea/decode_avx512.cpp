// The difference decoder with AVX-512: the AVX2 path's scheme with sixteen lanes a vector. The
// escape mask still comes from 32 code bytes, so masks stay 32-bit on 32-bit hosts too.
#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

// GCC 12 warns that the compiler's own AVX-512 headers use an "undefined" source vector in masked
// conversions; nothing of ours is uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "xarea/decode_kernel.hpp"

#define PLATEIO_AVX512 __attribute__((target("avx512f,avx2,bmi,popcnt")))

namespace plateio::xarea {

namespace {

// Inclusive prefix sum of sixteen int32 lanes: shift-and-add by 1, 2, 4 and 8 lanes.
PLATEIO_AVX512 inline __m512i prefix16(__m512i x) noexcept {
    const __m512i zero = _mm512_setzero_si512();
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 15));
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 14));
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 12));
    x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 8));
    return x;
}

template <bool Mark>
PLATEIO_AVX512 void run(const CodedSections &sections, std::int32_t *out, std::size_t count,
                        DecodeState &state, std::int32_t threshold) noexcept {
    const std::uint8_t *codes = sections.codes.data();
    const __m512i bias = _mm512_set1_epi32(127);
    const __m256i escape_floor = _mm256_set1_epi8(static_cast<char>(254));
    const __m512i last_lane = _mm512_set1_epi32(15);
    const __m512i limit = _mm512_set1_epi32(threshold);
    const __m512i overflow_mark = _mm512_set1_epi32(PIXEL_OVERFLOW);
    __m512i running = _mm512_set1_epi32(static_cast<std::int32_t>(state.running));
    alignas(64) std::int32_t patched[32];

    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes + i));
        auto escapes = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(block, escape_floor), block)));
        __m512i d[2];
        d[0] = _mm512_sub_epi32(_mm512_cvtepu8_epi32(_mm256_castsi256_si128(block)), bias);
        d[1] = _mm512_sub_epi32(_mm512_cvtepu8_epi32(_mm256_extracti128_si256(block, 1)), bias);
        if (escapes != 0) {
            _mm512_store_si512(patched, d[0]);
            _mm512_store_si512(patched + 16, d[1]);
            do {
                const unsigned bit = static_cast<unsigned>(__builtin_ctz(escapes));
                patched[bit] = static_cast<std::int32_t>(take_escape(sections, codes[i + bit], state));
                escapes &= escapes - 1;
            } while (escapes != 0);
            d[0] = _mm512_load_si512(patched);
            d[1] = _mm512_load_si512(patched + 16);
        }
        for (int g = 0; g < 2; ++g) {
            const __m512i local = prefix16(d[g]);
            const __m512i total = _mm512_permutexvar_epi32(last_lane, local);
            __m512i pixels = _mm512_add_epi32(local, running);
            running = _mm512_add_epi32(running, total);
            if constexpr (Mark) {
                const __mmask16 over = _mm512_cmpgt_epi32_mask(pixels, limit);
                state.overflow += static_cast<unsigned>(__builtin_popcount(over));
                pixels = _mm512_mask_mov_epi32(pixels, over, overflow_mark);
            }
            _mm512_storeu_si512(out + i + 16 * g, pixels);
        }
    }
    state.running = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(running)));
    decode_scalar_range<Mark>(sections, out, i, count, state, threshold);
}

} // namespace

PLATEIO_AVX512 void decode_codes_avx512(const CodedSections &sections, std::int32_t *out, std::size_t count,
                                        DecodeState &state, const std::int32_t *threshold) noexcept {
    if (threshold != nullptr) {
        run<true>(sections, out, count, state, *threshold);
    } else {
        run<false>(sections, out, count, state, 0);
    }
}

} // namespace plateio::xarea

#endif
