// The difference decoder with AVX-512: the AVX2 path's scheme with sixteen lanes a vector, where
// the instruction set's own expand moves the next side values into the escape lanes. The escape
// mask still comes from 32 code bytes, so masks stay 32-bit on 32-bit hosts too.
#if defined(__i386__) || defined(__x86_64__)

#include <algorithm>
#include <immintrin.h>

// GCC 12 warns that the compiler's own AVX-512 headers use an "undefined" source vector in masked
// conversions; nothing of ours is uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

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
    const std::uint8_t *values16 = sections.values16.data();
    const std::uint8_t *values32 = sections.values32.data();
    const std::size_t available16 = sections.values16.size() / 2;
    const std::size_t available32 = sections.values32.size() / 4;
    const __m512i bias = _mm512_set1_epi32(127);
    const __m512i code16 = _mm512_set1_epi32(254);
    const __m512i code32 = _mm512_set1_epi32(255);
    const __m256i escape_floor = _mm256_set1_epi8(static_cast<char>(254));
    const __m512i last_lane = _mm512_set1_epi32(15);
    const __m512i limit = _mm512_set1_epi32(threshold);
    const __m512i overflow_mark = _mm512_set1_epi32(PIXEL_OVERFLOW);
    __m512i running = _mm512_set1_epi32(static_cast<std::int32_t>(state.running));
    alignas(64) std::int32_t patched[16];

    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes + i));
        auto escapes = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(block, escape_floor), block)));
        __m512i d[2];
        __m512i wide[2];
        wide[0] = _mm512_cvtepu8_epi32(_mm256_castsi256_si128(block));
        wide[1] = _mm512_cvtepu8_epi32(_mm256_extracti128_si256(block, 1));
        d[0] = _mm512_sub_epi32(wide[0], bias);
        d[1] = _mm512_sub_epi32(wide[1], bias);
        for (int g = 0; g < 2 && escapes != 0; ++g) {
            const unsigned group = (escapes >> (16 * g)) & 0xffffu;
            if (group == 0) {
                continue;
            }
            const __mmask16 lanes16 = _mm512_cmpeq_epi32_mask(wide[g], code16);
            const __mmask16 lanes32 = _mm512_cmpeq_epi32_mask(wide[g], code32);
            // The group loads sixteen values of each kind it needs; near the end of a section,
            // where that could reach past it, its escapes are patched one by one instead.
            const bool room16 = lanes16 == 0 || available16 - std::min(available16, state.next16) >= 16;
            const bool room32 = lanes32 == 0 || available32 - std::min(available32, state.next32) >= 16;
            if (room16 && room32) {
                if (lanes16 != 0) {
                    const __m512i values = _mm512_cvtepi16_epi32(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(values16 + 2 * state.next16)));
                    d[g] = _mm512_mask_expand_epi32(d[g], lanes16, values);
                    state.next16 += static_cast<std::size_t>(__builtin_popcount(lanes16));
                }
                if (lanes32 != 0) {
                    const __m512i values = _mm512_loadu_si512(values32 + 4 * state.next32);
                    d[g] = _mm512_mask_expand_epi32(d[g], lanes32, values);
                    state.next32 += static_cast<std::size_t>(__builtin_popcount(lanes32));
                }
            } else {
                _mm512_store_si512(patched, d[g]);
                for (unsigned bits = group; bits != 0; bits &= bits - 1) {
                    const unsigned bit = static_cast<unsigned>(__builtin_ctz(bits));
                    patched[bit] =
                        static_cast<std::int32_t>(take_escape(sections, codes[i + 16 * g + bit], state));
                }
                d[g] = _mm512_load_si512(patched);
            }
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
