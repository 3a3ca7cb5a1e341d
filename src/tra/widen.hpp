// Widening of TRA stream values (little-endian uint16) into grid pixels (int32).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/isa.hpp"
#include "plateio.h"

namespace plateio::tra {

inline constexpr std::uint16_t kSaturated = 65535;

// What a reader does with the saturation mark 65535: keep it as a value or store PIXEL_OVERFLOW.
enum class Saturation { keep, mark };

// Widens `count` values from `stream` (2 * count bytes, any alignment) into `out`. With
// Saturation::mark the saturation mark 65535 becomes PIXEL_OVERFLOW; 65534 and below never change.
// Returns how many values were the mark.
std::uint64_t widen_span(Isa isa, const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                         Saturation saturation) noexcept;

// The versions widen_span chooses among: the portable loop, and AVX2 (sixteen values a step, the mark
// handled by a compare and a blend in the same pass).
inline std::uint64_t widen_span_portable(const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                                         Saturation saturation) noexcept {
    std::uint64_t saturated = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t value = load_le<std::uint16_t>(stream + 2 * i);
        const bool mark = value == kSaturated;
        saturated += mark ? 1 : 0;
        out[i] = mark && saturation == Saturation::mark ? PIXEL_OVERFLOW : std::int32_t{value};
    }
    return saturated;
}

#if PLATEIO_HAVE_AVX2
std::uint64_t widen_span_avx2(const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                              Saturation saturation) noexcept;
#endif

inline std::uint64_t widen_span(Isa isa, const std::uint8_t *stream, std::int32_t *out, std::size_t count,
                                Saturation saturation) noexcept {
    switch (isa) {
#if PLATEIO_HAVE_AVX2
    case Isa::avx2:
        return widen_span_avx2(stream, out, count, saturation);
#endif
    default:
        return widen_span_portable(stream, out, count, saturation);
    }
}

} // namespace plateio::tra
