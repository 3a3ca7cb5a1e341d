// The difference decoder with AVX2, 32 codes at a time.
//
// A stretch of 32 codes without escapes (the common case: most differences of an exposure fit one
// byte) is widened to four vectors of eight differences, prefix-summed in registers and offset by
// the running pixel. Escapes are found by a byte mask and patched in by bit position: since the k-th
// 254 takes the k-th 16-bit value, a scalar fetch in bit order keeps the side cursors exact. The
// running pixel is carried as a broadcast vector; the next one is the current plus the stretch's
// own total, so the loop-carried dependency is a single add.
#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

#include "xarea/decode_kernel.hpp"

#define PLATEIO_AVX2 __attribute__((target("avx2,bmi,popcnt")))

namespace plateio::xarea {

namespace {

// Inclusive prefix sum of eight int32 lanes.
PLATEIO_AVX2 inline __m256i prefix8(__m256i x) noexcept {
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
    // Add the low half's total (its lane 3) to every lane of the high half.
    const __m256i low_total = _mm256_shuffle_epi32(_mm256_permute2x128_si256(x, x, 0x08), 0xff);
    return _mm256_add_epi32(x, low_total);
}

template <bool Mark>
PLATEIO_AVX2 void run(const CodedSections &sections, std::int32_t *out, std::size_t count, DecodeState &state,
                      std::int32_t threshold) noexcept {
    const std::uint8_t *codes = sections.codes.data();
    const __m256i bias = _mm256_set1_epi32(127);
    const __m256i escape_floor = _mm256_set1_epi8(static_cast<char>(254));
    const __m256i last_lane = _mm256_set1_epi32(7);
    const __m256i limit = _mm256_set1_epi32(threshold);
    const __m256i overflow_mark = _mm256_set1_epi32(PIXEL_OVERFLOW);
    __m256i running = _mm256_set1_epi32(static_cast<std::int32_t>(state.running));
    alignas(32) std::int32_t patched[32];

    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes + i));
        auto escapes = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(block, escape_floor), block)));
        __m256i d[4];
        for (int g = 0; g < 4; ++g) {
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes + i + 8 * g));
            d[g] = _mm256_sub_epi32(_mm256_cvtepu8_epi32(bytes), bias);
        }
        if (escapes != 0) {
            for (int g = 0; g < 4; ++g) {
                _mm256_store_si256(reinterpret_cast<__m256i *>(patched + 8 * g), d[g]);
            }
            do {
                const unsigned bit = static_cast<unsigned>(__builtin_ctz(escapes));
                patched[bit] = static_cast<std::int32_t>(take_escape(sections, codes[i + bit], state));
                escapes &= escapes - 1;
            } while (escapes != 0);
            for (int g = 0; g < 4; ++g) {
                d[g] = _mm256_load_si256(reinterpret_cast<const __m256i *>(patched + 8 * g));
            }
        }
        for (int g = 0; g < 4; ++g) {
            const __m256i local = prefix8(d[g]);
            const __m256i total = _mm256_permutevar8x32_epi32(local, last_lane);
            __m256i pixels = _mm256_add_epi32(local, running);
            running = _mm256_add_epi32(running, total);
            if constexpr (Mark) {
                const __m256i over = _mm256_cmpgt_epi32(pixels, limit);
                state.overflow += static_cast<unsigned>(
                    __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(over)))));
                pixels = _mm256_blendv_epi8(pixels, overflow_mark, over);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i + 8 * g), pixels);
        }
    }
    state.running = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(running)));
    decode_scalar_range<Mark>(sections, out, i, count, state, threshold);
}

} // namespace

PLATEIO_AVX2 void decode_codes_avx2(const CodedSections &sections, std::int32_t *out, std::size_t count,
                                    DecodeState &state, const std::int32_t *threshold) noexcept {
    if (threshold != nullptr) {
        run<true>(sections, out, count, state, *threshold);
    } else {
        run<false>(sections, out, count, state, 0);
    }
}

} // namespace plateio::xarea

#endif
