// The decoder's inner pieces, shared by every instruction-set version: the escape fetch, and the
// portable loop that each vector version also uses for its tail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "plateio.h"
#include "xarea/decode.hpp"

namespace plateio::xarea {

// The difference an escape code (254 or 255) adds: its next side value, or 0 when the section (as far
// as the entry holds it) has no more. The value is counted as taken either way.
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
inline void decode_portable_range(const CodedSections &sections, std::int32_t *out, std::size_t begin,
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

// Every kernel in its versions; decode.cpp chooses among them.
void decode_codes_portable(const CodedSections &sections, std::int32_t *out, std::size_t count,
                           DecodeState &state, const std::int32_t *threshold) noexcept;
std::uint64_t mark_in_place_portable(std::int32_t *pixels, std::size_t count,
                                     std::int32_t threshold) noexcept;
Taken count_escapes_portable(std::span<const std::uint8_t> codes) noexcept;

#if PLATEIO_HAVE_AVX2
void decode_codes_avx2(const CodedSections &sections, std::int32_t *out, std::size_t count,
                       DecodeState &state, const std::int32_t *threshold) noexcept;
std::uint64_t mark_in_place_avx2(std::int32_t *pixels, std::size_t count, std::int32_t threshold) noexcept;
Taken count_escapes_avx2(std::span<const std::uint8_t> codes) noexcept;
#endif

} // namespace plateio::xarea
