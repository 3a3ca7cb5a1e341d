// The decoder's inner pieces, shared by every instruction-set path: the state carried from one
// stretch of codes to the next, the escape fetch, and the portable scalar loop that each vector path
// also uses for its tail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "plateio.h"
#include "xarea/decode.hpp"

namespace plateio::xarea {

struct DecodeState {
    std::uint32_t running = 0; // the last pixel; unsigned so that the sum wraps modulo 2^32
    std::size_t next16 = 0;    // 16-bit values taken so far (the index of the next one)
    std::size_t next32 = 0;    // 32-bit values taken so far
    std::uint64_t overflow = 0;
};

// The difference an escape code (254 or 255) adds: its next side value, or 0 when the section has no
// more. The value is counted as taken either way.
inline std::uint32_t take_escape(const CodedSections &sections, std::uint8_t code,
                                 DecodeState &state) noexcept {
    if (code == 254) {
        const std::size_t k = state.next16++;
        return 2 * k + 2 <= sections.values16.size()
                   ? static_cast<std::uint32_t>(
                         static_cast<std::int32_t>(load_le<std::int16_t>(sections.values16.data() + 2 * k)))
                   : 0u;
    }
    const std::size_t k = state.next32++;
    return 4 * k + 4 <= sections.values32.size() ? load_le<std::uint32_t>(sections.values32.data() + 4 * k)
                                                 : 0u;
}

// Stores one decoded pixel, marking it when a threshold is given.
template <bool Mark>
inline void store_pixel(std::int32_t *out, std::size_t i, std::uint32_t running, std::int32_t threshold,
                        DecodeState &state) noexcept {
    const auto pixel = static_cast<std::int32_t>(running);
    if constexpr (Mark) {
        const bool over = pixel > threshold;
        state.overflow += over ? 1 : 0;
        out[i] = over ? PIXEL_OVERFLOW : pixel;
    } else {
        out[i] = pixel;
    }
}

// Decodes codes [begin, end) into out[begin, end).
template <bool Mark>
inline void decode_scalar_range(const CodedSections &sections, std::int32_t *out, std::size_t begin,
                                std::size_t end, DecodeState &state, std::int32_t threshold) noexcept {
    const std::uint8_t *codes = sections.codes.data();
    std::uint32_t running = state.running;
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t code = codes[i];
        running += code < 254 ? static_cast<std::uint32_t>(code) - 127u : take_escape(sections, code, state);
        store_pixel<Mark>(out, i, running, threshold, state);
    }
    state.running = running;
}

// One instruction-set path: decodes codes [0, count) into out; `threshold` null means no marking.
// Every path gives exactly the scalar path's pixels, counts and state.
using DecodeCodesFn = void (*)(const CodedSections &, std::int32_t *, std::size_t, DecodeState &,
                               const std::int32_t *);

// Thresholding plain pixels in place, per path: each pixel above `threshold` becomes PIXEL_OVERFLOW;
// returns how many did.
std::uint64_t mark_in_place_scalar(std::int32_t *pixels, std::size_t count, std::int32_t threshold) noexcept;
#if defined(__i386__) || defined(__x86_64__)
std::uint64_t mark_in_place_avx2(std::int32_t *pixels, std::size_t count, std::int32_t threshold) noexcept;
#endif

// Counting the escape codes of a stretch, per path, for a description that needs no pixels.
Taken count_escapes_scalar(std::span<const std::uint8_t> codes) noexcept;
#if defined(__i386__) || defined(__x86_64__)
Taken count_escapes_avx2(std::span<const std::uint8_t> codes) noexcept;
#endif

void decode_codes_scalar(const CodedSections &sections, std::int32_t *out, std::size_t count,
                         DecodeState &state, const std::int32_t *threshold) noexcept;
#if defined(__i386__) || defined(__x86_64__)
void decode_codes_avx2(const CodedSections &sections, std::int32_t *out, std::size_t count,
                       DecodeState &state, const std::int32_t *threshold) noexcept;
#endif

} // namespace plateio::xarea
