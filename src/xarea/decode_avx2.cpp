// The difference decoder with AVX2, 32 codes at a time.
//
// Each stretch of 32 codes is widened to four vectors of eight differences (code - 127), which are
// prefix-summed in registers and offset by the running pixel. Escapes are found by mask. Because
// the k-th 254 takes the k-th 16-bit value, the values a group of eight codes needs are simply the
// next ones in the side array: the group loads eight of them at its cursor and a permutation,
// looked up by the group's escape mask, moves the first popcount(mask) values into the escape
// lanes. Near the end of a side array, where eight values could reach past it, the group is
// patched value by value instead. The running pixel is carried as a broadcast vector and the next
// one is the current plus the group's own total, so the loop-carried dependency is a single add.
#include "common/isa.hpp"

#if PLATEIO_HAVE_AVX2

#include <algorithm>
#include <array>
#include <immintrin.h>

#include "xarea/decode_kernel.hpp"

namespace plateio::xarea {

namespace {

// For each 8-bit escape mask, the lane of the loaded side values that each escape lane takes: the
// j-th set bit takes value j. Lanes whose bit is clear are not used (0).
constexpr std::array<std::uint8_t, 256 * 8> make_expand_table() {
    std::array<std::uint8_t, 256 * 8> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned next = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((mask >> lane) & 1u) {
                table[mask * 8 + lane] = static_cast<std::uint8_t>(next++);
            }
        }
    }
    return table;
}

constexpr std::array<std::uint8_t, 256 * 8> kExpandTable = make_expand_table();

// Inclusive prefix sum of eight int32 lanes.
PLATEIO_TARGET_AVX2 inline __m256i prefix8(__m256i x) noexcept {
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
    // Add the low half's total (its lane 3) to every lane of the high half.
    const __m256i low_total = _mm256_shuffle_epi32(_mm256_permute2x128_si256(x, x, 0x08), 0xff);
    return _mm256_add_epi32(x, low_total);
}

// Puts the first popcount(mask) of `values` into the lanes `lanes` (whose movemask is `mask`).
PLATEIO_TARGET_AVX2 inline __m256i expand_into(__m256i differences, __m256i lanes, unsigned mask,
                                               __m256i values) noexcept {
    const __m128i index_bytes =
        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kExpandTable.data() + 8 * mask));
    const __m256i expanded = _mm256_permutevar8x32_epi32(values, _mm256_cvtepu8_epi32(index_bytes));
    return _mm256_blendv_epi8(differences, expanded, lanes);
}

template <bool Mark>
PLATEIO_TARGET_AVX2 void run(const CodedSections &sections, std::int32_t *out, std::size_t count,
                             DecodeState &state, std::int32_t threshold) noexcept {
    const std::uint8_t *codes = sections.codes.data();
    const std::uint8_t *values16 = sections.values16.data();
    const std::uint8_t *values32 = sections.values32.data();
    const std::size_t available16 = sections.values16.size() / 2;
    const std::size_t available32 = sections.values32.size() / 4;
    const __m256i bias = _mm256_set1_epi32(127);
    const __m256i code16 = _mm256_set1_epi32(254);
    const __m256i code32 = _mm256_set1_epi32(255);
    const __m256i escape_floor = _mm256_set1_epi8(static_cast<char>(254));
    const __m256i escape_floor_32 = _mm256_set1_epi8(static_cast<char>(255));
    const __m256i last_lane = _mm256_set1_epi32(7);
    const __m256i limit = _mm256_set1_epi32(threshold);
    const __m256i overflow_mark = _mm256_set1_epi32(PIXEL_OVERFLOW);
    __m256i running = _mm256_set1_epi32(static_cast<std::int32_t>(state.running));
    alignas(32) std::int32_t patched[8];

    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes + i));
        auto escapes = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(block, escape_floor), block)));
        __m256i d[4];
        __m256i wide[4];
        for (int g = 0; g < 4; ++g) {
            wide[g] =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(codes + i + 8 * g)));
            d[g] = _mm256_sub_epi32(wide[g], bias);
        }
        // A stretch of 32 escapes of one kind (a run through a high-contrast region) takes its 32
        // values as they stand.
        if (escapes == 0xffffffffu) {
            const auto wide32 =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, escape_floor_32)));
            if (wide32 == 0 && available16 - std::min(available16, state.next16) >= 32) {
                for (int g = 0; g < 4; ++g) {
                    d[g] = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(
                        values16 + 2 * (state.next16 + 8 * std::size_t(g)))));
                }
                state.next16 += 32;
                escapes = 0;
            } else if (wide32 == 0xffffffffu && available32 - std::min(available32, state.next32) >= 32) {
                for (int g = 0; g < 4; ++g) {
                    d[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(
                        values32 + 4 * (state.next32 + 8 * std::size_t(g))));
                }
                state.next32 += 32;
                escapes = 0;
            }
        }
        for (int g = 0; g < 4 && escapes != 0; ++g) {
            const unsigned group = (escapes >> (8 * g)) & 0xffu;
            if (group == 0) {
                continue;
            }
            const __m256i lanes16 = _mm256_cmpeq_epi32(wide[g], code16);
            const __m256i lanes32 = _mm256_cmpeq_epi32(wide[g], code32);
            const auto mask16 = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(lanes16)));
            const auto mask32 = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(lanes32)));
            // The group loads eight values of each kind it needs; near the end of a section, where
            // that could reach past it, its escapes are patched one by one instead.
            const bool room16 = mask16 == 0 || available16 - std::min(available16, state.next16) >= 8;
            const bool room32 = mask32 == 0 || available32 - std::min(available32, state.next32) >= 8;
            if (room16 && room32) {
                if (mask16 != 0) {
                    const __m256i values = _mm256_cvtepi16_epi32(
                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(values16 + 2 * state.next16)));
                    // A group of nothing but 16-bit escapes takes its eight values as they are.
                    d[g] = mask16 == 0xffu ? values : expand_into(d[g], lanes16, mask16, values);
                    state.next16 += static_cast<std::size_t>(__builtin_popcount(mask16));
                }
                if (mask32 != 0) {
                    const __m256i values =
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(values32 + 4 * state.next32));
                    d[g] = mask32 == 0xffu ? values : expand_into(d[g], lanes32, mask32, values);
                    state.next32 += static_cast<std::size_t>(__builtin_popcount(mask32));
                }
            } else {
                _mm256_store_si256(reinterpret_cast<__m256i *>(patched), d[g]);
                for (unsigned bits = group; bits != 0; bits &= bits - 1) {
                    const unsigned bit = static_cast<unsigned>(__builtin_ctz(bits));
                    patched[bit] = static_cast<std::int32_t>(
                        take_escape(sections, codes[i + 8 * static_cast<std::size_t>(g) + bit], state));
                }
                d[g] = _mm256_load_si256(reinterpret_cast<const __m256i *>(patched));
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
    decode_portable_range<Mark>(sections, out, i, count, state, threshold);
}

} // namespace

PLATEIO_TARGET_AVX2 std::uint64_t mark_in_place_avx2(std::int32_t *pixels, std::size_t count,
                                                     std::int32_t threshold) noexcept {
    const __m256i limit = _mm256_set1_epi32(threshold);
    const __m256i overflow_mark = _mm256_set1_epi32(PIXEL_OVERFLOW);
    std::uint64_t overflow = 0;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        auto *at = reinterpret_cast<__m256i *>(pixels + i);
        const __m256i values = _mm256_loadu_si256(at);
        const __m256i over = _mm256_cmpgt_epi32(values, limit);
        overflow += static_cast<unsigned>(
            __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(over)))));
        _mm256_storeu_si256(at, _mm256_blendv_epi8(values, overflow_mark, over));
    }
    return overflow + mark_in_place_portable(pixels + i, count - i, threshold);
}

PLATEIO_TARGET_AVX2 Taken count_escapes_avx2(std::span<const std::uint8_t> codes) noexcept {
    const __m256i code16 = _mm256_set1_epi8(static_cast<char>(254));
    const __m256i code32 = _mm256_set1_epi8(static_cast<char>(255));
    Taken taken;
    std::size_t i = 0;
    for (; i + 32 <= codes.size(); i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes.data() + i));
        taken.values16 += static_cast<unsigned>(__builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, code16)))));
        taken.values32 += static_cast<unsigned>(__builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, code32)))));
    }
    const Taken tail = count_escapes_portable(codes.subspan(i));
    taken.values16 += tail.values16;
    taken.values32 += tail.values32;
    return taken;
}

PLATEIO_TARGET_AVX2 void decode_codes_avx2(const CodedSections &sections, std::int32_t *out,
                                           std::size_t count, DecodeState &state,
                                           const std::int32_t *threshold) noexcept {
    if (threshold != nullptr) {
        run<true>(sections, out, count, state, *threshold);
    } else {
        run<false>(sections, out, count, state, 0);
    }
}

} // namespace plateio::xarea

#endif
